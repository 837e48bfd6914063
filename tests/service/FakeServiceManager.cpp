#include "tests/service/FakeServiceManager.h"

namespace Zarvo {

FakeServiceState FakeServiceState::parse(const QString& text) {
  FakeServiceState s;
  for (const QString& item : text.split(QLatin1Char(','), Qt::SkipEmptyParts)) {
    if (item == QLatin1String("installed")) s.installed = true;
    if (item == QLatin1String("running")) s.running = true;
    if (item.startsWith(QLatin1String("exe="))) s.executable = item.mid(4);
    if (item.startsWith(QLatin1String("fail=")))
      for (const QString& op : item.mid(5).split(QLatin1Char('+'))) s.failing.insert(op);
  }
  return s;
}

bool FakeServiceManager::outcome(const QString& operation) {
  if (!state_.failing.contains(operation)) return true;
  error_ = state_.reason;
  return false;
}

bool FakeServiceManager::isInstalled() {
  record_(QStringLiteral("isInstalled"));
  return state_.installed;
}

bool FakeServiceManager::isRunning() {
  record_(QStringLiteral("isRunning"));
  return state_.running;
}

QString FakeServiceManager::installedExecutable() {
  record_(QStringLiteral("installedExecutable"));
  return state_.installed ? state_.executable : QString();
}

bool FakeServiceManager::install(const ServiceSettings& s) {
  record_(QStringLiteral("install %1 name=%2 description=%3 auto=%4 suspend=%5 nostop=%6")
              .arg(s.executable, s.name, s.description)
              .arg(int(s.autoStart))
              .arg(int(s.canBeSuspended))
              .arg(int(s.cannotBeStopped)));
  if (!outcome(QStringLiteral("install"))) return false;
  state_.installed = true;
  state_.executable = s.executable;
  return true;
}

bool FakeServiceManager::uninstall() {
  record_(QStringLiteral("uninstall"));
  if (!outcome(QStringLiteral("uninstall"))) return false;
  state_.installed = state_.running = false;
  return true;
}

bool FakeServiceManager::start(const QStringList& arguments) {
  record_(QStringLiteral("start [%1]").arg(arguments.join(QLatin1Char(' '))));
  if (!outcome(QStringLiteral("start"))) return false;
  state_.running = true;
  return true;
}

bool FakeServiceManager::stop() {
  record_(QStringLiteral("stop"));
  if (!outcome(QStringLiteral("stop"))) return false;
  state_.running = false;
  return true;
}

bool FakeServiceManager::control(int code) {
  record_(QStringLiteral("control %1").arg(code));
  return outcome(QStringLiteral("control"));
}

}  // namespace Zarvo
