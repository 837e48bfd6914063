// Runs under a service manager, with systemd's side played by the test: the probe is started
// as systemd starts a notify service (NOTIFY_SOCKET, INVOCATION_ID, RUNTIME_DIRECTORY), the
// test reads its status reports, sends control requests over its socket and stops it with
// SIGTERM, as systemd does.
#include <gtest/gtest.h>
#include <poll.h>
#include <signal.h>
#include <sys/socket.h>
#include <sys/un.h>
#include <unistd.h>

#include <QDeadlineTimer>
#include <QFile>
#include <QProcess>
#include <QProcessEnvironment>
#include <QTemporaryDir>
#include <cstring>

#include "service/ControlSocket.h"
#include "service/ServiceManager.h"
#include "tests/fakes/Bytes.h"
#include "tests/fakes/QtApp.h"
#include "tests/service/FakeSystemctl.h"

using testing_bytes::hex;

namespace Zarvo {
namespace {

constexpr int kWaitMs = 30'000;  // generous: the machine is shared and may be loaded

// The manager's end of NOTIFY_SOCKET: a datagram socket that keeps every report.
class FakeNotifySocket {
 public:
  explicit FakeNotifySocket(const QString& path) : path_(path) {
    fd_ = ::socket(AF_UNIX, SOCK_DGRAM | SOCK_CLOEXEC, 0);
    sockaddr_un address{};
    address.sun_family = AF_UNIX;
    const QByteArray bytes = QFile::encodeName(path);
    std::memcpy(address.sun_path, bytes.constData(), size_t(bytes.size()));
    bound_ = fd_ >= 0 && ::bind(fd_, reinterpret_cast<sockaddr*>(&address), sizeof address) == 0;
  }
  ~FakeNotifySocket() {
    if (fd_ >= 0) ::close(fd_);
  }
  bool isBound() const { return bound_; }

  // Waits until a report containing `line` arrived; all reports so far stay in reports().
  bool waitFor(const QByteArray& line, int ms = kWaitMs) {
    const QDeadlineTimer deadline(ms);
    for (;;) {
      for (const QByteArray& r : reports_)
        if (r.split('\n').contains(line)) return true;
      pollfd p{fd_, POLLIN, 0};
      if (::poll(&p, 1, int(qMax<qint64>(0, deadline.remainingTime()))) <= 0) return false;
      char buf[4096];
      const ssize_t n = ::recv(fd_, buf, sizeof buf, 0);
      if (n > 0) reports_ << QByteArray(buf, int(n));
    }
  }
  const QByteArrayList& reports() const { return reports_; }

 private:
  QString path_;
  int fd_ = -1;
  bool bound_ = false;
  QByteArrayList reports_;
};

class ServiceRunTest : public testing::Test {
 protected:
  void SetUp() override {
    testing_qt::coreApp();
    ASSERT_TRUE(dir_.isValid());
    ASSERT_TRUE(notify_.isBound());
  }
  void TearDown() override {
    if (probe_.state() != QProcess::NotRunning) {
      probe_.kill();  // our own child, by its handle
      probe_.waitForFinished(kWaitMs);
    }
  }

  QString runtimeRoot() const { return dir_.filePath("run"); }
  QString socketPath() const { return controlSocketPath(runtimeRoot() + "/ZarvoPluginDSM"); }

  // Starts the probe as systemd would start the installed service: no arguments.
  void startAsService(const QString& mode, const QString& flags,
                      const QString& runtimeDirectory = QString()) {
    QProcessEnvironment env = QProcessEnvironment::systemEnvironment();
    env.insert("NOTIFY_SOCKET", dir_.filePath("notify"));
    env.insert("INVOCATION_ID", "0123456789abcdef0123456789abcdef");
    env.insert("RUNTIME_DIRECTORY",
               runtimeDirectory.isEmpty() ? runtimeRoot() + "/ZarvoPluginDSM" : runtimeDirectory);
    env.insert("PROBE_MODE", mode);
    env.insert("PROBE_FLAGS", flags);
    env.insert("PROBE_FAKE", "");  // the service itself never asks the manager anything
    env.remove("PROBE_NAME");
    probe_.setProcessEnvironment(env);
    probe_.start(SHELL_PROBE_PATH, {});
    ASSERT_TRUE(probe_.waitForStarted(kWaitMs));
  }

  // Waits until the probe's standard output has grown to hold `text`; returns what is new.
  QByteArray waitForOutput(const QByteArray& text) {
    const QDeadlineTimer deadline(kWaitMs);
    while (!out_.contains(text) && !deadline.hasExpired()) {
      if (probe_.state() == QProcess::NotRunning) {
        out_ += probe_.readAllStandardOutput();
        break;
      }
      probe_.waitForReadyRead(int(qMin<qint64>(deadline.remainingTime(), 200)));
      out_ += probe_.readAllStandardOutput();
    }
    return out_;
  }

  // Sends one control request and returns the service's answer.
  bool control(int code) {
    QString why;
    return sendControl(socketPath(), code, kWaitMs, &why);
  }

  // SIGTERM, as systemd stops a service; waits for the end.
  void terminate() {
    ASSERT_EQ(::kill(pid_t(probe_.processId()), SIGTERM), 0);
    ASSERT_TRUE(probe_.waitForFinished(kWaitMs));
    out_ += probe_.readAllStandardOutput();
  }

  QTemporaryDir dir_;
  FakeNotifySocket notify_{dir_.filePath("notify")};
  QProcess probe_;
  QByteArray out_;
};

TEST_F(ServiceRunTest, ControlRequestsBecomeEventsHandledOnTheMainThread) {
  startAsService("wait", "suspend");
  ASSERT_TRUE(notify_.waitFor("READY=1")) << "readiness is reported once start() has run";
  ASSERT_TRUE(waitForOutput("start:\n").endsWith("start:\n"));

  struct Step {
    const char* why;
    int code;
    bool accepted;
    QByteArray lines;  // what the service prints for it
  };
  const Step steps[] = {
      {"pause", kPauseControl, true, "event 1002\npause\n"},
      {"resume", kResumeControl, true, "event 1003\nresume\n"},
      {"user command 0", 128, true, "event 1128\ncommand 0\n"},
      {"the last user command", 255, true, "event 1255\ncommand 127\n"},
      {"stop comes only as the manager's signal", kStopControl, false, ""},
      {"interrogate is not a request here", 4, false, ""},
      {"below the user range", 127, false, ""},
      {"above the user range", 256, false, ""},
  };
  QByteArray expected = "start:\n";
  for (const Step& s : steps) {
    SCOPED_TRACE(s.why);
    EXPECT_EQ(control(s.code), s.accepted);
    expected += s.lines;
    // The answer comes after the main thread ran the operation, so its line is already there;
    // a refused request must have printed nothing (the next accepted step would show it).
    EXPECT_EQ(hex(waitForOutput(expected)), hex(expected));
  }
  EXPECT_TRUE(notify_.waitFor("STATUS=Paused"));

  terminate();
  EXPECT_EQ(probe_.exitStatus(), QProcess::NormalExit);
  EXPECT_EQ(probe_.exitCode(), 0);
  EXPECT_EQ(hex(out_), hex(expected + "event 1001\nstop\nloop ended 0\nsignals default\n"))
      << "the stop signal runs stop() on the main thread and then ends the loop; afterwards the "
         "signals have their default handlers again";
  EXPECT_TRUE(notify_.waitFor("STOPPING=1"));
  EXPECT_FALSE(QFile::exists(socketPath())) << "the control socket goes with the process";
}

TEST_F(ServiceRunTest, PauseAndResumeAreRefusedUnlessTheServiceCanBeSuspended) {
  startAsService("wait", "");
  ASSERT_TRUE(notify_.waitFor("READY=1"));
  EXPECT_FALSE(control(kPauseControl));
  EXPECT_FALSE(control(kResumeControl));
  EXPECT_TRUE(control(kUserControlBase + 9));
  EXPECT_EQ(hex(waitForOutput("command 9\n")), hex(QByteArray("start:\nevent 1137\ncommand 9\n")));
  terminate();
  EXPECT_EQ(probe_.exitCode(), 0);
}

TEST_F(ServiceRunTest, TheShellsOptionsReachTheRunningServiceThroughItsSocket) {
  startAsService("wait", "suspend");
  ASSERT_TRUE(notify_.waitFor("READY=1"));
  FakeSystemctl systemctl;
  ASSERT_TRUE(systemctl.isValid());
  systemctl.set("ActiveState", "active\n");

  // The control tool: the same probe with options, its systemd paths pointed at the test's.
  const auto tool = [&](const QStringList& args) {
    QProcess p;
    QProcessEnvironment env = QProcessEnvironment::systemEnvironment();
    env.remove("NOTIFY_SOCKET");
    env.remove("INVOCATION_ID");
    env.insert("PROBE_SYSTEMCTL", systemctl.program());
    env.insert("PROBE_UNIT_DIR", dir_.filePath("units"));
    env.insert("PROBE_RUNTIME_ROOT", runtimeRoot());
    p.setProcessEnvironment(env);
    p.start(SHELL_PROBE_PATH, args);
    EXPECT_TRUE(p.waitForFinished(kWaitMs));
    EXPECT_EQ(p.exitCode(), 0);
    EXPECT_EQ(hex(p.readAllStandardError()), "");
  };
  tool({"-pause"});
  tool({"-resume"});
  tool({"-command", "42"});
  tool({"-c", "500"});  // out of range: nothing reaches the service
  EXPECT_EQ(
      hex(waitForOutput("command 42\n")),
      hex(QByteArray("start:\nevent 1002\npause\nevent 1003\nresume\nevent 1170\ncommand 42\n")));
  terminate();
  EXPECT_EQ(hex(out_).find("command 500"), std::string::npos);
}

TEST_F(ServiceRunTest, ALoopThatEndsInStartIsNeverReportedReady) {
  // As a host that cannot listen: start() ends the loop, so systemd must see a failed start.
  startAsService("exit:3", "");
  ASSERT_TRUE(probe_.waitForFinished(kWaitMs));
  EXPECT_EQ(probe_.exitCode(), 3) << "the loop's result is what systemd records";
  EXPECT_EQ(hex(probe_.readAllStandardOutput()), hex(QByteArray("start:\nloop ended 3\n")));
  EXPECT_TRUE(notify_.waitFor("STOPPING=1"));
  for (const QByteArray& report : notify_.reports())
    EXPECT_FALSE(report.split('\n').contains("READY=1")) << report.toStdString();
  EXPECT_FALSE(QFile::exists(socketPath())) << "the control socket goes with the process";
}

TEST_F(ServiceRunTest, WithoutAControlSocketTheServiceDoesNotStart) {
  QFile blocker(dir_.filePath("file"));
  ASSERT_TRUE(blocker.open(QIODevice::WriteOnly));
  startAsService("quit", "", dir_.filePath("file/ZarvoPluginDSM"));  // below a plain file
  ASSERT_TRUE(probe_.waitForFinished(kWaitMs));
  EXPECT_EQ(probe_.exitCode(), 252) << "-4, as any start that fails";
  EXPECT_EQ(hex(probe_.readAllStandardOutput()), "") << "start() must not have run";
  EXPECT_EQ(hex(probe_.readAllStandardError()),
            hex(QByteArray("The service ZarvoPluginDSM could not start\n")));
}

// The host executable itself, as systemd runs it: ready once it listens, and SIGTERM ends it
// through the application's orderly stop with exit code 0.
TEST_F(ServiceRunTest, TheHostReportsReadyAfterListeningAndStopsInOrderOnTheSignal) {
  // A copy beside a configuration without a port: the system chooses one, nothing collides.
  const QString host = dir_.filePath("ZarvoPluginDSM");
  ASSERT_TRUE(QFile::copy(ZARVO_EXECUTABLE_PATH, host));
  QFile config(dir_.filePath("ZarvoPluginDSM.cfg"));
  ASSERT_TRUE(config.open(QIODevice::WriteOnly));
  config.write("<?xml version=\"1.0\"?><ApplicationConfig><Name>t</Name></ApplicationConfig>\n");
  config.close();

  QProcessEnvironment env = QProcessEnvironment::systemEnvironment();
  env.insert("NOTIFY_SOCKET", dir_.filePath("notify"));
  env.insert("INVOCATION_ID", "0123456789abcdef0123456789abcdef");
  env.insert("RUNTIME_DIRECTORY", runtimeRoot() + "/ZarvoPluginDSM");
  probe_.setProcessEnvironment(env);
  probe_.start(host, {});
  ASSERT_TRUE(probe_.waitForStarted(kWaitMs));
  ASSERT_TRUE(notify_.waitFor("READY=1"));
  EXPECT_TRUE(waitForOutput("Listening incomming requests on port: ").contains("Listening"))
      << "ready means listening";

  terminate();
  EXPECT_EQ(probe_.exitStatus(), QProcess::NormalExit);
  EXPECT_EQ(probe_.exitCode(), 0);
  EXPECT_TRUE(notify_.waitFor("STOPPING=1"));
  EXPECT_FALSE(QFile::exists(socketPath()));
}

}  // namespace

}  // namespace Zarvo
