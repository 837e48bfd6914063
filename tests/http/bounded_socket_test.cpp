// The bounded socket against loopback peers that behave and peers that do not: every wait ends
// by its limit, and no shortfall is reported as success.
#include <arpa/inet.h>
#include <gtest/gtest.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <QElapsedTimer>
#include <atomic>
#include <ctime>
#include <functional>
#include <future>
#include <memory>
#include <thread>
#include <vector>

#include "http/BoundedSocket.h"
#include "tests/fakes/LoopbackSocket.h"
#include "tests/fakes/QtApp.h"
#include "tests/fakes/Signal.h"

namespace Zarvo {
namespace {

using namespace std::chrono_literals;
using Zarvo::BoundedSocket;

// A loopback listener whose accepted descriptor the test drives by hand.
class Peer {
 public:
  Peer() { listenFd_ = testing_net::listenOnLoopback(4, port_); }
  ~Peer() {
    if (fd_ >= 0) ::close(fd_);
    ::close(listenFd_);
  }
  quint16 port() const { return port_; }
  int accept() { return fd_ = testing_net::acceptWithin(listenFd_, 10000); }
  int fd() const { return fd_; }

 private:
  int listenFd_ = -1;
  int fd_ = -1;
  quint16 port_ = 0;
};

// Small kernel buffers on both ends, so a peer that reads nothing stalls a write soon.
void shrinkBuffers(BoundedSocket& s, Peer& peer) {
  const int small = 4096;
  ::setsockopt(peer.fd(), SOL_SOCKET, SO_RCVBUF, &small, sizeof small);
  s.socket().setSocketOption(QAbstractSocket::SendBufferSizeSocketOption, small);
}

class BoundedSocketTest : public ::testing::Test {
 protected:
  void SetUp() override { testing_qt::coreApp(); }
};

// A socket connected to a loopback peer whose end the test drives by hand.
class ConnectedSocketTest : public BoundedSocketTest {
 protected:
  void SetUp() override {
    BoundedSocketTest::SetUp();
    ASSERT_TRUE(s.connectTo(QStringLiteral("127.0.0.1"), peer.port(), 5s));
    ASSERT_GE(peer.accept(), 0);
  }

  Peer peer;
  BoundedSocket s;
};

TEST_F(ConnectedSocketTest, RoundTripWithAGracefulClose) {
  ASSERT_TRUE(s.writeAll("hello", 5s));
  char in[16] = {};
  ASSERT_EQ(::recv(peer.fd(), in, 5, MSG_WAITALL), 5);
  EXPECT_STREQ(in, "hello");
  ASSERT_EQ(::send(peer.fd(), "ok", 2, 0), 2);
  char out[16] = {};
  EXPECT_EQ(s.readSome(out, sizeof out, QDeadlineTimer(5000)), 2);
  EXPECT_STREQ(out, "ok");
  std::thread closer([&] {
    char drain[16];
    while (::recv(peer.fd(), drain, sizeof drain, 0) > 0) {
    }
    ::shutdown(peer.fd(), SHUT_RDWR);
  });
  EXPECT_TRUE(s.closeGracefully(5s));
  closer.join();
}

TEST_F(BoundedSocketTest, ConnectToAClosedPortFailsWithinTheLimit) {
  quint16 port = 0;
  {
    Peer gone;
    port = gone.port();
  }  // closed again: nothing listens there now
  BoundedSocket s;
  QElapsedTimer timer;
  timer.start();
  EXPECT_FALSE(s.connectTo(QStringLiteral("127.0.0.1"), port, 5s));
  EXPECT_LT(timer.elapsed(), 5000);
  EXPECT_FALSE(s.isConnected());
}

TEST_F(ConnectedSocketTest, ReadOfASilentPeerEndsAtTheDeadlineAndOfAClosedOneAtOnce) {
  char buffer[8];
  QElapsedTimer timer;
  timer.start();
  EXPECT_EQ(s.readSome(buffer, sizeof buffer, QDeadlineTimer(100)), 0);
  EXPECT_GE(timer.elapsed(), 90);
  ::shutdown(peer.fd(), SHUT_RDWR);
  timer.restart();
  EXPECT_EQ(s.readSome(buffer, sizeof buffer, QDeadlineTimer(10000)), 0);
  EXPECT_LT(timer.elapsed(), 5000);
}

// A peer that takes nothing: the write must give up after the stall limit and say so, not
// report the queued bytes as sent.
TEST_F(ConnectedSocketTest, WriteToAPeerThatReadsNothingFailsAfterTheStallLimit) {
  shrinkBuffers(s, peer);
  const QByteArray big(32 * 1024 * 1024, 'x');  // far beyond both kernel buffers
  QElapsedTimer timer;
  timer.start();
  EXPECT_FALSE(s.writeAll(big, 200ms));
  EXPECT_LT(timer.elapsed(), 10000);
}

// A slow but steady reader keeps a write alive past one stall limit: the limit is per wait
// without progress, not for the whole payload.
TEST_F(ConnectedSocketTest, SlowReaderMakingProgressKeepsTheWriteAlive) {
  const QByteArray payload(32 * 1024 * 1024, 'y');
  std::atomic<qint64> received{0};
  testing_sync::Signal pace;  // nothing raises it: the pause between the reader's reads
  std::thread reader([&] {
    std::vector<char> chunk(256 * 1024);
    qint64 sincePause = 0;
    while (received < payload.size()) {
      const ssize_t n = ::recv(peer.fd(), chunk.data(), chunk.size(), 0);
      if (n <= 0) break;
      received += n;
      sincePause += n;
      if (sincePause >= 4 * 1024 * 1024) {  // eight pauses, each shorter than the stall limit
        sincePause = 0;
        (void)pace.wait(1, 100ms);
      }
    }
  });
  QElapsedTimer timer;
  timer.start();
  EXPECT_TRUE(s.writeAll(payload, 400ms));
  reader.join();
  EXPECT_EQ(received, payload.size());
  EXPECT_GT(timer.elapsed(), 400) << "the write never outlasted one stall limit: test too weak";
}

TEST_F(ConnectedSocketTest, TotalDeadlineCapsAWriteThatStillMakesProgress) {
  shrinkBuffers(s, peer);
  testing_sync::Signal stop;  // also the reader's pace: 1 KiB every 5 ms
  std::thread reader([&] {
    char chunk[1024];
    while (!stop.wait(1, 5ms)) {
      if (::recv(peer.fd(), chunk, sizeof chunk, MSG_DONTWAIT) == 0) break;
    }
  });
  QElapsedTimer timer;
  timer.start();
  EXPECT_FALSE(s.writeAll(QByteArray(64 * 1024 * 1024, 'z'), 5s, QDeadlineTimer(300)));
  EXPECT_LT(timer.elapsed(), 5000);
  stop.raise();
  reader.join();
}

TEST_F(ConnectedSocketTest, WaitForPeerCloseDropsLateBytesAndEndsAtTheDeadline) {
  ASSERT_EQ(::send(peer.fd(), "late", 4, 0), 4);
  QElapsedTimer timer;
  timer.start();
  EXPECT_FALSE(s.waitForPeerClose(QDeadlineTimer(150))) << "the peer never closed";
  EXPECT_GE(timer.elapsed(), 140);
  EXPECT_FALSE(s.isConnected());
}

// A peer that sent more than the socket's read buffer takes, then closed (a 400 for a body we
// never read, say): the close wait drops the bytes, sees the close queued behind them, and
// costs next to no CPU. Qt's own wait found the full buffer's descriptor readable again and
// again and spun for ever, past every deadline.
TEST_F(BoundedSocketTest, CloseWaitBehindUnreadBytesSeesThePeersCloseWithoutSpinning) {
  Peer peer;
  const int client = ::socket(AF_INET, SOCK_STREAM, 0);
  sockaddr_in address{};
  address.sin_family = AF_INET;
  address.sin_port = htons(peer.port());
  address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  ASSERT_EQ(::connect(client, reinterpret_cast<sockaddr*>(&address), sizeof address), 0);
  const int fd = peer.accept();
  ASSERT_GE(fd, 0);
  struct Outcome {
    bool closed = false;
    qint64 ms = 0;
    double cpuSeconds = 0;
  };
  // The socket lives on the waiting thread; should the wait never end, that thread is left
  // behind with everything it uses, and the test fails instead of hanging.
  auto outcome = std::make_shared<std::promise<Outcome>>();
  auto sent = std::make_shared<std::promise<void>>();
  std::thread waiter([outcome, sent, fd = ::dup(fd)] {
    BoundedSocket server;
    if (!server.adopt(fd)) return outcome->set_value({});
    server.socket().setReadBufferSize(64 * 1024);  // as the listener's connections have it
    sent->get_future().wait();
    const auto cpu = [] {
      timespec t{};
      ::clock_gettime(CLOCK_THREAD_CPUTIME_ID, &t);
      return double(t.tv_sec) + double(t.tv_nsec) / 1e9;
    };
    QElapsedTimer timer;
    timer.start();
    const double before = cpu();
    const bool closed = server.waitForPeerClose(QDeadlineTimer(5000));
    outcome->set_value({closed, timer.elapsed(), cpu() - before});
  });
  const QByteArray extra(200 * 1024, 'A');
  ASSERT_EQ(::send(client, extra.constData(), size_t(extra.size()), 0), ssize_t(extra.size()));
  ::close(client);
  sent->set_value();
  auto result = outcome->get_future();
  if (result.wait_for(10s) != std::future_status::ready) {
    waiter.detach();
    FAIL() << "the close wait did not end within twice its deadline";
  }
  waiter.join();
  const Outcome o = result.get();
  EXPECT_TRUE(o.closed);
  EXPECT_LT(o.ms, 2000) << "the peer's close is seen as soon as the bytes before it are dropped";
  EXPECT_LT(o.cpuSeconds, 0.5);
}

TEST_F(BoundedSocketTest, AdoptTakesAnAcceptedDescriptorAndRefusesAnInvalidOne) {
  Peer peer;
  BoundedSocket client;
  ASSERT_TRUE(client.connectTo(QStringLiteral("127.0.0.1"), peer.port(), 5s));
  const int fd = peer.accept();
  ASSERT_GE(fd, 0);
  BoundedSocket server;
  ASSERT_TRUE(server.adopt(::dup(fd)));
  ASSERT_TRUE(client.writeAll("ping", 5s));
  char buffer[8] = {};
  EXPECT_EQ(server.readSome(buffer, sizeof buffer, QDeadlineTimer(5000)), 4);
  BoundedSocket bad;
  EXPECT_FALSE(bad.adopt(-1));
}

// The half-close: the peer sees the end of our stream, yet what it sends afterwards is neither
// answered with a reset (which would drop bytes it has not read yet) nor mistaken for an error.
TEST_F(ConnectedSocketTest, ShutdownWriteEndsOurStreamAndStillWaitsForThePeersClose) {
  ASSERT_TRUE(s.writeAll("file", 5s));
  ASSERT_TRUE(s.shutdownWrite());
  char in[16] = {};
  ASSERT_EQ(::recv(peer.fd(), in, sizeof in, MSG_WAITALL), 4) << "all bytes, then end of stream";
  EXPECT_STREQ(in, "file");
  // The peer answers after our end of stream, then closes: a connection closed by us at this
  // point would have answered the status with a reset.
  ASSERT_EQ(::send(peer.fd(), "status", 6, MSG_NOSIGNAL), 6);
  ::shutdown(peer.fd(), SHUT_RDWR);
  QElapsedTimer timer;
  timer.start();
  EXPECT_TRUE(s.waitForPeerClose(QDeadlineTimer(5000)));
  EXPECT_LT(timer.elapsed(), 5000);
  EXPECT_FALSE(s.isConnected());
}

TEST_F(ConnectedSocketTest, ShutdownWriteRefusesWhenItWouldCutQueuedBytesOrThereIsNoConnection) {
  BoundedSocket unconnected;
  EXPECT_FALSE(unconnected.shutdownWrite()) << "no connection";
  shrinkBuffers(s, peer);
  ASSERT_FALSE(s.writeAll(QByteArray(8 * 1024 * 1024, 'x'), 100ms)) << "the peer reads nothing";
  EXPECT_FALSE(s.shutdownWrite())
      << "bytes still queued: the peer would read a cut stream as whole";
}

// interrupt() from another thread while the owner waits: each kind of wait ends at once rather
// than at its limit, and says it failed.
TEST_F(BoundedSocketTest, InterruptFromAnotherThreadEndsEveryKindOfWait) {
  struct Case {
    const char* why;
    std::function<bool(BoundedSocket&, Peer&)> wait;  // true when the wait reported success
  };
  const Case kCases[] = {
      {"a read from a silent peer",
       [](BoundedSocket& s, Peer&) {
         char buffer[8];
         return s.readSome(buffer, sizeof buffer, QDeadlineTimer(20000)) > 0;
       }},
      {"a write to a peer that reads nothing",
       [](BoundedSocket& s, Peer& peer) {
         shrinkBuffers(s, peer);
         return s.writeAll(QByteArray(32 * 1024 * 1024, 'x'), 20s);
       }},
      {"the wait for a peer that never closes, after our half-close",
       [](BoundedSocket& s, Peer&) {
         return s.shutdownWrite() && s.waitForPeerClose(QDeadlineTimer(20000));
       }},
  };
  for (const Case& c : kCases) {
    SCOPED_TRACE(c.why);
    Peer peer;
    BoundedSocket s(BoundedSocket::Interrupt::kFromAnyThread);
    ASSERT_TRUE(s.connectTo(QStringLiteral("127.0.0.1"), peer.port(), 5s));
    ASSERT_GE(peer.accept(), 0);
    // Set off as the wait begins, so the interrupt finds it under way.
    testing_sync::Signal waiting;
    std::thread stopper([&] {
      (void)waiting.wait();
      s.interrupt();
    });
    QElapsedTimer timer;
    timer.start();
    waiting.raise();
    EXPECT_FALSE(c.wait(s, peer));
    EXPECT_LT(timer.elapsed(), 5000) << "well before the 20 s limit";
    stopper.join();
    char buffer[8];
    EXPECT_EQ(s.readSome(buffer, sizeof buffer, QDeadlineTimer(20000)), 0) << "and stays cut";
    EXPECT_LT(timer.elapsed(), 5000);
  }
}

TEST_F(BoundedSocketTest, AnInterruptBeforeTheConnectKeepsItFromConnecting) {
  for (const auto interrupt :
       {BoundedSocket::Interrupt::kNo, BoundedSocket::Interrupt::kFromAnyThread}) {
    Peer peer;
    BoundedSocket s(interrupt);
    s.interrupt();
    EXPECT_FALSE(s.connectTo(QStringLiteral("127.0.0.1"), peer.port(), 5s));
    EXPECT_FALSE(s.isConnected());
    EXPECT_FALSE(s.writeAll("x", 1s));
  }
}

// The duplicate that interrupt() works through must not keep the connection open past the
// socket's own end: the peer sees the close of an interruptible socket as of any other.
TEST_F(BoundedSocketTest, AnInterruptibleSocketStillClosesItsConnection) {
  const std::function<void(BoundedSocket&)> kEnds[] = {
      [](BoundedSocket& s) { s.abort(); },
      [](BoundedSocket& s) { (void)s.closeGracefully(100ms); },
  };
  for (const auto& end : kEnds) {
    Peer peer;
    BoundedSocket s(BoundedSocket::Interrupt::kFromAnyThread);
    ASSERT_TRUE(s.connectTo(QStringLiteral("127.0.0.1"), peer.port(), 5s));
    ASSERT_GE(peer.accept(), 0);
    end(s);
    pollfd p{peer.fd(), POLLIN, 0};
    ASSERT_EQ(::poll(&p, 1, 5000), 1) << "the peer sees the close";
    char c;
    EXPECT_LE(::recv(peer.fd(), &c, 1, 0), 0);
  }
}

}  // namespace

}  // namespace Zarvo
