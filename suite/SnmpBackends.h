// How the suite's SNMP service reaches the devices. Over the wire (the default), it speaks SNMP
// to each device at the address, version and credentials the request names, resolving table and
// column names through the MIB and the configuration's table maps. In memory (a fleet with
// snmp="memory"), it reads the simulated printers' tables directly, for tests without sockets.
#pragma once

#include <QList>
#include <QString>

#include "messages/SNMPGetValues.h"
#include "suite/DeviceState.h"
#include "suite/Fleet.h"
#include "suite/NetSnmp.h"
#include "suite/SnmpClient.h"

namespace Zarvo::suite {

class SnmpBackend {
 public:
  // Result codes of a row write (and of the SNMP service's SNMPSetValues), beyond 0.
  static constexpr int kUnknownDevice = 10;
  static constexpr int kWriteRefused = 11;
  static constexpr int kNoAnswer = 12;

  struct Written {
    int result = 0;
    QString details;
  };

  virtual ~SnmpBackend() = default;
  // The answer for one device of an SNMPGetValues request: its tables and scalars, or errors of
  // that device (never of the whole request).
  virtual deviceRes get(deviceReq& asked) = 0;
  // Writes the cells of the device's "staticTrapDestTable", all of them or none. A cell's row is
  // its position in the table as a read returns it, from 0.
  virtual Written writeTrapDests(const QString& address, const QList<TrapDestCell>& cells) = 0;
};

// The simulated printers' tables, read and written in memory.
class MemoryBackend : public SnmpBackend {
 public:
  explicit MemoryBackend(Fleet& fleet) : fleet_(fleet) {}
  deviceRes get(deviceReq& asked) override;
  Written writeTrapDests(const QString& address, const QList<TrapDestCell>& cells) override;

 private:
  Fleet& fleet_;
};

// SNMP to the devices.
class WireBackend : public SnmpBackend {
 public:
  // `mib` holds the tables by name (table maps applied). `fleet` gives each device's SNMP port
  // and its write credentials.
  WireBackend(const snmp::SnmpClient& client, const snmp::SnmpMib& mib, const Fleet& fleet,
              snmp::PrivacyProtocol privacy)
      : client_(client), mib_(mib), fleet_(fleet), privacy_(privacy) {}
  deviceRes get(deviceReq& asked) override;
  Written writeTrapDests(const QString& address, const QList<TrapDestCell>& cells) override;

  // The write community used for a device the configuration does not know.
  static constexpr const char* kDefaultWriteCommunity = "private";

 private:
  snmp::SnmpTarget readTarget(const deviceReq& asked) const;
  snmp::SnmpTarget writeTarget(const QString& address) const;

  const snmp::SnmpClient& client_;
  const snmp::SnmpMib& mib_;
  const Fleet& fleet_;
  const snmp::PrivacyProtocol privacy_;
};

}  // namespace Zarvo::suite
