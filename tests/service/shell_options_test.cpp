// End-to-end tests of the shell's command line: the probe program is run as a child process and
// its streams and exit status are compared byte for byte.
#include <signal.h>

#include <gtest/gtest.h>

#include <QDeadlineTimer>
#include <QProcess>
#include <QProcessEnvironment>
#include <cstring>

#include "tests/fakes/Bytes.h"
#include "tests/fakes/QtApp.h"

using testing_bytes::hex;

namespace {

// Generous: the machine may be loaded and the probe built with sanitizers.
constexpr int kProcessWaitMs = 60'000;

struct Outcome {
  QByteArray out;
  QByteArray err;
  int exitCode = -1000;
  bool crashed = true;
};

QProcessEnvironment probeEnvironment(const QString& mode, const QString& name = QString()) {
  QProcessEnvironment env = QProcessEnvironment::systemEnvironment();
  env.remove("QT_MESSAGE_PATTERN");  // warnings must appear as plain text
  env.insert("PROBE_MODE", mode);
  if (name.isEmpty())
    env.remove("PROBE_NAME");
  else
    env.insert("PROBE_NAME", name);
  return env;
}

Outcome runProbe(const QStringList& args, const QString& mode = "quit",
                 const QString& name = QString()) {
  testing_qt::coreApp();
  QProcess probe;
  probe.setProcessEnvironment(probeEnvironment(mode, name));
  probe.start(SHELL_PROBE_PATH, args);
  Outcome o;
  if (!probe.waitForStarted(kProcessWaitMs) || !probe.waitForFinished(kProcessWaitMs)) {
    probe.kill();
    probe.waitForFinished(kProcessWaitMs);
    ADD_FAILURE() << "probe did not finish";
    return o;
  }
  o.out = probe.readAllStandardOutput();
  o.err = probe.readAllStandardError();
  o.exitCode = probe.exitCode();
  o.crashed = probe.exitStatus() != QProcess::NormalExit;
  return o;
}

QByteArray helpText(const QByteArray& name) {
  return name +
         " -[i|u|e|s|v|h]\n\n"
         "\t-i(nstall)\t: Install the service\n"
         "\t-u(ninstall)\t: Uninstall the service\n"
         "\t-e(xec)\t\t: Execute the service\n"
         "\t\t\t  If the service is not installed, run it as a regular program\n"
         "\t-t(erminate)\t: Stop the service\n"
         "\t-v(ersion)\t: Print version and status information\n"
         "\t-h(elp)\t: Show this help\n";
}

// Exit statuses as the parent sees them: the low 8 bits of main's result.
constexpr int kFailed = 255;    // -1
constexpr int kNoStart = 252;   // -4

TEST(ShellOptions, EachOptionPrintsItsTextAndReturnsItsCode) {
  const QByteArray version = QByteArray("The service\n\tZarvoPluginDSM\n\t") + SHELL_PROBE_PATH +
                             "\n\nis not installed and not running\n\n";
  const QByteArray notStarted = "The service ZarvoPluginDSM could not start\n";
  const QByteArray stopFailed =
      QByteArray("The service could not be stopped. ") + std::strerror(ESRCH) + "\n";
  struct Case {
    const char* why;
    QStringList forms;  // each is tried as argument 1
    QStringList more;   // arguments after it
    QByteArray out;
    QByteArray err;
    int exitCode;
  };
  const Case cases[] = {
      {"help", {"-h", "-help"}, {}, helpText("ZarvoPluginDSM"), "", 0},
      {"first match decides; later arguments are ignored", {"-h"}, {"-i"},
       helpText("ZarvoPluginDSM"), "", 0},
      {"version with status", {"-v", "-version"}, {}, version, "", 0},
      {"install fails without a service manager", {"-i", "-install"}, {}, "",
       "The service ZarvoPluginDSM could not be installed\n", kFailed},
      {"uninstall of a service that is not installed is not an error", {"-u", "-uninstall"}, {},
       "", "The service ZarvoPluginDSM is not installed\n", 0},
      {"terminate reports the system error but exits 0", {"-t", "-terminate"}, {}, "",
       stopFailed, 0},
      {"pause and resume are silent", {"-p", "-pause", "-r", "-resume"}, {}, "", "", 0},
      {"command without a code sends 0, silently", {"-c", "-command"}, {}, "", "", 0},
      {"a number is the code", {"-c"}, {"5"}, "", "", 0},
      {"a word is code 0", {"-c"}, {"abc"}, "", "", 0},
      {"out of range", {"-c"}, {"200"}, "", "", 0},
      {"no option or no match: start as a service, which fails from a console",
       {"", "-I", "-EXEC", "-ex", "--help"}, {}, "", notStarted, kNoStart},
      {"exec runs start() in the loop", {"-e", "-exec"}, {}, "start:\nloop ended 0\n", "", 0},
      {"exec removes only its own argument", {"-exec"}, {"a", "-v"},
       "start: a -v\nloop ended 0\n", "", 0},
  };
  for (const Case& c : cases) {
    for (const QString& form : c.forms) {
      SCOPED_TRACE(c.why);
      SCOPED_TRACE(form.toStdString());
      const Outcome o = runProbe(form.isEmpty() ? QStringList() : QStringList{form} + c.more);
      EXPECT_FALSE(o.crashed);
      EXPECT_EQ(hex(o.out), hex(c.out));
      EXPECT_EQ(hex(o.err), hex(c.err));
      EXPECT_EQ(o.exitCode, c.exitCode);
    }
  }
}

TEST(ShellOptions, ExecReturnsTheLoopResultAndWarnsWhenItIsNotZero) {
  {
    SCOPED_TRACE("the loop ends with 3");
    const Outcome o = runProbe({"-exec"}, "exit:3");
    EXPECT_EQ(hex(o.out), hex(QByteArray("start:\nloop ended 3\n")));
    EXPECT_TRUE(o.err.startsWith("The service could not be started.")) << hex(o.err);
    EXPECT_TRUE(o.err.endsWith("\n"));
    EXPECT_EQ(o.exitCode, 3);
  }
  {
    SCOPED_TRACE("no application object: -1 and no start");
    const Outcome o = runProbe({"-e"}, "noapp");
    EXPECT_EQ(hex(o.out), "");
    // No system call failed, so no system error text (never "Success" after a failure).
    EXPECT_EQ(hex(o.err), hex(QByteArray("The service could not be started.\n")));
    EXPECT_EQ(o.exitCode, kFailed);
  }
}

TEST(ShellOptions, NameChecksWarnOnStderrAndMessagesUseTheCheckedName) {
  const QString longName = QString(300, QLatin1Char('N'));
  const Outcome o = runProbe({"-u"}, "quit", longName);
  EXPECT_EQ(hex(o.err), hex("QtService: 'name' is longer than 255 characters.\n"
                            "The service " + QByteArray(255, 'N') + " is not installed\n"));
  EXPECT_EQ(o.exitCode, 0);
}

// A console run ends the orderly way on SIGTERM and SIGINT: the loop quits, the code after it
// runs, the process exits with the loop's result, and after the run the signals kill again.
TEST(ShellSignals, TermAndIntEndAnExecRunWithExitCodeZero) {
  testing_qt::coreApp();
  for (int sig : {SIGTERM, SIGINT}) {
    SCOPED_TRACE(strsignal(sig));
    QProcess probe;
    probe.setProcessEnvironment(probeEnvironment("wait"));
    probe.start(SHELL_PROBE_PATH, {"-exec"});
    ASSERT_TRUE(probe.waitForStarted(kProcessWaitMs));

    // Handlers are in place before the loop runs start(), so its line means "ready".
    QByteArray out;
    const QDeadlineTimer ready(kProcessWaitMs);
    while (!out.contains("start:\n") && !ready.hasExpired() &&
           probe.state() == QProcess::Running) {
      probe.waitForReadyRead(int(qMin<qint64>(ready.remainingTime(), 1000)));
      out += probe.readAllStandardOutput();
    }
    ASSERT_TRUE(out.contains("start:\n")) << hex(out);

    ASSERT_EQ(::kill(pid_t(probe.processId()), sig), 0);
    if (!probe.waitForFinished(kProcessWaitMs)) {
      probe.kill();
      probe.waitForFinished(kProcessWaitMs);
      FAIL() << "the signal did not end the run";
    }
    out += probe.readAllStandardOutput();
    EXPECT_EQ(probe.exitStatus(), QProcess::NormalExit);
    EXPECT_EQ(probe.exitCode(), 0);
    EXPECT_EQ(hex(out), hex(QByteArray("start:\nloop ended 0\nsignals default\n")))
        << "the run must give the signals back their default handlers";
    EXPECT_EQ(hex(probe.readAllStandardError()), "");
  }
}

}  // namespace
