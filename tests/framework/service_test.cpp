// Dispatch of one request to its handler, and every failure on the way turned into a
// response packet with a result code.
#include "framework/Service.h"

#include <gtest/gtest.h>

#include <chrono>
#include <condition_variable>
#include <cstdlib>
#include <functional>
#include <future>
#include <mutex>
#include <thread>

#include "framework/Application.h"
#include "framework/Packet.h"
#include "framework/ServiceClient.h"
#include "tests/fakes/QtApp.h"
#include "tests/fakes/ServiceClients.h"

namespace Zarvo {
namespace {

using namespace std::chrono_literals;

class EchoRequest : public Zarvo::RequestPacket {
 public:
  EchoRequest() : RequestPacket(QStringLiteral("Echo")) {}
};
class EchoResponse : public ResponsePacket {};

// A service whose handlers show each outcome of a dispatch. "Slow" holds its request until
// release(); onStop runs when a stop begins, after new requests are refused.
class ProbeService : public Zarvo::Service {
 public:
  ProbeService() {
    registerHandler(QStringLiteral("Echo"), &ProbeService::echo);
    registerHandler(QStringLiteral("Throw"), &ProbeService::throwInt);
    registerHandler(QStringLiteral("Zarvo"), &ProbeService::throwZarvo);
    registerHandler(QStringLiteral("Slow"), &ProbeService::slow);
    registerHandler(QStringLiteral("Null"), &ProbeService::none);
  }
  void release() {
    std::lock_guard<std::mutex> lock(mutex_);
    released_ = true;
    changed_.notify_all();
  }
  bool waitForSlow() {
    std::unique_lock<std::mutex> lock(mutex_);
    return changed_.wait_for(lock, 20s, [&] { return slowRunning_; });
  }
  std::function<void()> onStop;
  int echoed = 0;

 protected:
  void aboutToStop() override {
    if (onStop) onStop();
  }

 private:
  std::unique_ptr<EchoResponse> echo(EchoRequest&) {
    ++echoed;
    auto r = std::make_unique<EchoResponse>();
    r->setResult(0, QStringLiteral("echo"));
    return r;
  }
  std::unique_ptr<EchoResponse> throwInt(EchoRequest&) { throw 42; }
  std::unique_ptr<EchoResponse> throwZarvo(EchoRequest&) {
    throw Zarvo::ZarvoException(7, QStringLiteral("x"));
  }
  std::unique_ptr<EchoResponse> slow(EchoRequest&) {
    std::unique_lock<std::mutex> lock(mutex_);
    slowRunning_ = true;
    changed_.notify_all();
    changed_.wait_for(lock, 20s, [&] { return released_; });
    return std::make_unique<EchoResponse>();
  }
  std::unique_ptr<EchoResponse> none(EchoRequest&) { return nullptr; }

  std::mutex mutex_;
  std::condition_variable changed_;
  bool slowRunning_ = false;
  bool released_ = false;
};

QByteArray requestBytes(const QString& command) {
  QByteArray bytes;
  Zarvo::RequestPacket(command).toByteArray(bytes);
  return bytes;
}

TEST(Dispatch, EveryOutcomeBecomesAResult) {
  constexpr int kNoAnswer = -100;
  struct Case {
    const char* why;
    QString command;
    QByteArray body;
    int result;
    QString details;  // ending in ": ", the start of details that go on with the parser's message
  };
  const Case cases[] = {
      {"handler answers", "Echo", requestBytes("Echo"), 0, "echo"},
      {"command the service lacks", "Nope", requestBytes("Nope"), 2, "Can't handle command: Nope"},
      {"handler throws an int", "Throw", requestBytes("Throw"), -1,
       "Command handler raised an exception"},
      {"handler's own code and text", "Zarvo", requestBytes("Zarvo"), 7, "x"},
      {"unreadable body", "Echo", "this is not XML", 3, "Wrong request format: "},
      {"a null from the handler reaches the caller", "Null", requestBytes("Null"), kNoAnswer, ""},
  };
  ProbeService service;
  for (const Case& c : cases) {
    SCOPED_TRACE(c.why);
    PacketPtr response = service.processRequest(c.command, c.body);
    EXPECT_EQ(service.requestsInProgress(), 0);
    if (c.result == kNoAnswer) {
      EXPECT_FALSE(response);
      continue;
    }
    ASSERT_TRUE(response);
    EXPECT_EQ(response->result(), c.result);
    const QString details = response->details();
    if (c.details.endsWith(": ")) {
      EXPECT_TRUE(details.startsWith(c.details) && details.size() > c.details.size())
          << details.toStdString();
    } else {
      EXPECT_EQ(details, c.details);
    }
  }
  EXPECT_EQ(service.echoed, 1) << "an unreadable request never reaches its handler";
}

TEST(Dispatch, APacketIsAnsweredInTheHandlersOwnResponseClassOrRefusedWithoutACommand) {
  ProbeService service;
  EchoRequest request;
  PacketPtr response = service.processPacket(request);
  ASSERT_TRUE(dynamic_cast<EchoResponse*>(response.get()));
  Zarvo::RequestPacket other(QStringLiteral("Zarvo"));
  response = service.processPacket(other);  // converted to EchoRequest by write and read
  ASSERT_TRUE(dynamic_cast<EchoResponse*>(response.get()));
  EXPECT_EQ(response->result(), 7);
  ResponsePacket notARequest(0);
  response = service.processPacket(notARequest);
  ASSERT_TRUE(response);
  EXPECT_EQ(response->result(), 3);
}

// A service with one slow request in progress and a stop poll too long to sit out.
struct HeldService {
  HeldService() {
    service.setStopPollInterval(60s);
    slow = std::thread([this] { service.processRequest("Slow", requestBytes("Slow")); });
  }
  ~HeldService() {
    service.release();
    slow.join();
  }
  ProbeService service;
  std::thread slow;
};

TEST(Dispatch, StopRefusesNewRequestsAndWaitsForTheSlowOne) {
  HeldService held;
  ProbeService& service = held.service;
  ASSERT_TRUE(service.waitForSlow());
  std::promise<void> stopping;
  service.onStop = [&] { stopping.set_value(); };
  auto stopped = std::async(std::launch::async, [&] { return service.stop(); });
  stopping.get_future().wait();
  PacketPtr refused = service.processRequest("Echo", requestBytes("Echo"));
  EXPECT_EQ(refused->result(), 5);
  EXPECT_EQ(refused->details(), "Service paused");
  EXPECT_EQ(stopped.wait_for(200ms), std::future_status::timeout)
      << "stop must wait for the request in progress";
  service.release();
  EXPECT_EQ(stopped.wait_for(10s), std::future_status::ready);
  EXPECT_TRUE(stopped.get());
  EXPECT_EQ(service.requestsInProgress(), 0);
}

// The end of the last request wakes stop() at once (no poll interval to sit out), and a stop
// token ends the wait even while a request hangs, so a shutdown is never held by one. Each is
// set off from the stop itself, so it comes while stop() waits.
TEST(Dispatch, StopWakesOnTheLastRequestAndGivesUpOnAStopToken) {
  {
    HeldService held;
    ASSERT_TRUE(held.service.waitForSlow());
    std::thread releaser;
    held.service.onStop = [&] { releaser = std::thread([&] { held.service.release(); }); };
    const auto begin = std::chrono::steady_clock::now();
    EXPECT_TRUE(held.service.stop());
    EXPECT_LT(std::chrono::steady_clock::now() - begin, 20s);
    releaser.join();
  }
  HeldService held;
  ASSERT_TRUE(held.service.waitForSlow());
  Zarvo::StopSource shutdown;
  std::thread stopper;
  held.service.onStop = [&] { stopper = std::thread([&] { shutdown.requestStop(); }); };
  const auto begin = std::chrono::steady_clock::now();
  EXPECT_FALSE(held.service.stop(shutdown.token())) << "the request is still in progress";
  EXPECT_LT(std::chrono::steady_clock::now() - begin, 20s);
  EXPECT_EQ(held.service.requestsInProgress(), 1);
  stopper.join();
}

// A service that, while it is destroyed, waits for a thread of its own that still dispatches
// through the application (as a job winding down would). The process ends at once with 1 if the
// thread gets no answer in time: it would never get one.
class WindingDown : public ProbeService {
 public:
  explicit WindingDown(Zarvo::ServiceClient& services) : services_(services) {}
  ~WindingDown() override {
    std::packaged_task<int()> ask([this] {
      Zarvo::RequestPacket request(QStringLiteral("Echo"));
      return services_.callService<ResponsePacket>(request, true)->result();
    });
    std::future<int> answer = ask.get_future();
    std::thread asker(std::move(ask));
    if (answer.wait_for(10s) != std::future_status::ready) std::_Exit(1);
    asker.join();
    answered = answer.get();
  }
  static inline int answered = -100;

 private:
  Zarvo::ServiceClient& services_;
};

// Builds an application with a WindingDown service and destroys it without a stop; the exit code
// of the process: 0 when the service's thread got "Service paused".
int destroyAnApplicationWhoseServiceWindsDown() {
  testing_qt::coreApp();
  testing_orx::FakeServiceClient remote;
  static char arg0[] = "dispatch_test";
  static char* argv[] = {arg0, nullptr};
  auto* app = new Zarvo::Application(1, argv, QStringLiteral("Teardown"), QString(), remote);
  app->registerServiceFactory(QStringLiteral("W"), new Zarvo::ServiceFactoryFunction(
                                                       [app] { return new WindingDown(*app); }));
  app->createServices();
  delete app;  // never started, so never stopped: the services go with the application
  return WindingDown::answered == int(Zarvo::ResultCode::kServicePaused) ? 0 : 2;
}

TEST(Dispatch, AServiceDestroyedWithTheApplicationIsNotWaitedForUnderItsLocks) {
  ::testing::FLAGS_gtest_death_test_style = "threadsafe";  // a process with one application
  EXPECT_EXIT(std::exit(destroyAnApplicationWhoseServiceWindsDown()), ::testing::ExitedWithCode(0),
              "");
}

}  // namespace

}  // namespace Zarvo
