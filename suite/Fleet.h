// The simulated fleet: every configured device, started and stopped together, found by address
// or by its identifier in the device management service. Real printers of the configuration
// (simulated="false") are part of it only as records: the services know them, nothing here runs
// for them.
//
// The fleet's devices share one ConnectionHub (a thread that accepts for every print and web
// port, and a bounded pool that serves connections) and, with SNMP over UDP, one SnmpEngine
// loop, so a fleet of 250 costs a handful of threads when idle.
#pragma once

#include <QHash>
#include <QList>
#include <QString>
#include <memory>
#include <vector>

#include "suite/FleetConfig.h"
#include "suite/LoopbackServer.h"
#include "suite/SimDevice.h"

namespace Zarvo::suite {

class Fleet {
 public:
  // `baseDir` resolves a relative filesDir (the configuration file's directory). With `snmp`,
  // and a setup whose SNMP goes over UDP, each simulated device runs its SNMP agent there;
  // without, the devices' traps go to `sink` and the SNMP service reads them in memory.
  Fleet(const FleetSetup& setup, const QString& baseDir, TrapSink* sink,
        DeviceLimits limits = DeviceLimits(), snmp::PrinterSnmpContext* snmp = nullptr);
  ~Fleet();

  // Starts every device; on the first failure stops those started and returns false.
  bool start(QString* error);
  void stop();

  SimDevice* byAddress(const QString& address) const;  // null when unknown or not simulated
  SimDevice* byId(quint32 id) const;
  const std::vector<std::unique_ptr<SimDevice>>& devices() const { return devices_; }
  QString filesDir() const { return filesDir_; }

  // Every device of the configuration, simulated or real, in configuration order.
  const QList<DeviceSetup>& setups() const { return setups_; }
  const DeviceSetup* setupOf(const QString& address) const;  // null when unknown
  bool isDevice(const QString& address) const { return setupOf(address) != nullptr; }
  // Where the device answers SNMP: the port its agent bound (simulated), or its configured one.
  quint16 snmpPortOf(const QString& address) const;
  bool snmpOverUdp() const { return snmpOverUdp_; }
  const ConnectionHub& hub() const { return hub_; }

 private:
  QString filesDir_;
  QList<DeviceSetup> setups_;
  ConnectionHub hub_;  // before the devices: they close their ports on it
  bool snmpOverUdp_ = false;
  std::vector<std::unique_ptr<SimDevice>> devices_;
  QHash<QString, SimDevice*> byAddress_;
  QHash<QString, qsizetype> setupByAddress_;
};

}  // namespace Zarvo::suite
