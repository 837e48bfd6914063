// A tiny service for the shell's process tests. Its behaviour is chosen by the environment so
// that the command line reaches the shell untouched:
//   PROBE_NAME  service name (default "ZarvoPluginDSM")
//   PROBE_MODE  "quit" (default): start() prints its arguments and ends the loop with 0;
//               "wait": start() prints its arguments and waits for a signal;
//               "exit:N": start() ends the loop with N;
//               "noapp": createApplication makes no application.
// start() prints "start:" and the arguments after argument 0; after the loop the probe prints
// "loop ended <code>"; in "wait" mode main() then prints "signals default" once SIGINT and
// SIGTERM have their default handlers again.
#include <signal.h>

#include <cstdio>

#include "service/QtService.h"

namespace {

class Probe : public QtService<QCoreApplication> {
 public:
  Probe(int argc, char** argv, const QString& name, QString mode)
      : QtService(argc, argv, name), mode_(std::move(mode)) {}

 protected:
  void start() override {
    const QStringList args = QCoreApplication::arguments().mid(1);
    std::printf("start:%s%s\n", args.isEmpty() ? "" : " ", args.join(' ').toLocal8Bit().constData());
    std::fflush(stdout);  // the test waits for this line before it signals
    if (mode_ == QLatin1String("wait")) return;
    if (mode_.startsWith(QLatin1String("exit:"))) {
      QCoreApplication::exit(mode_.mid(5).toInt());
      return;
    }
    QCoreApplication::quit();
  }

  void createApplication(int& argc, char** argv) override {
    if (mode_ != QLatin1String("noapp")) QtService::createApplication(argc, argv);
  }

  int runApplication() override {
    const int result = QtService::runApplication();
    std::printf("loop ended %d\n", result);
    std::fflush(stdout);
    return result;
  }

 private:
  QString mode_;
};

}  // namespace

int main(int argc, char** argv) {
  const QByteArray name = qgetenv("PROBE_NAME");
  Probe probe(argc, argv, name.isEmpty() ? QStringLiteral("ZarvoPluginDSM") : QString::fromUtf8(name),
              QString::fromUtf8(qgetenv("PROBE_MODE")));
  const int result = probe.exec();
  if (qgetenv("PROBE_MODE") == "wait") {
    struct sigaction intAction {}, termAction {};
    if (::sigaction(SIGINT, nullptr, &intAction) == 0 &&
        ::sigaction(SIGTERM, nullptr, &termAction) == 0 && intAction.sa_handler == SIG_DFL &&
        termAction.sa_handler == SIG_DFL)
      std::printf("signals default\n");
  }
  return result;
}
