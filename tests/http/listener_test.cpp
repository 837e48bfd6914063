// The listener's bounds, against loopback clients: connections in progress, a connection that
// gets no thread, and the request bodies held at once. The dispatcher and the thread starter are
// the test's own, so each case sets the bounds it needs.
#include "http/Listener.h"

#include <arpa/inet.h>
#include <gtest/gtest.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <QElapsedTimer>
#include <QTcpServer>
#include <atomic>
#include <condition_variable>
#include <functional>
#include <memory>
#include <mutex>
#include <thread>
#include <vector>

#include "tests/fakes/QtApp.h"

namespace Zarvo {
namespace {

using namespace std::chrono_literals;

// Answers every request with "ok"; a request whose body is "hold" waits until released.
class Dispatcher : public RequestDispatcher {
 public:
  QByteArray answerRequest(const QString&, const QByteArray& body, const QHostAddress&) override {
    std::unique_lock<std::mutex> lock(mutex_);
    ++reached_;
    changed_.notify_all();
    if (body.startsWith("hold")) changed_.wait_for(lock, 10s, [&] { return released_; });
    return "ok";
  }
  void release() {
    std::lock_guard<std::mutex> lock(mutex_);
    released_ = true;
    changed_.notify_all();
  }
  int reached() {
    std::lock_guard<std::mutex> lock(mutex_);
    return reached_;
  }

 private:
  std::mutex mutex_;
  std::condition_variable changed_;
  int reached_ = 0;
  bool released_ = false;
};

// Starts each connection on a thread of its own, joined at the end; refuses the first
// `refusals` connections.
class Threads {
 public:
  ~Threads() {
    for (std::thread& t : threads_) t.join();
  }
  ConnectionStarter starter() {
    return [this](std::function<void()> serve, uint) {
      if (refusals_ > 0) {
        --refusals_;
        return false;
      }
      threads_.emplace_back(std::move(serve));
      return true;
    };
  }
  int refusals_ = 0;

 private:
  std::vector<std::thread> threads_;
};

// A blocking loopback client.
class Client {
 public:
  explicit Client(quint16 port) : fd_(::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0)) {
    sockaddr_in a{};
    a.sin_family = AF_INET;
    a.sin_port = htons(port);
    a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    connected_ = ::connect(fd_, reinterpret_cast<sockaddr*>(&a), sizeof a) == 0;
  }
  ~Client() { close(); }
  bool connected() const { return connected_; }
  void send(const QByteArray& bytes) { (void)::send(fd_, bytes.constData(), bytes.size(), 0); }
  void post(const QByteArray& body) {
    send("POST /X HTTP/1.1\r\nContent-Length: " + QByteArray::number(body.size()) + "\r\n\r\n" +
         body);
  }
  // What arrived within `ms` while the main thread serves the listener; "" for nothing, and
  // "<closed>" when the server closed without a byte.
  QByteArray answerWithin(int ms) {
    QByteArray got;
    QElapsedTimer t;
    t.start();
    while (t.elapsed() < ms) {
      testing_qt::pumpEvents(5);
      pollfd p{fd_, POLLIN, 0};
      if (::poll(&p, 1, 5) <= 0) continue;
      char buf[256];
      const ssize_t n = ::recv(fd_, buf, sizeof buf, 0);
      if (n <= 0) return got.isEmpty() ? QByteArray("<closed>") : got;
      got.append(buf, n);
      if (got.endsWith("ok") || got.endsWith("\r\n\r\n")) return got;
    }
    return got;
  }
  void close() {
    if (fd_ >= 0) ::close(fd_);
    fd_ = -1;
  }

 private:
  int fd_;
  bool connected_ = false;
};

ConnectionLimits shortLimits() {
  ConnectionLimits limits;
  limits.readWait = 5s;
  limits.headTotal = 5s;
  limits.bodyTotal = 5s;
  limits.writeWait = 2s;
  limits.closeWait = 2s;
  return limits;
}

class ListenerTest : public ::testing::Test {
 protected:
  void SetUp() override { testing_qt::coreApp(); }
  void listen(const ConnectionLimits& limits) {
    server_.reset(createListener(dispatcher_, threads_.starter(), nullptr,
                                 QHostAddress(QHostAddress::LocalHost), 0, limits));
    ASSERT_TRUE(server_->isListening());
  }
  quint16 port() const { return server_->serverPort(); }
  void TearDown() override {
    dispatcher_.release();
    server_.reset();
  }

  Dispatcher dispatcher_;
  Threads threads_;  // joined after the clients of a test have gone
  std::unique_ptr<QTcpServer> server_;
};

TEST_F(ListenerTest, AtTheBoundAConnectionWaitsInTheBacklogUntilOneEnds) {
  ConnectionLimits limits = shortLimits();
  limits.maxConnections = 2;
  listen(limits);
  Client stalled1(port()), stalled2(port());
  ASSERT_TRUE(stalled1.connected() && stalled2.connected());
  testing_qt::pumpEvents(100);  // both accepted, both waiting for a head
  Client third(port());
  ASSERT_TRUE(third.connected()) << "the system's backlog takes it";
  third.post("x");
  EXPECT_EQ(third.answerWithin(400), "") << "not served while two are in progress";
  stalled1.close();  // its connection ends (400 to nobody) and makes room
  EXPECT_TRUE(third.answerWithin(5000).endsWith("ok"));
}

TEST_F(ListenerTest, AConnectionThatGetsNoThreadIsClosedAndTheNextIsServed) {
  threads_.refusals_ = 1;
  listen(shortLimits());
  Client refused(port());
  refused.post("x");
  EXPECT_EQ(refused.answerWithin(3000), "<closed>");
  Client next(port());
  next.post("x");
  EXPECT_TRUE(next.answerWithin(5000).endsWith("ok"));
}

TEST_F(ListenerTest, BodiesBeyondTheCapWaitForRoomAndGet400WhenNoneComesInTime) {
  ConnectionLimits limits = shortLimits();
  limits.maxBodiesInFlight = 100;
  limits.bodyTotal = 1500ms;
  listen(limits);
  Client holder(port());
  holder.post("hold" + QByteArray(76, '.'));  // 80 bytes, held in the dispatcher
  for (int i = 0; i < 400 && dispatcher_.reached() == 0; ++i) testing_qt::pumpEvents(5);
  ASSERT_EQ(dispatcher_.reached(), 1);

  Client late(port());
  late.post(QByteArray(50, 'b'));
  const QByteArray refused = late.answerWithin(3000);
  EXPECT_TRUE(refused.startsWith("HTTP/1.1 400")) << refused.toStdString();
  EXPECT_EQ(dispatcher_.reached(), 1) << "its body never got room";

  Client waiting(port());
  waiting.post(QByteArray(50, 'c'));
  EXPECT_EQ(waiting.answerWithin(200), "");
  dispatcher_.release();  // the held answer goes, and with it the 80 bytes of room
  EXPECT_TRUE(holder.answerWithin(3000).endsWith("ok"));
  EXPECT_TRUE(waiting.answerWithin(3000).endsWith("ok"));
}

}  // namespace
}  // namespace Zarvo
