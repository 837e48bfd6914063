// The built executable run with "-exec" from a temporary directory that holds it and its
// configuration: what a peer sees over loopback, and the orderly end on a signal.
#include <gtest/gtest.h>

#include <QProcessEnvironment>
#include <QRegularExpression>
#include <QTemporaryDir>
#include <csignal>
#include <future>
#include <vector>

#include "framework/Packet.h"
#include "tests/fakes/HttpProbe.h"
#include "tests/fakes/RunningHost.h"

#ifdef ZARVO_EXECUTABLE

namespace Zarvo {
namespace {

using testing_http::Answer;
using testing_http::exchange;
using testing_http::post;

// The executable copied beside a configuration (by default one that lets the system choose the
// port), started.
class RunningHost : public testing_exe::RunningHost {
 public:
  explicit RunningHost(const QByteArray& config =
                           "<ApplicationConfig><Name>t</Name>"
                           "</ApplicationConfig>")
      : testing_exe::RunningHost(ZARVO_EXECUTABLE, config) {
    (void)start();
  }
};

std::unique_ptr<Zarvo::ResponsePacket> responseOf(const Answer& a) {
  auto r = std::make_unique<Zarvo::ResponsePacket>();
  r->fromByteArray(a.body);
  return r;
}

TEST(Executable, AnswersOverLoopbackAndKeepsAnsweringAfterHostileHeads) {
  RunningHost host;
  ASSERT_NE(host.port(), 0) << host.output().toStdString();

  // The kinds of bad head are the in-process host's table; here the real program's answers.
  Answer a = exchange(host.port(), "POST /DSMGetFileList HTTP/1.1\r\n\r\n");
  EXPECT_EQ(a.head, "HTTP/1.1 400 Bad request\r\n\r\n");

  a = exchange(host.port(), post("/NoSuchCommand", "<OrxRequest command=\"NoSuchCommand\"/>"));
  ASSERT_TRUE(a.ok);
  EXPECT_EQ(a.status(), 200);
  EXPECT_EQ(responseOf(a)->result(), 2);
  EXPECT_EQ(responseOf(a)->details(), "Can't handle command: NoSuchCommand");

  const QByteArray hugeLine = "GET /" + QByteArray(1024 * 1024, 'a');
  a = exchange(host.port(), hugeLine);
  EXPECT_EQ(a.head, "HTTP/1.1 400 Bad request\r\n\r\n");

  a = exchange(host.port(), post("/Other", "<OrxRequest/>"));
  EXPECT_EQ(a.status(), 200) << "the process must keep answering\n" << host.output().toStdString();
}

TEST(Executable, TwoHundredConcurrentRequestsAreAllAnswered) {
  RunningHost host;
  ASSERT_NE(host.port(), 0);
  std::vector<std::future<bool>> clients;
  for (int i = 0; i < 200; ++i) {
    clients.push_back(std::async(std::launch::async, [&] {
      const Answer a = exchange(host.port(), post("/Ping", "<OrxRequest/>"), 30000);
      return a.ok && a.status() == 200;
    }));
  }
  int answered = 0;
  for (auto& c : clients) answered += c.get() ? 1 : 0;
  EXPECT_EQ(answered, 200);
}

TEST(Executable, SignalsEndTheRunInOrderWithExitCode0) {
#if defined(__SANITIZE_THREAD__)
  // Under the sanitizer's runtime a stop signal sent just after start is missed now and then
  // (about one CI run in four); unexplained yet. Checked in the normal and ASan builds.
  GTEST_SKIP() << "not reliable under ThreadSanitizer";
#endif
  for (int sig : {SIGTERM, SIGINT}) {
    SCOPED_TRACE(sig);
    RunningHost host;
    ASSERT_NE(host.port(), 0);
    ::kill(pid_t(host.process().processId()), sig);
    ASSERT_TRUE(host.process().waitForFinished(15000));
    EXPECT_EQ(host.process().exitStatus(), QProcess::NormalExit);
    EXPECT_EQ(host.process().exitCode(), 0) << host.output().toStdString();
  }
}

// The signal mask is inherited across exec: a process started by a parent that had SIGTERM
// blocked must still stop on it.
TEST(Executable, SigtermStopsTheRunAlsoWhenTheParentHadItBlocked) {
#if defined(__SANITIZE_THREAD__)
  // The sanitizer's runtime defers signals of its own; a host started blocked still missed the
  // stop now and then under it (1 run in 9), unexplained yet. Checked in the other builds.
  GTEST_SKIP() << "not reliable under ThreadSanitizer";
#endif
  sigset_t term, old;
  sigemptyset(&term);
  sigaddset(&term, SIGTERM);
  ASSERT_EQ(::pthread_sigmask(SIG_BLOCK, &term, &old), 0);
  RunningHost host;  // started from this thread, so with SIGTERM blocked
  ::pthread_sigmask(SIG_SETMASK, &old, nullptr);
  ASSERT_NE(host.port(), 0);
  ::kill(pid_t(host.process().processId()), SIGTERM);
  ASSERT_TRUE(host.process().waitForFinished(15000)) << "the stop request stayed pending";
  EXPECT_EQ(host.process().exitCode(), 0) << host.output().toStdString();
}

TEST(Executable, CloseApplicationAnswersOkThenEndsTheProcess) {
  RunningHost host;
  ASSERT_NE(host.port(), 0);
  Answer a = exchange(host.port(), post("/MGMTCloseApplication", "<OrxRequest command="));
  ASSERT_TRUE(a.ok);
  EXPECT_EQ(responseOf(a)->result(), 3);
  EXPECT_TRUE(responseOf(a)->details().startsWith("Wrong request format: line:1-"))
      << responseOf(a)->details().toStdString();
  EXPECT_EQ(host.process().state(), QProcess::Running);

  a = exchange(host.port(), post("/MGMTCloseApplication",
                                 "<?xml version=\"1.0\" encoding=\"UTF-8\"?>"
                                 "<OrxRequest command=\"MGMTCloseApplication\"/>"));
  ASSERT_TRUE(a.ok);
  EXPECT_EQ(a.status(), 200);
  EXPECT_EQ(a.body,
            "<?xml version=\"1.0\" encoding=\"UTF-8\"?><OrxResponse>\n\t<Result>0"
            "</Result>\n\t<Details>OK</Details>\n</OrxResponse>\n");
  ASSERT_TRUE(host.process().waitForFinished(15000));
  EXPECT_EQ(host.process().exitStatus(), QProcess::NormalExit);
  EXPECT_EQ(host.process().exitCode(), 0) << host.output().toStdString();
}

TEST(Executable, EveryLogLineStartsWithTheTime) {
  RunningHost host;
  ASSERT_NE(host.port(), 0);
  const QList<QByteArray> lines = host.output().trimmed().split('\n');
  ASSERT_GE(lines.size(), 2);
  static const QRegularExpression stamp("^\\d\\d:\\d\\d:\\d\\d ");
  for (const QByteArray& line : lines) EXPECT_TRUE(stamp.match(line).hasMatch()) << line.data();
}

TEST(Executable, AServiceUrlWithoutPortMeansPort80) {
  RunningHost host("<c><ServiceURL>http://127.0.0.1/</ServiceURL></c>");
  for (int i = 0; i < 100 && !host.output().contains("port: 80"); ++i) {
    host.process().waitForReadyRead(50);
  }
  // Listening or, when something else holds port 80, failing to: either way on port 80.
  EXPECT_TRUE(host.output().contains("Listening incomming requests on port: 80\n") ||
              host.output().contains("Error listening port: 80\n"))
      << host.output().toStdString();
}

TEST(Executable, SystemdsFoldersHoldTheConfigurationAndTheStoreInsteadOfTheExecutables) {
  // Beside the executable a file that would be reported unreadable, were it read.
  testing_exe::RunningHost host(ZARVO_EXECUTABLE, "<broken");
  QTemporaryDir etc, state;
  ASSERT_TRUE(etc.isValid() && state.isValid());
  QFile cfg(etc.filePath("ZarvoPluginDSM.cfg"));
  ASSERT_TRUE(cfg.open(QIODevice::WriteOnly));
  cfg.write("<ApplicationConfig><Name>t</Name></ApplicationConfig>");
  cfg.close();
  QProcessEnvironment env = QProcessEnvironment::systemEnvironment();
  env.insert("CONFIGURATION_DIRECTORY", etc.path());
  env.insert("STATE_DIRECTORY", state.path());
  host.process().setProcessEnvironment(env);
  ASSERT_TRUE(host.start()) << host.output().toStdString();
  EXPECT_FALSE(host.output().contains("Configuration not read")) << host.output().toStdString();
  EXPECT_TRUE(QDir(state.path()).exists("Files")) << "the store is kept in the state folder";
  EXPECT_FALSE(host.dir().exists("Files")) << "nothing is written beside the executable";
}

TEST(Executable, WithoutSystemdsFoldersEverythingStaysBesideTheExecutable) {
  testing_exe::RunningHost host(ZARVO_EXECUTABLE, "<broken");
  QProcessEnvironment env = QProcessEnvironment::systemEnvironment();
  env.remove("CONFIGURATION_DIRECTORY");
  env.remove("STATE_DIRECTORY");
  host.process().setProcessEnvironment(env);
  ASSERT_TRUE(host.start()) << host.output().toStdString();
  EXPECT_TRUE(host.output().contains("Configuration not read")) << host.output().toStdString();
  EXPECT_TRUE(host.dir().exists("Files"));
}

}  // namespace

}  // namespace Zarvo

#endif
