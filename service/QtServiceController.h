// Controls an installed service from outside: query, install, uninstall, start, stop, pause,
// resume and user commands. The command-line options of the service shell call these.
//
// This build has no service-manager binding yet, so the service is never installed and never
// running, and every control operation fails (returns false) without touching the system. The
// failing operations leave errno set to the reason, so callers can print it as the system error.
#pragma once

#include <QString>
#include <QStringList>

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

  // Registers `executablePath` (no arguments) as the service. Returns true on success.
  [[nodiscard]] bool install(const QString& executablePath, const QString& description,
                             StartupType startupType);
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

 private:
  QString serviceName_;
};
