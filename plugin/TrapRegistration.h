// What stays in place for the time of one download: the device sending its traps to this host,
// so that its confirmation reaches us. The sender makes one per download through the factory it
// is given (TrapDestRegistration in production, a recorder or nothing in tests), after the
// device's line lock is taken and before the print port is opened, and destroys it after the
// confirmation wait and before the line lock is released, on every path.
#pragma once

#include <QString>
#include <functional>
#include <memory>

namespace Zarvo::dsm {

class TrapRegistration {
 public:
  virtual ~TrapRegistration() = default;  // undoes the registration
};

// Makes the registration for a device address; may return null (nothing to undo).
using TrapRegistrationFactory =
    std::function<std::unique_ptr<TrapRegistration>(const QString& deviceAddress)>;

}  // namespace Zarvo::dsm
