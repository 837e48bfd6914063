#include "service/SystemdServiceManager.h"

#include <unistd.h>

#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QSaveFile>
#include <QThread>

#include "service/ControlSocket.h"
#include "service/Subprocess.h"
#include "service/SystemdUnit.h"

namespace Zarvo {

SystemdServiceManager::SystemdServiceManager(const QString& serviceName)
    : SystemdServiceManager(serviceName, Paths(), Limits()) {}

SystemdServiceManager::SystemdServiceManager(const QString& serviceName, Paths paths, Limits limits)
    : name_(serviceName),
      unit_(unitFileName(serviceName)),
      paths_(std::move(paths)),
      limits_(limits) {}

QString SystemdServiceManager::unitPath() const {
  return QDir(paths_.unitDirectory).filePath(unit_);
}

bool SystemdServiceManager::fail(const QString& why) {
  error_ = why;
  return false;
}

bool SystemdServiceManager::systemctl(const QStringList& arguments, QByteArray* out) {
  const ProgramResult r = runProgram(paths_.systemctl, arguments, limits_.commandMs);
  if (out) *out = r.out;
  if (r.succeeded()) return true;
  return fail(r.describe(paths_.systemctl));
}

QByteArray SystemdServiceManager::show(const QString& property) {
  QByteArray out;
  if (!systemctl({QStringLiteral("show"), QStringLiteral("--property=") + property,
                  QStringLiteral("--value"), unit_},
                 &out))
    return QByteArray();
  return out.trimmed();
}

bool SystemdServiceManager::isInstalled() {
  if (!isValidUnitName(name_)) return false;
  // "not-found" for a unit nobody wrote; "loaded" (or "masked", "error": a unit file exists).
  const QByteArray state = show(QStringLiteral("LoadState"));
  return !state.isEmpty() && state != "not-found";
}

bool SystemdServiceManager::isRunning() {
  if (!isValidUnitName(name_)) return false;
  const QByteArray state = show(QStringLiteral("ActiveState"));
  // Everything between the start request and the end counts: activating, active, reloading,
  // deactivating. A paused service is still active.
  return !state.isEmpty() && state != "inactive" && state != "failed";
}

QString SystemdServiceManager::installedExecutable() {
  if (!isValidUnitName(name_)) return QString();
  return shownExecutable(show(QStringLiteral("ExecStart")));
}

bool SystemdServiceManager::prepareUserAndConfiguration(const QString& executable) {
  const ProgramResult made =
      runProgram(paths_.sysusers, {QStringLiteral("--inline"), serviceUserLine()}, limits_.commandMs);
  if (!made.succeeded())
    return fail(QStringLiteral("cannot make the user %1: %2")
                    .arg(kServiceUser, made.describe(paths_.sysusers)));
  const QDir folder(QDir(paths_.configurationRoot).filePath(kServiceFolder));
  const QString configName = name_ + QStringLiteral(".cfg");
  const QString beside = QFileInfo(executable).dir().filePath(configName);
  if (folder.exists(configName) || !QFileInfo::exists(beside)) return true;
  if (!QDir().mkpath(folder.path()) || !QFile::copy(beside, folder.filePath(configName)))
    return fail(QStringLiteral("cannot copy %1 to %2").arg(beside, folder.path()));
  return true;
}

bool SystemdServiceManager::install(const ServiceSettings& settings) {
  if (!isValidUnitName(name_))
    return fail(QStringLiteral("'%1' cannot be a systemd unit name").arg(name_));
  ServiceSettings s = settings;
  s.name = name_;
  const QByteArray unit = systemdUnit(s);
  if (unit.isEmpty())
    return fail(QStringLiteral("the path %1 cannot be written into a unit").arg(s.executable));

  if (isHiddenFromServices(s.executable))
    return fail(QStringLiteral("%1 is under /home, /root or /run/user, which the service's sandbox "
                               "hides: install the executable elsewhere (e.g. /usr/local/sbin)")
                    .arg(s.executable));

  // Never overwrite a unit that runs another program: that service belongs to someone else.
  QFile existing(unitPath());
  if (existing.open(QIODevice::ReadOnly)) {
    const QString other = unitExecutable(existing.readAll());
    if (other != s.executable)
      return fail(QStringLiteral("%1 already runs %2").arg(unitPath(), other));
  }

  if (!prepareUserAndConfiguration(s.executable)) return false;

  QSaveFile file(unitPath());  // written whole or not at all
  file.setDirectWriteFallback(false);
  if (!file.open(QIODevice::WriteOnly) || file.write(unit) != unit.size() || !file.commit())
    return fail(QStringLiteral("cannot write %1: %2").arg(unitPath(), file.errorString()));
  QFile::setPermissions(unitPath(), QFileDevice::ReadOwner | QFileDevice::WriteOwner |
                                        QFileDevice::ReadGroup | QFileDevice::ReadOther);

  const bool ok = systemctl({QStringLiteral("daemon-reload")}) &&
                  (!s.autoStart || systemctl({QStringLiteral("enable"), unit_}));
  if (!ok) {
    // Leave no half-installed unit behind; the first failure is the one to report.
    const QString why = error_;
    QFile::remove(unitPath());
    (void)systemctl({QStringLiteral("daemon-reload")});
    return fail(why);
  }
  return true;
}

bool SystemdServiceManager::uninstall() {
  if (!isValidUnitName(name_))
    return fail(QStringLiteral("'%1' cannot be a systemd unit name").arg(name_));
  if (!QFileInfo::exists(unitPath())) {
    // The unit came from elsewhere (the Debian package): its owner removes it.
    const QString where = QString::fromUtf8(show(QStringLiteral("FragmentPath")));
    return fail(QStringLiteral("%1 was not written by -install; remove what installed it")
                    .arg(where.isEmpty() ? unit_ : where));
  }
  // The stop runs in order in the background; systemd keeps the unit until it has ended.
  if (!systemctl({QStringLiteral("stop"), QStringLiteral("--no-block"), unit_}) ||
      !systemctl({QStringLiteral("disable"), unit_}))
    return false;
  if (!QFile::remove(unitPath())) return fail(QStringLiteral("cannot remove %1").arg(unitPath()));
  return systemctl({QStringLiteral("daemon-reload")});
}

bool SystemdServiceManager::start(const QStringList& /*arguments*/) {
  if (!isValidUnitName(name_))
    return fail(QStringLiteral("'%1' cannot be a systemd unit name").arg(name_));
  return systemctl({QStringLiteral("start"), unit_});
}

bool SystemdServiceManager::stop() {
  error_.clear();
  if (!isRunning()) {
    if (error_.isEmpty()) error_ = QStringLiteral("%1 is not running").arg(unit_);
    return false;
  }
  // Not waiting in systemctl: an orderly stop may take minutes, the tool looks briefly.
  if (!systemctl({QStringLiteral("stop"), QStringLiteral("--no-block"), unit_})) return false;
  for (int i = 0; i < limits_.stopPolls; ++i) {
    QThread::msleep(ulong(limits_.stopPollMs));
    const QByteArray state = show(QStringLiteral("ActiveState"));
    if (state == "inactive" || state == "failed") return true;
  }
  return fail(QStringLiteral("%1 is still stopping").arg(unit_));
}

bool SystemdServiceManager::control(int code) {
  const QString socket = controlSocketPath(QDir(paths_.runtimeRoot).filePath(name_));
  QString why;
  if (sendControl(socket, code, limits_.controlMs, &why)) return true;
  return fail(why);
}

}  // namespace Zarvo
