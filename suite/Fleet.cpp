#include "suite/Fleet.h"

#include <QDir>

namespace Zarvo::suite {

Fleet::Fleet(const FleetSetup& setup, const QString& baseDir, TrapSink* sink, DeviceLimits limits,
             snmp::PrinterSnmpContext* snmp)
    : filesDir_(QDir(baseDir).absoluteFilePath(setup.filesDir)),
      setups_(setup.devices),
      hub_(setup.connectionThreads),
      snmpOverUdp_(snmp && setup.snmp == SnmpMode::Udp) {
  for (qsizetype i = 0; i < setups_.size(); ++i) {
    const DeviceSetup& d = setups_.at(i);
    // The first device of an address is the one the services find by it.
    if (!setupByAddress_.contains(d.address)) setupByAddress_.insert(d.address, i);
    if (!d.simulated) continue;
    devices_.push_back(std::make_unique<SimDevice>(d, filesDir_, setup.enterpriseArc,
                                                   setup.confirmDelayMs, sink, hub_, limits,
                                                   snmpOverUdp_ ? snmp : nullptr));
    if (!byAddress_.contains(d.address)) byAddress_.insert(d.address, devices_.back().get());
  }
}

Fleet::~Fleet() { stop(); }

bool Fleet::start(QString* error) {
  for (auto& d : devices_) {
    if (!d->start(error)) {
      *error = QStringLiteral("device %1: %2").arg(d->address(), *error);
      stop();
      return false;
    }
  }
  return true;
}

void Fleet::stop() {
  for (auto& d : devices_) d->stop();
}

SimDevice* Fleet::byAddress(const QString& address) const { return byAddress_.value(address); }

SimDevice* Fleet::byId(quint32 id) const {
  for (const auto& d : devices_) {
    if (d->setup().id == id) return d.get();
  }
  return nullptr;
}

const DeviceSetup* Fleet::setupOf(const QString& address) const {
  const auto it = setupByAddress_.find(address);
  return it == setupByAddress_.end() ? nullptr : &setups_.at(*it);
}

quint16 Fleet::snmpPortOf(const QString& address) const {
  if (const SimDevice* d = byAddress(address); d && d->snmpPort() != 0) return d->snmpPort();
  const DeviceSetup* s = setupOf(address);
  return s && s->snmpPort != 0 ? s->snmpPort : 161;
}

}  // namespace Zarvo::suite
