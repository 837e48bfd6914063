// Dispatch of one request to its handler, and every failure on the way turned into a
// response packet with a result code.
#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <cstdlib>
#include <future>
#include <thread>

#include "framework/Application.h"
#include "framework/Packet.h"
#include "framework/Service.h"
#include "framework/ServiceClient.h"
#include "tests/fakes/QtApp.h"
#include "tests/fakes/ServiceClients.h"

namespace Zarvo {
namespace {

using namespace std::chrono_literals;
using Zarvo::PacketPtr;
using Zarvo::ResponsePacket;

class EchoRequest : public Zarvo::RequestPacket {
 public:
  EchoRequest() : RequestPacket(QStringLiteral("Echo")) {}
};
class EchoResponse : public ResponsePacket {};

// A service whose handlers show each outcome of a dispatch.
class ProbeService : public Zarvo::Service {
 public:
  ProbeService() {
    registerHandler(QStringLiteral("Echo"), &ProbeService::echo);
    registerHandler(QStringLiteral("Throw"), &ProbeService::throwInt);
    registerHandler(QStringLiteral("Zarvo"), &ProbeService::throwZarvo);
    registerHandler(QStringLiteral("Slow"), &ProbeService::slow);
    registerHandler(QStringLiteral("Null"), &ProbeService::none);
  }
  std::atomic<bool> release{false};
  std::atomic<int> slowRunning{0};
  int echoed = 0;

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
    ++slowRunning;
    for (int i = 0; i < 500 && !release; ++i) std::this_thread::sleep_for(10ms);
    return std::make_unique<EchoResponse>();
  }
  std::unique_ptr<EchoResponse> none(EchoRequest&) { return nullptr; }
};

QByteArray requestBytes(const QString& command) {
  QByteArray bytes;
  Zarvo::RequestPacket(command).toByteArray(bytes);
  return bytes;
}

TEST(Dispatch, EveryOutcomeBecomesAResult) {
  struct Case {
    const char* why;
    QString command;
    QByteArray body;
    int result;
    QString details;
  };
  const Case cases[] = {
      {"handler answers", "Echo", requestBytes("Echo"), 0, "echo"},
      {"command the service lacks", "Nope", requestBytes("Nope"), 2, "Can't handle command: Nope"},
      {"handler throws an int", "Throw", requestBytes("Throw"), -1,
       "Command handler raised an exception"},
      {"handler's own code and text", "Zarvo", requestBytes("Zarvo"), 7, "x"},
  };
  ProbeService service;
  for (const Case& c : cases) {
    SCOPED_TRACE(c.why);
    PacketPtr response = service.processRequest(c.command, c.body);
    ASSERT_TRUE(response);
    EXPECT_EQ(response->result(), c.result);
    EXPECT_EQ(response->details(), c.details);
    EXPECT_EQ(service.requestsInProgress(), 0);
  }
}

TEST(Dispatch, UnreadableBodyIsResult3WithTheParserMessage) {
  ProbeService service;
  PacketPtr response = service.processRequest("Echo", "this is not XML");
  ASSERT_TRUE(response);
  EXPECT_EQ(response->result(), 3);
  EXPECT_TRUE(response->details().startsWith("Wrong request format: "));
  EXPECT_GT(response->details().size(), QString("Wrong request format: ").size());
  EXPECT_EQ(service.echoed, 0);
  EXPECT_EQ(service.requestsInProgress(), 0);
}

TEST(Dispatch, ZarvoExceptionAnswersInTheHandlersOwnResponseClass) {
  ProbeService service;
  EchoRequest request;
  PacketPtr response = service.processPacket(request);
  ASSERT_TRUE(dynamic_cast<EchoResponse*>(response.get()));
  Zarvo::RequestPacket other(QStringLiteral("Zarvo"));
  response = service.processPacket(other);  // converted to EchoRequest by write and read
  ASSERT_TRUE(dynamic_cast<EchoResponse*>(response.get()));
  EXPECT_EQ(response->result(), 7);
}

TEST(Dispatch, NullFromAHandlerReachesTheCaller) {
  ProbeService service;
  EXPECT_FALSE(service.processRequest("Null", requestBytes("Null")));
  EXPECT_EQ(service.requestsInProgress(), 0);
}

TEST(Dispatch, PacketWithoutCommandIsAWrongFormat) {
  ProbeService service;
  ResponsePacket notARequest(0);
  PacketPtr response = service.processPacket(notARequest);
  ASSERT_TRUE(response);
  EXPECT_EQ(response->result(), 3);
}

TEST(Dispatch, StopRefusesNewRequestsAndWaitsForTheSlowOne) {
  ProbeService service;
  service.setStopPollInterval(100ms);
  std::thread slow([&] { service.processRequest("Slow", requestBytes("Slow")); });
  while (service.slowRunning == 0) std::this_thread::sleep_for(1ms);

  std::atomic<bool> stopped{false};
  std::thread stopper([&] {
    service.stop();
    stopped = true;
  });
  std::this_thread::sleep_for(200ms);
  EXPECT_FALSE(stopped) << "stop must wait for the request in progress";
  PacketPtr refused = service.processRequest("Echo", requestBytes("Echo"));
  EXPECT_EQ(refused->result(), 5);
  EXPECT_EQ(refused->details(), "Service paused");

  const auto released = std::chrono::steady_clock::now();
  service.release = true;
  slow.join();
  stopper.join();
  EXPECT_LT(std::chrono::steady_clock::now() - released, 2s);
  EXPECT_EQ(service.requestsInProgress(), 0);
}

// The end of the last request wakes stop() at once (no poll interval to sit out), and a stop
// token ends the wait even while a request hangs, so a shutdown is never held by one.
TEST(Dispatch, StopWakesOnTheLastRequestAndGivesUpOnAStopToken) {
  {
    ProbeService service;
    service.setStopPollInterval(60s);
    std::thread slow([&] { service.processRequest("Slow", requestBytes("Slow")); });
    while (service.slowRunning == 0) std::this_thread::sleep_for(1ms);
    std::thread releaser([&] {
      std::this_thread::sleep_for(50ms);
      service.release = true;
    });
    const auto begin = std::chrono::steady_clock::now();
    EXPECT_TRUE(service.stop());
    EXPECT_LT(std::chrono::steady_clock::now() - begin, 20s);
    releaser.join();
    slow.join();
  }
  {
    ProbeService service;
    service.setStopPollInterval(60s);
    std::thread slow([&] { service.processRequest("Slow", requestBytes("Slow")); });
    while (service.slowRunning == 0) std::this_thread::sleep_for(1ms);
    Zarvo::StopSource shutdown;
    std::thread stopper([&] {
      std::this_thread::sleep_for(50ms);
      shutdown.requestStop();
    });
    const auto begin = std::chrono::steady_clock::now();
    EXPECT_FALSE(service.stop(shutdown.token())) << "the request is still in progress";
    EXPECT_LT(std::chrono::steady_clock::now() - begin, 20s);
    EXPECT_EQ(service.requestsInProgress(), 1);
    stopper.join();
    service.release = true;
    slow.join();
  }
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
