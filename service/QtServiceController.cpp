// Service control without a service-manager binding: nothing is ever installed or running,
// so every operation fails and says why through errno.
#include "service/QtServiceController.h"

#include <cerrno>

QtServiceController::QtServiceController(const QString& name) : serviceName_(name) {}

QtServiceController::~QtServiceController() = default;

bool QtServiceController::isInstalled() const { return false; }

bool QtServiceController::isRunning() const { return false; }

bool QtServiceController::install(const QString& /*executablePath*/,
                                  const QString& /*description*/, StartupType /*startupType*/) {
  errno = ENOSYS;  // no service manager to register with
  return false;
}

bool QtServiceController::uninstall() {
  errno = ENOENT;  // there is no installed service to remove
  return false;
}

bool QtServiceController::start(const QStringList& /*arguments*/) {
  errno = ENOENT;
  return false;
}

bool QtServiceController::stop() {
  errno = ESRCH;  // no service process to stop
  return false;
}

bool QtServiceController::pause() {
  errno = ESRCH;
  return false;
}

bool QtServiceController::resume() {
  errno = ESRCH;
  return false;
}

bool QtServiceController::sendCommand(int code) {
  if (code < 0 || code > 127 || !isRunning()) {
    errno = code < 0 || code > 127 ? EINVAL : ESRCH;
    return false;
  }
  errno = ENOSYS;
  return false;
}
