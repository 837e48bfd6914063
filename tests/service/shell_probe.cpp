// A tiny service for the shell's process tests. Its behaviour is chosen by the environment so
// that the command line reaches the shell untouched:
//   PROBE_NAME     service name (default "ZarvoPluginDSM")
//   PROBE_MODE     "quit" (default): start() prints its arguments and ends the loop with 0;
//                  "wait": start() prints its arguments and waits for a signal or a stop;
//                  "exit:N": start() ends the loop with N;
//                  "noapp": createApplication makes no application.
//   PROBE_FLAGS    "suspend" (may be paused), "nostop" (cannot be stopped), comma separated
//   PROBE_FAKE     a fake service manager in this state (FakeServiceState::parse); each call it
//                  gets is appended as a line to the file PROBE_CALLS
//   PROBE_SYSTEMCTL, PROBE_UNIT_DIR, PROBE_RUNTIME_ROOT
//                  the systemd manager with these paths instead of the system's
// start() prints "start:" and the arguments after argument 0; stop, pause, resume and user
// commands print "stop", "pause", "resume", "command <code>", each preceded by "event <type>"
// for the control event that carried it. After the loop the probe prints "loop ended <code>";
// in "wait" mode main() then prints "signals default" once SIGINT and SIGTERM have their
// default handlers again.
#include <signal.h>

#include <QFile>
#include <cstdio>

#include "service/QtService.h"
#include "service/SystemdServiceManager.h"
#include "tests/service/FakeServiceManager.h"

namespace Zarvo {
namespace {

void say(const QByteArray& line) {
  std::fputs(line.constData(), stdout);
  std::fputc('\n', stdout);
  std::fflush(stdout);  // tests wait for lines while the probe runs
}

// Shows the control events the shell posts, as the application receives them.
class ProbeApp : public QCoreApplication {
 public:
  ProbeApp(int& argc, char** argv) : QCoreApplication(argc, argv) {}
  bool notify(QObject* receiver, QEvent* event) override {
    const int type = int(event->type());
    if (type >= 1001 && type <= 1255) say("event " + QByteArray::number(type));
    return QCoreApplication::notify(receiver, event);
  }
};

class Probe : public QtService<ProbeApp> {
 public:
  Probe(int argc, char** argv, const QString& name, QString mode)
      : QtService(argc, argv, name), mode_(std::move(mode)) {}

 protected:
  void start() override {
    const QStringList args = QCoreApplication::arguments().mid(1);
    Zarvo::say("start:" + QByteArray(args.isEmpty() ? "" : " ") + args.join(' ').toLocal8Bit());
    if (mode_ == QLatin1String("wait")) return;
    if (mode_.startsWith(QLatin1String("exit:"))) {
      QCoreApplication::exit(mode_.mid(5).toInt());
      return;
    }
    QCoreApplication::quit();
  }
  void stop() override { say("stop"); }
  void pause() override { say("pause"); }
  void resume() override { say("resume"); }
  void customCommand(int code) override { say("command " + QByteArray::number(code)); }

  void createApplication(int& argc, char** argv) override {
    if (mode_ != QLatin1String("noapp")) QtService::createApplication(argc, argv);
  }

  int runApplication() override {
    const int result = QtService::runApplication();
    Zarvo::say("loop ended " + QByteArray::number(result));
    return result;
  }

 private:
  QString mode_;
};

void chooseServiceManager() {
  if (qEnvironmentVariableIsSet("PROBE_FAKE")) {
    const FakeServiceState state = FakeServiceState::parse(qEnvironmentVariable("PROBE_FAKE"));
    const QString calls = qEnvironmentVariable("PROBE_CALLS");
    QtServiceController::setManagerFactory([state, calls](const QString&) {
      return std::make_unique<FakeServiceManager>(state, [calls](const QString& call) {
        QFile file(calls);
        if (!calls.isEmpty() && file.open(QIODevice::Append)) file.write(call.toUtf8() + '\n');
      });
    });
  } else if (qEnvironmentVariableIsSet("PROBE_SYSTEMCTL")) {
    SystemdServiceManager::Paths paths;
    paths.systemctl = qEnvironmentVariable("PROBE_SYSTEMCTL");
    paths.unitDirectory = qEnvironmentVariable("PROBE_UNIT_DIR");
    paths.runtimeRoot = qEnvironmentVariable("PROBE_RUNTIME_ROOT");
    SystemdServiceManager::Limits limits;
    limits.stopPollMs = 20;
    QtServiceController::setManagerFactory([paths, limits](const QString& name) {
      return std::make_unique<SystemdServiceManager>(name, paths, limits);
    });
  }
}

}  // namespace
}  // namespace Zarvo

int main(int argc, char** argv) {
  Zarvo::chooseServiceManager();
  const QByteArray name = qgetenv("PROBE_NAME");
  Zarvo::Probe probe(argc, argv,
                     name.isEmpty() ? QStringLiteral("ZarvoPluginDSM") : QString::fromUtf8(name),
                     QString::fromUtf8(qgetenv("PROBE_MODE")));
  Zarvo::QtServiceBase::ServiceFlags flags;
  const QStringList wanted = qEnvironmentVariable("PROBE_FLAGS").split(QLatin1Char(','));
  if (wanted.contains(QLatin1String("suspend"))) flags |= Zarvo::QtServiceBase::CanBeSuspended;
  if (wanted.contains(QLatin1String("nostop"))) flags |= Zarvo::QtServiceBase::CannotBeStopped;
  probe.setServiceFlags(flags);
  probe.setServiceDescription(qEnvironmentVariable("PROBE_DESCRIPTION"));
  const int result = probe.exec();
  if (qgetenv("PROBE_MODE") == "wait") {
    struct sigaction intAction {
    }, termAction{};
    if (::sigaction(SIGINT, nullptr, &intAction) == 0 &&
        ::sigaction(SIGTERM, nullptr, &termAction) == 0 && intAction.sa_handler == SIG_DFL &&
        termAction.sa_handler == SIG_DFL)
      Zarvo::say("signals default");
  }
  return result;
}
