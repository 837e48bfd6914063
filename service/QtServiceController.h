// Controls an installed service from outside: query, install, uninstall, start, stop, pause,
// resume and user commands. The command-line options of the service shell call these.
//
// The work is done by a ServiceManager: the systemd binding unless a test program installed a
// factory of its own. A failed operation leaves its reason in errorString().
#pragma once

#include <QString>
#include <QStringList>

#include "service/ServiceManager.h"

namespace Zarvo {

class QtServiceController {
 public:
  // How the service manager starts the installed service.
  enum StartupType { AutoStartup = 0, ManualStartup = 1 };

  explicit QtServiceController(const QString& name);
  ~QtServiceController();
  QtServiceController(const QtServiceController&) = delete;
  QtServiceController& operator=(const QtServiceController&) = delete;

  QString serviceName() const { return serviceName_; }

  // Returns true when the service manager knows a service of this name.
  [[nodiscard]] bool isInstalled() const;
  // Returns true when the service is anything but stopped (pending and paused count).
  [[nodiscard]] bool isRunning() const;
  // The program the installed service runs, as the service manager knows it; empty if unknown.
  [[nodiscard]] QString installedExecutable() const;

  // Registers `executablePath` (no arguments) as the service. `serviceFlags` are the bits of
  // QtServiceBase::ServiceFlags. Returns true on success.
  [[nodiscard]] bool install(const QString& executablePath, const QString& description,
                             StartupType startupType, int serviceFlags = 0);
  [[nodiscard]] bool uninstall();
  // Asks the service manager to start the installed service with `arguments`.
  [[nodiscard]] bool start(const QStringList& arguments = QStringList());
  // Returns true once the service was seen stopped.
  [[nodiscard]] bool stop();
  [[nodiscard]] bool pause();
  [[nodiscard]] bool resume();
  // Sends user command `code` (0 to 127) to the running service; false without any call for a
  // code out of range or a service that is not running.
  [[nodiscard]] bool sendCommand(int code);

  // Why the last failed operation failed; empty when it did not say.
  QString errorString() const;

  // Makes every controller created afterwards use managers from `factory` (null: systemd).
  // For test programs, which stand a fake in for the service manager.
  static void setManagerFactory(ServiceManagerFactory factory);

 private:
  QString serviceName_;
  ServiceManagerPtr manager_;
  QString error_;  // set by the checks made here, before the manager is asked
};

}  // namespace Zarvo
