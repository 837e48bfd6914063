#include "service/QtServiceController.h"

#include "service/SystemdServiceManager.h"

namespace Zarvo {

namespace {
ServiceManagerFactory& managerFactory() {
  static ServiceManagerFactory factory;
  return factory;
}
}  // namespace

void QtServiceController::setManagerFactory(ServiceManagerFactory factory) {
  managerFactory() = std::move(factory);
}

QtServiceController::QtServiceController(const QString& name) : serviceName_(name) {
  if (managerFactory()) manager_ = managerFactory()(name);
  if (!manager_) manager_ = std::make_unique<SystemdServiceManager>(name);
}

QtServiceController::~QtServiceController() = default;

bool QtServiceController::isInstalled() const { return manager_->isInstalled(); }

bool QtServiceController::isRunning() const { return manager_->isRunning(); }

QString QtServiceController::installedExecutable() const { return manager_->installedExecutable(); }

bool QtServiceController::install(const QString& executablePath, const QString& description,
                                  StartupType startupType, int serviceFlags) {
  error_.clear();
  ServiceSettings settings;
  settings.name = serviceName_;
  settings.executable = executablePath;
  settings.description = description;
  settings.autoStart = startupType == AutoStartup;
  settings.canBeSuspended = (serviceFlags & 0x01) != 0;
  settings.cannotBeStopped = (serviceFlags & 0x02) != 0;
  return manager_->install(settings);
}

bool QtServiceController::uninstall() {
  error_.clear();
  return manager_->uninstall();
}

bool QtServiceController::start(const QStringList& arguments) {
  error_.clear();
  return manager_->start(arguments);
}

bool QtServiceController::stop() {
  error_.clear();
  return manager_->stop();
}

bool QtServiceController::pause() {
  error_.clear();
  return manager_->control(kPauseControl);
}

bool QtServiceController::resume() {
  error_.clear();
  return manager_->control(kResumeControl);
}

bool QtServiceController::sendCommand(int code) {
  error_.clear();
  if (code < 0 || code > kMaxUserCommand) {
    error_ =
        QStringLiteral("user command %1 is not between 0 and %2").arg(code).arg(kMaxUserCommand);
    return false;
  }
  if (!manager_->isRunning()) {
    error_ = QStringLiteral("the service is not running");
    return false;
  }
  return manager_->control(kUserControlBase + code);
}

QString QtServiceController::errorString() const {
  return error_.isEmpty() ? manager_->errorString() : error_;
}

}  // namespace Zarvo
