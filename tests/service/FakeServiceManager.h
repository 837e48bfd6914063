// A service manager that lives in memory: the state a test gives it, a record of every call,
// and failures on request. Shared by the shell's process tests (through the probe program) and
// in-process tests.
#pragma once

#include <QSet>
#include <QString>
#include <functional>

#include "service/ServiceManager.h"

namespace Zarvo {

struct FakeServiceState {
  bool installed = false;
  bool running = false;
  QString executable;     // what the installed service runs
  QSet<QString> failing;  // operations that fail: "install", "stop", "control", ...
  QString reason = QStringLiteral("the fake manager refused");

  // Reads "installed,running,exe=/path,fail=install+stop" (any subset, any order).
  static FakeServiceState parse(const QString& text);
};

class FakeServiceManager : public ServiceManager {
 public:
  using Recorder = std::function<void(const QString& call)>;
  FakeServiceManager(FakeServiceState state, Recorder record)
      : state_(std::move(state)), record_(std::move(record)) {}

  bool isInstalled() override;
  bool isRunning() override;
  QString installedExecutable() override;
  bool install(const ServiceSettings& settings) override;
  bool uninstall() override;
  bool start(const QStringList& arguments) override;
  bool stop() override;
  bool control(int code) override;
  QString errorString() const override { return error_; }

 private:
  // Records `call`; unless `operation` is set to fail, applies `effect` and succeeds.
  bool act(const QString& call, const QString& operation, const std::function<void()>& effect);

  FakeServiceState state_;
  Recorder record_;
  QString error_;
};

}  // namespace Zarvo
