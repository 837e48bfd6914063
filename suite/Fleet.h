// The simulated fleet: every configured device, started and stopped together, found by address
// or by its identifier in the device management service.
#pragma once

#include <QString>
#include <memory>
#include <vector>

#include "suite/FleetConfig.h"
#include "suite/SimDevice.h"

namespace Zarvo::suite {

class Fleet {
 public:
  // `baseDir` resolves a relative filesDir (the configuration file's directory).
  Fleet(const FleetSetup& setup, const QString& baseDir, TrapSink* sink,
        DeviceLimits limits = DeviceLimits());
  ~Fleet();

  // Starts every device; on the first failure stops those started and returns false.
  bool start(QString* error);
  void stop();

  SimDevice* byAddress(const QString& address) const;  // null when unknown
  SimDevice* byId(quint32 id) const;
  const std::vector<std::unique_ptr<SimDevice>>& devices() const { return devices_; }
  QString filesDir() const { return filesDir_; }

 private:
  QString filesDir_;
  std::vector<std::unique_ptr<SimDevice>> devices_;
};

}  // namespace Zarvo::suite
