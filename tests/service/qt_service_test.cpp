// The service shell: its command line end to end (the probe program run as a child process, its
// streams and exit status compared byte for byte) and, in process, the checks of its name and
// the one-instance pointer.
#include <gtest/gtest.h>
#include <signal.h>

#include <QDeadlineTimer>
#include <QFile>
#include <QFileInfo>
#include <QProcess>
#include <QProcessEnvironment>
#include <QTemporaryDir>
#include <cstring>

#include "service/QtService.h"
#include "tests/fakes/Bytes.h"
#include "tests/fakes/QtApp.h"

using testing_bytes::hex;

namespace Zarvo {
namespace {

// Generous: the machine may be loaded and the probe built with sanitizers.
constexpr int kProcessWaitMs = 60'000;

struct Outcome {
  QByteArray out;
  QByteArray err;
  int exitCode = -1000;
  bool crashed = true;
  QStringList calls;  // what the fake service manager was asked, in order
};

// The probe runs with a fake service manager (state `fake`) unless `fake` is null.
struct ProbeSetup {
  QString mode = QStringLiteral("quit");
  QString name;
  QString fake = QStringLiteral("");
  QString flags;
};

ProbeSetup inMode(const QString& mode) {
  ProbeSetup setup;
  setup.mode = mode;
  return setup;
}

QProcessEnvironment probeEnvironment(const ProbeSetup& setup, const QString& callsFile) {
  QProcessEnvironment env = QProcessEnvironment::systemEnvironment();
  env.remove("QT_MESSAGE_PATTERN");  // warnings must appear as plain text
  // Never mistaken for a run under systemd, whatever runs the tests.
  env.remove("NOTIFY_SOCKET");
  env.remove("INVOCATION_ID");
  env.insert("PROBE_MODE", setup.mode);
  if (setup.name.isEmpty())
    env.remove("PROBE_NAME");
  else
    env.insert("PROBE_NAME", setup.name);
  if (!setup.fake.isNull()) {
    env.insert("PROBE_FAKE", setup.fake);
    env.insert("PROBE_CALLS", callsFile);
  }
  env.insert("PROBE_FLAGS", setup.flags);
  env.insert("PROBE_DESCRIPTION", "Probe service");
  return env;
}

Outcome runProbe(const QStringList& args, const ProbeSetup& setup = ProbeSetup()) {
  testing_qt::coreApp();
  QTemporaryDir dir;
  const QString callsFile = dir.filePath("calls");
  QProcess probe;
  probe.setProcessEnvironment(probeEnvironment(setup, callsFile));
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
  QFile calls(callsFile);
  if (calls.open(QIODevice::ReadOnly))
    o.calls = QString::fromUtf8(calls.readAll()).split('\n', Qt::SkipEmptyParts);
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
constexpr int kFailed = 255;   // -1
constexpr int kNoStart = 252;  // -4
constexpr int kUsage = 2;

// Stands for "start [<the arguments after argument 0>]" in the expected calls.
const char kStartCall[] = "<start>";

QString probePath() { return QFileInfo(SHELL_PROBE_PATH).canonicalFilePath(); }

TEST(ShellOptions, EachOptionPrintsItsTextReturnsItsCodeAndAsksTheManager) {
  const QByteArray name = "ZarvoPluginDSM";
  const auto version = [](const char* status) {
    return QByteArray("The service\n\tZarvoPluginDSM\n\t") + SHELL_PROBE_PATH + "\n\nis " + status +
           "\n\nVersion " ZARVO_VERSION "\n";
  };
  const QString self = probePath();
  const QString install =
      "install " + self + " name=ZarvoPluginDSM description=Probe service auto=1";
  const QString installedHere = "installed,exe=" + self;
  const QByteArray refused = "the fake manager refused";
  const QStringList query{"isInstalled"};
  const QStringList sameCheck{"isInstalled", "installedExecutable"};
  struct Case {
    const char* why;
    QStringList forms;  // each is tried as argument 1
    QStringList more;   // arguments after it
    QString fake;       // the manager's state
    QByteArray out;
    QByteArray err;
    int exitCode;
    QStringList calls;
    QString flags = QString();
  };
  // One row per case reads better than one field per line.
  // clang-format off
  const Case cases[] = {
      {"help asks the manager nothing", {"-h", "-help"}, {}, "installed,running",
       helpText(name), "", 0, {}},
      {"first match decides; later arguments are ignored", {"-h"}, {"-i"}, "", helpText(name),
       "", 0, {}},
      {"version: neither", {"-v", "-version"}, {}, "", version("not installed and not running"),
       "", 0, {"isInstalled", "isRunning"}},
      {"version: installed, stopped", {"-v"}, {}, "installed",
       version("installed and not running"), "", 0, {"isInstalled", "isRunning"}},
      {"version: installed and running", {"-version"}, {}, "installed,running",
       version("installed and running"), "", 0, {"isInstalled", "isRunning"}},
      {"install gives the manager this executable, the description and automatic start",
       {"-i", "-install"}, {}, "", "", "", 0, {"isInstalled", install + " suspend=0 nostop=0"}},
      {"install passes the service flags", {"-i"}, {}, "", "", "", 0,
       {"isInstalled", install + " suspend=1 nostop=1"}, "suspend,nostop"},
      {"install that fails says why and exits -1", {"-i"}, {}, "fail=install", "",
       "The service ZarvoPluginDSM could not be installed\nReason for failure: " + refused + "\n",
       kFailed, {"isInstalled", install + " suspend=0 nostop=0"}},
      {"install of an installed service is not an error", {"-i", "-install"}, {}, installedHere,
       "", "The service ZarvoPluginDSM is already installed\n", 0, sameCheck},
      {"a unit of that name for another program is left alone and the install fails", {"-i"},
       {}, "installed,exe=/opt/other/ZarvoPluginDSM", "",
       "The service ZarvoPluginDSM is already installed\nIt runs /opt/other/ZarvoPluginDSM, not " +
           self.toUtf8() + "\n",
       kFailed, sameCheck},
      {"uninstall", {"-u", "-uninstall"}, {}, "installed", "", "", 0,
       {"isInstalled", "uninstall"}},
      {"uninstall of a service that is not installed is not an error", {"-u", "-uninstall"}, {},
       "", "", "The service ZarvoPluginDSM is not installed\n", 0, query},
      {"uninstall that fails says why and exits -1", {"-u"}, {}, "installed,fail=uninstall", "",
       "The service ZarvoPluginDSM could not be uninstalled\nReason for failure: " + refused +
           "\n",
       kFailed, {"isInstalled", "uninstall"}},
      {"terminate", {"-t", "-terminate"}, {}, "installed,running", "", "", 0, {"stop"}},
      {"terminate that fails says why but exits 0", {"-t"}, {}, "installed,running,fail=stop", "",
       "The service could not be stopped. " + refused + "\n", 0, {"stop"}},
      {"pause is control 2, silently", {"-p", "-pause"}, {}, "installed,running", "", "", 0,
       {"control 2"}},
      {"resume is control 3, silently", {"-r", "-resume"}, {}, "installed,running", "", "", 0,
       {"control 3"}},
      {"a refused pause is still silent and 0", {"-p"}, {}, "installed,running,fail=control", "",
       "", 0, {"control 2"}},
      {"command without a code sends 0 as control 128", {"-c", "-command"}, {},
       "installed,running", "", "", 0, {"isRunning", "control 128"}},
      {"the last user code", {"-c"}, {"127"}, "installed,running", "", "", 0,
       {"isRunning", "control 255"}},
      {"a word is code 0", {"-c"}, {"abc"}, "installed,running", "", "", 0,
       {"isRunning", "control 128"}},
      {"out of range: nothing is sent, not even a query", {"-c"}, {"200"}, "installed,running",
       "", "", 0, {}},
      {"negative: nothing is sent", {"-c"}, {"-1"}, "installed,running", "", "", 0, {}},
      {"a stopped service gets no command", {"-c"}, {"5"}, "installed", "", "", 0,
       {"isRunning"}},
      {"no option from a console: the manager starts the service", {""}, {}, "installed", "",
       "", 0, {kStartCall}},
      {"an unknown option starts nothing: the help on stderr, exit 2",
       {"-I", "-EXEC", "-ex", "--help", "x"}, {"-e"}, "installed", "", helpText(name), kUsage,
       {}},
      {"a start the manager refuses exits -4", {""}, {}, "installed,fail=start", "",
       "The service ZarvoPluginDSM could not start\n", kNoStart, {kStartCall}},
      {"exec runs start() in the loop and asks the manager nothing", {"-e", "-exec"}, {},
       "installed,running", "start:\nloop ended 0\n", "", 0, {}},
      {"exec removes only its own argument", {"-exec"}, {"a", "-v"}, "",
       "start: a -v\nloop ended 0\n", "", 0, {}},
  };
  // clang-format on
  for (const Case& c : cases) {
    for (const QString& form : c.forms) {
      SCOPED_TRACE(c.why);
      SCOPED_TRACE(form.toStdString());
      ProbeSetup setup;
      setup.fake = c.fake;
      setup.flags = c.flags;
      const QStringList args = form.isEmpty() ? QStringList() : QStringList{form} + c.more;
      const Outcome o = runProbe(args, setup);
      EXPECT_FALSE(o.crashed);
      EXPECT_EQ(hex(o.out), hex(c.out));
      EXPECT_EQ(hex(o.err), hex(c.err));
      EXPECT_EQ(o.exitCode, c.exitCode);
      // The start path hands over everything after argument 0.
      QStringList calls = c.calls;
      if (calls == QStringList{kStartCall}) calls = {"start [" + args.join(' ') + "]"};
      EXPECT_EQ(o.calls, calls);
    }
  }
}

TEST(ShellOptions, ExecReturnsTheLoopResultAndWarnsWhenItIsNotZero) {
  {
    SCOPED_TRACE("the loop ends with 3");
    const Outcome o = runProbe({"-exec"}, inMode("exit:3"));
    EXPECT_EQ(hex(o.out), hex(QByteArray("start:\nloop ended 3\n")));
    EXPECT_TRUE(o.err.startsWith("The service could not be started.")) << hex(o.err);
    EXPECT_TRUE(o.err.endsWith("\n"));
    EXPECT_EQ(o.exitCode, 3);
  }
  {
    SCOPED_TRACE("no application object: -1 and no start");
    const Outcome o = runProbe({"-e"}, inMode("noapp"));
    EXPECT_EQ(hex(o.out), "");
    // No system call failed, so no system error text (never "Success" after a failure).
    EXPECT_EQ(hex(o.err), hex(QByteArray("The service could not be started.\n")));
    EXPECT_EQ(o.exitCode, kFailed);
  }
}

TEST(ShellOptions, NameChecksWarnOnStderrAndMessagesUseTheCheckedName) {
  const QString longName = QString(300, QLatin1Char('N'));
  ProbeSetup setup;
  setup.name = longName;
  const Outcome o = runProbe({"-u"}, setup);
  EXPECT_EQ(hex(o.err), hex("QtService: 'name' is longer than 255 characters.\n"
                            "The service " +
                            QByteArray(255, 'N') + " is not installed\n"));
  EXPECT_EQ(o.exitCode, 0);
}

// A console run ends the orderly way on SIGTERM and SIGINT: the loop quits, the code after it
// runs, the process exits with the loop's result, and after the run the signals kill again.
TEST(ShellSignals, TermAndIntEndAnExecRunWithExitCodeZero) {
  testing_qt::coreApp();
  for (int sig : {SIGTERM, SIGINT}) {
    SCOPED_TRACE(strsignal(sig));
    QProcess probe;
    probe.setProcessEnvironment(probeEnvironment(inMode("wait"), QString()));
    probe.start(SHELL_PROBE_PATH, {"-exec"});
    ASSERT_TRUE(probe.waitForStarted(kProcessWaitMs));

    // Handlers are in place before the loop runs start(), so its line means "ready".
    QByteArray out;
    const QDeadlineTimer ready(kProcessWaitMs);
    while (!out.contains("start:\n") && !ready.hasExpired() && probe.state() == QProcess::Running) {
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

// ---------------------------------------------------------------------------------------------
// In process

class Idle : public QtService<QCoreApplication> {
 public:
  explicit Idle(const QString& name) : QtService(1, argv_, name) {}

 protected:
  void start() override {}

 private:
  static char program_[];
  static char* argv_[];
};
char Idle::program_[] = "idle";
char* Idle::argv_[] = {program_, nullptr};

// Collects qWarning texts while it exists.
class WarningCapture {
 public:
  WarningCapture() {
    captured_ = &messages_;
    previous_ = qInstallMessageHandler(&WarningCapture::handle);
  }
  ~WarningCapture() {
    qInstallMessageHandler(previous_);
    captured_ = nullptr;
  }
  const QStringList& messages() const { return messages_; }

 private:
  static void handle(QtMsgType type, const QMessageLogContext&, const QString& text) {
    if (captured_ && type == QtWarningMsg) captured_->append(text);
  }
  static inline QStringList* captured_ = nullptr;
  QStringList messages_;
  QtMessageHandler previous_ = nullptr;
};

const QString kTooLong = QStringLiteral("QtService: 'name' is longer than 255 characters.");
const QString kBackslash = QStringLiteral("QtService: 'name' contains backslashes '\\'.");

TEST(ServiceName, ChecksCutLongNamesAndReplaceBackslashes) {
  const QString x255(255, QLatin1Char('x'));
  // U+1D11E is a surrogate pair; placed at units 254-255 its low half falls past the cut.
  const QString pairAtCut = QString(254, QLatin1Char('y')) + QString::fromUcs4(U"\U0001D11E") + "z";
  struct Case {
    const char* why;
    QString name;
    QString expected;
    QStringList warnings;
  };
  // clang-format off
  const Case cases[] = {
      {"ordinary name is kept", "ZarvoPluginDSM", "ZarvoPluginDSM", {}},
      {"exactly 255 characters is not too long", x255, x255, {}},
      {"300 characters are cut to the first 255, one warning", QString(300, QLatin1Char('x')),
       x255, {kTooLong}},
      {"every backslash becomes NUL, still one warning", "\\a\\\\",
       QString(QChar(0)) + "a" + QChar(0) + QChar(0), {kBackslash}},
      {"a backslash past the cut is gone before it is looked for", x255 + "\\", x255,
       {kTooLong}},
      {"backslash inside the first 255 with a long name: two warnings in order",
       "\\" + QString(299, QLatin1Char('x')), QString(QChar(0)) + x255.left(254),
       {kTooLong, kBackslash}},
      {"the cut never leaves half a surrogate pair", pairAtCut, QString(254, QLatin1Char('y')),
       {kTooLong}},
  };
  // clang-format on
  for (const Case& c : cases) {
    SCOPED_TRACE(c.why);
    WarningCapture warnings;
    Idle service(c.name);
    EXPECT_EQ(service.serviceName(), c.expected);
    EXPECT_EQ(warnings.messages(), c.warnings);
  }
}

TEST(ServiceInstance, NamesTheLiveServiceOnlyWhileItExists) {
  EXPECT_EQ(QtServiceBase::instance(), nullptr);
  {
    Idle service("one");
    EXPECT_EQ(QtServiceBase::instance(), &service);
  }
  EXPECT_EQ(QtServiceBase::instance(), nullptr) << "a later service must be able to exist";
  Idle again("two");
  EXPECT_EQ(QtServiceBase::instance(), &again);
}

}  // namespace

}  // namespace Zarvo
