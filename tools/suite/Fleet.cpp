#include "tools/suite/Fleet.h"

#include <QDir>

namespace suite {

Fleet::Fleet(const FleetSpec& spec, const QString& baseDir, TrapSink* sink, DeviceLimits limits)
    : filesDir_(QDir(baseDir).absoluteFilePath(spec.filesDir)) {
  for (const DeviceSpec& d : spec.devices) {
    devices_.push_back(std::make_unique<SimDevice>(d, filesDir_, spec.enterpriseArc,
                                                   spec.confirmDelayMs, sink, limits));
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

SimDevice* Fleet::byAddress(const QString& address) const {
  for (const auto& d : devices_) {
    if (d->address() == address) return d.get();
  }
  return nullptr;
}

SimDevice* Fleet::byId(quint32 id) const {
  for (const auto& d : devices_) {
    if (d->spec().id == id) return d.get();
  }
  return nullptr;
}

}  // namespace suite
