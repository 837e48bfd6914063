// The seam between the service shell and the platform's service manager. The shell's control
// options go through QtServiceController, which hands each request to one ServiceManager: the
// systemd binding in production, a fake in tests.
#pragma once

#include <QString>
#include <QStringList>
#include <functional>
#include <memory>

namespace Zarvo {

// What installing a service tells the service manager.
struct ServiceSettings {
  QString name;
  QString executable;  // absolute path; the service runs it without arguments
  QString description;
  bool autoStart = true;         // started at boot (else only on demand)
  bool canBeSuspended = false;   // pause and resume requests are accepted
  bool cannotBeStopped = false;  // the manager refuses stop requests from users
};

// Control codes delivered to a running service: stop, pause, resume, and user commands
// kUserControlBase + 0..127.
inline constexpr int kStopControl = 1;
inline constexpr int kPauseControl = 2;
inline constexpr int kResumeControl = 3;
inline constexpr int kUserControlBase = 128;
inline constexpr int kMaxUserCommand = 127;

class ServiceManager {
 public:
  virtual ~ServiceManager() = default;

  [[nodiscard]] virtual bool isInstalled() = 0;
  // True unless the service is stopped: starting, stopping and paused count as running.
  [[nodiscard]] virtual bool isRunning() = 0;
  // The program the installed service runs; empty when not installed or not known.
  [[nodiscard]] virtual QString installedExecutable() = 0;
  [[nodiscard]] virtual bool install(const ServiceSettings& settings) = 0;
  [[nodiscard]] virtual bool uninstall() = 0;
  [[nodiscard]] virtual bool start(const QStringList& arguments) = 0;
  // True once the service was seen stopped.
  [[nodiscard]] virtual bool stop() = 0;
  // Delivers kPauseControl, kResumeControl or a user control to the running service and
  // returns once the service has handled it.
  [[nodiscard]] virtual bool control(int code) = 0;

  // Why the last failed operation failed, for the user; empty when unknown.
  virtual QString errorString() const = 0;
};

using ServiceManagerPtr = std::unique_ptr<ServiceManager>;
using ServiceManagerFactory = std::function<ServiceManagerPtr(const QString& serviceName)>;

}  // namespace Zarvo
