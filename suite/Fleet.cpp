#include "suite/Fleet.h"

#include <QDir>

namespace Zarvo::suite {

Fleet::Fleet(const FleetSetup& setup, const QString& baseDir, TrapSink* sink, DeviceLimits limits)
    : filesDir_(QDir(baseDir).absoluteFilePath(setup.filesDir)) {
  for (const DeviceSetup& d : setup.devices) {
    devices_.push_back(std::make_unique<SimDevice>(d, filesDir_, setup.enterpriseArc,
                                                   setup.confirmDelayMs, sink, limits));
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
    if (d->setup().id == id) return d.get();
  }
  return nullptr;
}

}  // namespace Zarvo::suite
