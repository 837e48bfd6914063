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

bool FakeServiceManager::act(const QString& call, const QString& operation,
                             const std::function<void()>& effect) {
  record_(call);
  if (state_.failing.contains(operation)) {
    error_ = state_.reason;
    return false;
  }
  effect();
  return true;
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
  return act(QStringLiteral("install %1 name=%2 description=%3 auto=%4 suspend=%5 nostop=%6")
                 .arg(s.executable, s.name, s.description)
                 .arg(int(s.autoStart))
                 .arg(int(s.canBeSuspended))
                 .arg(int(s.cannotBeStopped)),
             QStringLiteral("install"), [&] {
               state_.installed = true;
               state_.executable = s.executable;
             });
}

bool FakeServiceManager::uninstall() {
  return act(QStringLiteral("uninstall"), QStringLiteral("uninstall"),
             [&] { state_.installed = state_.running = false; });
}

bool FakeServiceManager::start(const QStringList& arguments) {
  return act(QStringLiteral("start [%1]").arg(arguments.join(QLatin1Char(' '))),
             QStringLiteral("start"), [&] { state_.running = true; });
}

bool FakeServiceManager::stop() {
  return act(QStringLiteral("stop"), QStringLiteral("stop"), [&] { state_.running = false; });
}

bool FakeServiceManager::control(int code) {
  return act(QStringLiteral("control %1").arg(code), QStringLiteral("control"), [] {});
}

}  // namespace Zarvo
