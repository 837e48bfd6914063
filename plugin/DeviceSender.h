// What a file job needs of the download path: one file to one device, with the outcome in the
// words a job reports. TCP9100Sender is the real one; job tests use a fake.
#pragma once

#include <QString>

#include "framework/StopToken.h"
#include "plugin/FileOutcome.h"

namespace Zarvo::dsm {

class TCP9100File;

class DeviceSender {
 public:
  virtual ~DeviceSender() = default;

  // Downloads `file` to the device at `address` and waits for the device's confirmation.
  // Returns completed(), deviceDosntResponse(), timeout() or the device's own confirmation
  // (FileOutcome.h). Once `stop` is requested it ends in bounded time. The caller keeps
  // ownership of `file`.
  [[nodiscard]] virtual FileOutcome send(const QString& address, const TCP9100File& file,
                                         const Zarvo::StopToken& stop) = 0;
};

}  // namespace Zarvo::dsm
