// The systemd binding of the service shell's controller: installs the service as a unit file,
// starts, stops and queries it through `systemctl`, and carries pause, resume and user commands
// over the running service's control socket.
#pragma once

#include <QString>

#include "service/ServiceManager.h"

namespace Zarvo {

class SystemdServiceManager : public ServiceManager {
 public:
  // Where things are; tests point them at a temporary folder and a fake systemctl.
  struct Paths {
    QString unitDirectory = QStringLiteral("/etc/systemd/system");
    QString systemctl = QStringLiteral("systemctl");
    QString runtimeRoot = QStringLiteral("/run");  // the control socket is <root>/<name>/control
    QString sysusers = QStringLiteral("systemd-sysusers");  // makes the service's user
    // The service reads its configuration from <configurationRoot>/<kServiceFolder>.
    QString configurationRoot = QStringLiteral("/etc");
  };
  struct Limits {
    int commandMs = 120'000;  // one systemctl run (a start waits for the service to be ready)
    int controlMs = 30'000;   // the service's answer to a control request
    int stopPolls = 10;       // after the stop request, look this many times ...
    int stopPollMs = 200;     // ... this far apart for the stopped state
  };

  explicit SystemdServiceManager(const QString& serviceName);
  SystemdServiceManager(const QString& serviceName, Paths paths, Limits limits);

  bool isInstalled() override;
  bool isRunning() override;
  QString installedExecutable() override;
  bool install(const ServiceSettings& settings) override;
  bool uninstall() override;
  // systemd starts a unit with the command line written in it: the arguments are not carried.
  bool start(const QStringList& arguments) override;
  bool stop() override;
  bool control(int code) override;
  QString errorString() const override { return error_; }

  QString unitPath() const;

 private:
  // Runs systemctl; on failure records its complaint as the error and returns false.
  bool systemctl(const QStringList& arguments, QByteArray* out = nullptr);
  // "systemctl show -p <property> --value"; empty when systemctl fails.
  QByteArray show(const QString& property);
  bool fail(const QString& why);
  // The service's user and its configuration: the user made when missing, "<name>.cfg" beside
  // the executable copied into the configuration folder when that holds none yet.
  bool prepareUserAndConfiguration(const QString& executable);

  QString name_;
  QString unit_;
  Paths paths_;
  Limits limits_;
  QString error_;
};

}  // namespace Zarvo
