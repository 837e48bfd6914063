// The built executable under pressure, each case in a process of its own (limits set on the child
// only): a port it cannot have, a descriptor limit far below its connections, and requests
// whose bodies are megabytes.
#include <arpa/inet.h>
#include <gtest/gtest.h>
#include <netinet/in.h>
#include <sys/resource.h>
#include <sys/socket.h>
#include <unistd.h>

#include <QCoreApplication>
#include <QElapsedTimer>
#include <QFile>
#include <QRegularExpression>
#include <QThread>
#include <future>
#include <vector>

#include "tests/fakes/HttpProbe.h"
#include "tests/fakes/LoopbackSocket.h"
#include "tests/fakes/QtApp.h"
#include "tests/fakes/RunningHost.h"

#ifdef ZARVO_EXECUTABLE

namespace Zarvo {
namespace {

using testing_exe::RunningHost;

// Under a sanitizer the process's memory says nothing of the program's own: freed blocks wait in
// a quarantine and every byte has a shadow.
#if defined(__SANITIZE_ADDRESS__) || defined(__SANITIZE_THREAD__)
constexpr bool kMemoryMeasurable = false;
#else
constexpr bool kMemoryMeasurable = true;
#endif
using testing_http::exchange;
using testing_http::post;

// A value of /proc/<pid>/status ("VmRSS", "VmHWM" in kB, "Threads"); -1 when absent.
long statusKb(qint64 pid, const char* key) {
  QFile status(QStringLiteral("/proc/%1/status").arg(pid));
  if (!status.open(QIODevice::ReadOnly)) return -1;
  const QRegularExpression line(QStringLiteral("^%1:\\s+(\\d+)").arg(QLatin1String(key)),
                                QRegularExpression::MultilineOption);
  const auto m = line.match(QString::fromLatin1(status.readAll()));
  return m.hasMatch() ? m.captured(1).toLong() : -1;
}

// A blocking loopback connection, closed by its destructor.
struct Connection {
  explicit Connection(quint16 port) : fd(::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0)) {
    sockaddr_in a{};
    a.sin_family = AF_INET;
    a.sin_port = htons(port);
    a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    connected = ::connect(fd, reinterpret_cast<sockaddr*>(&a), sizeof a) == 0;
  }
  ~Connection() { ::close(fd); }
  int fd;
  bool connected = false;
};

TEST(ExecutableLimits, APortInUseEndsTheStartWithAnExitCodeTheAddressAndTheReason) {
  quint16 takenPort = 0;
  const int taken = testing_net::listenOnLoopback(1, takenPort);
  ASSERT_GE(taken, 0);
  const QByteArray port = QByteArray::number(takenPort);

  RunningHost host(ZARVO_EXECUTABLE,
                   "<c><ServiceURL>http://127.0.0.1:" + port + "/</ServiceURL></c>");
  host.process().start();
  ASSERT_TRUE(host.process().waitForFinished(20000));
  ::close(taken);
  const QByteArray log = host.output();
  EXPECT_EQ(host.process().exitStatus(), QProcess::NormalExit);
  EXPECT_EQ(host.process().exitCode(), 1) << "a service that cannot listen did not start";
  EXPECT_TRUE(log.contains("Error listening port: " + port)) << log.toStdString();
  EXPECT_TRUE(log.contains("Cannot listen on 127.0.0.1:" + port + ": ")) << log.toStdString();
}

// Far more connections than descriptors: each that cannot be accepted is closed with an "err"
// line; the process lives on and answers once they are gone. Qt aborted the process when a
// connection's thread could not get the descriptor of its event dispatcher.
TEST(ExecutableLimits, RunningOutOfDescriptorsClosesConnectionsInsteadOfEndingTheProcess) {
#if defined(__SANITIZE_ADDRESS__) || defined(__SANITIZE_THREAD__)
  // The sanitizers' runtime needs descriptors of its own (the type check reads memory through a
  // pipe): out of them, it reports sound objects as broken and ends the process.
  GTEST_SKIP() << "the sanitizers' runtime cannot run without descriptors";
#endif
  // Every run must survive and serve again. The "err" line of a refused accept is missing from
  // about one run in ten on a loaded machine (why is not known yet), so up to three runs are
  // made and one of them must show it.
  bool reported = false;
  for (int run = 0; run < 3 && !reported; ++run) {
    SCOPED_TRACE(run);
    RunningHost host(ZARVO_EXECUTABLE, "<c><MaxConnections>1000</MaxConnections></c>");
    host.process().setChildProcessModifier([] {
      const rlimit few{64, 64};
      ::setrlimit(RLIMIT_NOFILE, &few);
    });
    ASSERT_TRUE(host.start()) << host.output().toStdString();
    {
      std::vector<std::unique_ptr<Connection>> stalled;
      for (int i = 0; i < 120; ++i) {
        stalled.push_back(std::make_unique<Connection>(host.port()));
        ASSERT_TRUE(stalled.back()->connected);
      }
      QElapsedTimer timer;
      timer.start();
      while (!host.output().contains("Error accepting a connection") && timer.elapsed() < 10000) {
        host.process().waitForReadyRead(50);
      }
      ASSERT_EQ(host.process().state(), QProcess::Running) << host.output().toStdString();
    }
    // The connections it took end as their peers go; then it serves again.
    testing_http::Answer a;
    QElapsedTimer timer;
    timer.start();
    do {
      a = exchange(host.port(), post("/NoSuchCommand", "<OrxRequest/>"), 3000);
    } while (!a.ok && timer.elapsed() < 15000);
    EXPECT_EQ(a.status(), 200) << host.output().toStdString();
    EXPECT_EQ(host.process().state(), QProcess::Running);
    reported = host.output().contains("Error accepting a connection");
  }
  EXPECT_TRUE(reported) << "no run reported a connection it could not accept";
}

// Hundreds of stalled connections, each with a thread of its own: once they are gone the
// process's memory is back within 20% of what it was (a few threads stay for the next ones).
// The first burst is a warm-up: what it leaves (the C library's cache of thread stacks, bounded,
// and its heaps) serves every later one. Each burst used to leave the threads' allocator arenas
// behind on top of that.
TEST(ExecutableLimits, StalledConnectionsGiveTheirMemoryBackWhenTheyEnd) {
  if (!kMemoryMeasurable) GTEST_SKIP() << "memory is not the program's own under a sanitizer";
  RunningHost host(ZARVO_EXECUTABLE, "<c/>");
  ASSERT_TRUE(host.start()) << host.output().toStdString();
  const qint64 pid = host.process().processId();
  const auto burst = [&](int n) {
    std::vector<std::unique_ptr<Connection>> stalled;
    for (int i = 0; i < n; ++i) {
      stalled.push_back(std::make_unique<Connection>(host.port()));
      (void)::send(stalled.back()->fd, "POST /x HTTP/1.1\r\n", 18, MSG_NOSIGNAL);
    }
    QElapsedTimer timer;
    timer.start();
    while (statusKb(pid, "Threads") < n && timer.elapsed() < 10000) QThread::msleep(20);
    EXPECT_GE(statusKb(pid, "Threads"), n);
  };
  const auto settled = [&] {
    // Every connection thread beyond those kept for the next connections has ended.
    QElapsedTimer timer;
    timer.start();
    while (statusKb(pid, "Threads") > 65 && timer.elapsed() < 10000) QThread::msleep(20);
    EXPECT_EQ(exchange(host.port(), post("/NoSuchCommand", "<OrxRequest/>")).status(), 200);
  };
  burst(400);
  settled();
  const long before = statusKb(pid, "VmRSS");
  burst(400);
  settled();
  const long after = statusKb(pid, "VmRSS");
  EXPECT_LT(double(after), 1.2 * double(before)) << before << " kB before, " << after << " after";
}

// A request whose one value is 16 MiB: the process's peak grows by less than 8 times the body,
// and the memory goes back once it is answered. It peaked at over 10 times (the name copied
// into paths it could never be) and kept some 30 MB afterwards.
TEST(ExecutableLimits, ALargeRequestCostsLessThanEightTimesItsBodyAndItsMemoryGoesBack) {
  if (!kMemoryMeasurable) GTEST_SKIP() << "memory is not the program's own under a sanitizer";
  RunningHost host(ZARVO_EXECUTABLE, "<c/>");
  ASSERT_TRUE(host.start()) << host.output().toStdString();
  const qint64 pid = host.process().processId();
  const QByteArray head =
      "<?xml version=\"1.0\" encoding=\"UTF-8\"?>"
      "<OrxRequest command=\"DSMServerDeleteFile\"><File><FileName>";
  const QByteArray tail = "</FileName></File></OrxRequest>";
  const QByteArray body =
      head + QByteArray(16 * 1024 * 1024 - head.size() - tail.size(), 'n') + tail;
  // Warm: the code paths of a request are paged in before the measure.
  ASSERT_EQ(exchange(host.port(), post("/DSMServerDeleteFile", head + "x" + tail)).status(), 200);
  const long before = statusKb(pid, "VmRSS");
  const testing_http::Answer a = exchange(host.port(), post("/DSMServerDeleteFile", body), 60000);
  ASSERT_EQ(a.status(), 200);
  const double factor = double(statusKb(pid, "VmHWM") - before) * 1024 / double(body.size());
  EXPECT_LT(factor, 8.0);
  RecordProperty("peak_factor", QByteArray::number(factor, 'f', 2).toStdString());
  const long after = statusKb(pid, "VmRSS");
  EXPECT_LT(double(after), 1.2 * double(before)) << before << " kB before, " << after << " after";
}

}  // namespace
}  // namespace Zarvo

#endif  // ZARVO_EXECUTABLE
