// A host application in the test process, serving a test service over real loopback sockets:
// the road of one request from the listener through the command map to a handler and back.
#include "framework/Application.h"

#include <gtest/gtest.h>

#include <QTcpServer>
#include <QThread>
#include <atomic>
#include <future>
#include <thread>
#include <vector>

#include "framework/Thread.h"
#include "tests/fakes/HttpProbe.h"
#include "tests/fakes/QtApp.h"

namespace Zarvo {
namespace {

using namespace std::chrono_literals;
using testing_http::Answer;
using testing_http::exchange;
using testing_http::fromUtf16Le;
using testing_http::post;
using Zarvo::Application;

std::vector<QString>& stopLog() {
  static std::vector<QString> log;
  return log;
}

std::unique_ptr<Zarvo::ResponsePacket> responseOf(const Answer& a) {
  auto response = std::make_unique<Zarvo::ResponsePacket>();
  response->fromByteArray(a.body);
  return response;
}

class PingRequest : public Zarvo::RequestPacket {
 public:
  PingRequest() : RequestPacket(QStringLiteral("TestPing")) {}
};

template <int N>
class TestService : public Zarvo::Service {
 public:
  TestService() {
    registerHandler(QStringLiteral("TestPing%1").arg(N), &TestService::ping);
    registerHandler(QStringLiteral("TestNothing%1").arg(N), &TestService::nothing);
  }
  ~TestService() override {
    stopLog().push_back(QStringLiteral("T%1").arg(N));
    destroyedOn = QThread::currentThread();
  }
  static inline std::atomic<int> created{0};
  static inline std::atomic<QThread*> destroyedOn{nullptr};

 private:
  std::unique_ptr<Zarvo::ResponsePacket> ping(PingRequest&) {
    return std::make_unique<Zarvo::ResponsePacket>(0, QStringLiteral("pong%1").arg(N));
  }
  std::unique_ptr<Zarvo::ResponsePacket> nothing(PingRequest&) { return nullptr; }

 public:
  struct Factory : Zarvo::ServiceFactoryBase {
    Zarvo::Service* create() override {
      ++created;
      return new TestService<N>();
    }
  };
};

// Answers only this machine's 127.0.0.1: how a service sees who called it.
class PickyService : public Zarvo::Service {
 public:
  PickyService() { registerHandler(QStringLiteral("TestPicky"), &PickyService::answer); }

 protected:
  bool admitsCaller(const QString&, const QHostAddress& caller) override {
    return caller == QHostAddress(QStringLiteral("127.0.0.1"));
  }

 private:
  std::unique_ptr<Zarvo::ResponsePacket> answer(PingRequest&) {
    return std::make_unique<Zarvo::ResponsePacket>(0, QStringLiteral("picked"));
  }
};

// One application per process: created once, started without a configuration file so the
// system chooses the port. Tests run in any order (--gtest_shuffle): the one that stops the
// services starts them again.
class Host : public ::testing::Test {
 protected:
  // The application is made here, on the main thread, whichever test runs first: made lazily
  // inside a client thread it would belong to that thread and serve nothing.
  void SetUp() override { app(); }

  static Application& app() {
    static Application* instance = [] {
      testing_qt::coreApp();
      static char arg0[] = "host_test";
      static char* argv[] = {arg0, nullptr};
      auto* a = new Application(1, argv, QStringLiteral("HostTest"), QString());
      a->registerServiceFactory(QStringLiteral("T1"), new TestService<1>::Factory());
      a->registerServiceFactory(QStringLiteral("T2"), new TestService<2>::Factory());
      a->registerServiceFactory(QStringLiteral("P"), new Zarvo::ServiceFactory<PickyService>());
      ConnectionLimits limits;
      limits.readWait = 300ms;
      limits.headTotal = 600ms;
      limits.bodyTotal = 600ms;
      limits.closeWait = 2000ms;
      a->setConnectionLimits(limits);
      a->setConnectionThreadLimits({4, 200ms});
      a->setStopEventWindow(200);
      a->start();
      createdAtStart() = TestService<1>::created;
      return a;  // kept for the whole process
    }();
    return *instance;
  }
  static quint16 port() { return app().listener()->serverPort(); }
  static int& createdAtStart() {
    static int created = 0;
    return created;
  }

  // Runs `client` on another thread while this one serves the listener's events.
  template <class F>
  static auto serve(F client) {
    auto future = std::async(std::launch::async, client);
    while (future.wait_for(0ms) != std::future_status::ready) testing_qt::pumpEvents(5);
    return future.get();
  }
};

TEST_F(Host, StartsOnASystemChosenPortAndAnnouncesALoopbackUrl) {
  ASSERT_TRUE(app().listener()->isListening());
  EXPECT_NE(port(), 0);
  EXPECT_EQ(app().serviceUrl().port(), port());
  EXPECT_EQ(app().serviceUrl().scheme(), "http");
  EXPECT_EQ(app().serviceUrl().host(), "127.0.0.1");
  EXPECT_EQ(app().listener()->serverAddress(), QHostAddress(QHostAddress::LocalHost))
      << "without a ServiceURL only this machine can reach the process";
  EXPECT_EQ(createdAtStart(), 1) << "start must create each service once";
}

TEST_F(Host, TheServiceSeesTheCallersAddressAndMayRefuseIt) {
  struct Case {
    const char* why;
    const char* from;
    const char* details;
  };
  const Case kCases[] = {
      {"the caller it takes", "127.0.0.1", "picked"},
      {"another caller: as if the command did not exist", "127.0.0.7",
       "Can't handle command: TestPicky"},
  };
  for (const Case& c : kCases) {
    SCOPED_TRACE(c.why);
    const Answer a = serve(
        [&] { return exchange(c.from, "127.0.0.1", port(), post("/TestPicky", "<OrxRequest/>")); });
    ASSERT_TRUE(a.ok);
    EXPECT_EQ(responseOf(a)->details(), c.details);
  }
}

TEST_F(Host, AStrangerCannotCloseTheProcess) {
  QByteArray close;
  Zarvo::RequestPacket(QStringLiteral("MGMTCloseApplication")).toByteArray(close);
  Zarvo::ResponsePacket response;
  response.fromByteArray(app().answerRequest(QStringLiteral("MGMTCloseApplication"), close,
                                             QHostAddress(QStringLiteral("192.0.2.1"))));
  EXPECT_EQ(response.result(), 2);
  EXPECT_EQ(response.details(), "Can't handle command: MGMTCloseApplication");
}

TEST_F(Host, LeadingSlashAndBareCommandReachTheSameHandler) {
  for (const QByteArray path : {"/TestPing1", "TestPing1", "/Test/Ping1?x=1"}) {
    SCOPED_TRACE(path.toStdString());
    const Answer a = serve([&] { return exchange(port(), post(path, "<OrxRequest/>")); });
    ASSERT_TRUE(a.ok);
    EXPECT_EQ(a.status(), 200);
    EXPECT_EQ(responseOf(a)->details(), "pong1");
  }
}

TEST_F(Host, ASecondApplicationEndsTheProcessWithMinus1) {
  app();
  ::testing::FLAGS_gtest_death_test_style = "threadsafe";
  static char arg0[] = "second";
  static char* argv[] = {arg0, nullptr};
  EXPECT_EXIT(Application(1, argv, QStringLiteral("Second"), QString()),
              ::testing::ExitedWithCode(255), "");
}

TEST_F(Host, UnknownCommandIsResult2WithoutGrowingTheCommandMap) {
  const auto before = app().commandMap()->size();
  const Answer a = serve([&] { return exchange(port(), post("/NoSuchCommand", "x")); });
  ASSERT_TRUE(a.ok);
  EXPECT_EQ(a.status(), 200);
  EXPECT_EQ(responseOf(a)->result(), 2);
  EXPECT_EQ(responseOf(a)->details(), "Can't handle command: NoSuchCommand");
  EXPECT_EQ(app().commandMap()->size(), before);
}

TEST_F(Host, NoPacketFromTheServiceSendsTheDefaultDocument) {
  const Answer a = serve([&] { return exchange(port(), post("/TestNothing2", "<x/>")); });
  ASSERT_TRUE(a.ok);
  const QString doc = QStringLiteral(
      "<?xml version=\"1.0\" encoding=\"UTF-16\" standalone=\"no\" ?><OrxResponse/>");
  EXPECT_EQ(a.head,
            "HTTP/1.1 200 OK\r\nContent-Length:" + QByteArray::number(doc.size() * 2) + "\r\n\r\n");
  EXPECT_EQ(fromUtf16Le(a.body), doc);
}

TEST_F(Host, UnreadableRequestsAre400) {
  struct Case {
    const char* why;
    QByteArray request;
  };
  const Case cases[] = {
      {"no Content-Length", "POST /TestPing1 HTTP/1.1\r\n\r\n"},
      {"negative Content-Length", "POST /TestPing1 HTTP/1.1\r\nContent-Length: -5\r\n\r\n"},
      {"Content-Length over 16 MiB",
       "POST /TestPing1 HTTP/1.1\r\nContent-Length: 16777217\r\n\r\n"},
      {"body shorter than announced", "POST /TestPing1 HTTP/1.1\r\nContent-Length: 10\r\n\r\nabc"},
      {"head never ends", "POST /TestPing1 HTTP/1.1\r\nContent-"},
      {"malformed query", "GET /TestPing1?novalue HTTP/1.1\r\nContent-Length: 0\r\n\r\n"},
      {"header line without colon", "GET /TestPing1 HTTP/1.1\r\nnocolon\r\n\r\n"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.why);
    const Answer a = serve([&] { return exchange(port(), c.request, 5000); });
    EXPECT_EQ(a.head, "HTTP/1.1 400 Bad request\r\n\r\n");
    EXPECT_TRUE(a.body.isEmpty());
  }
}

TEST_F(Host, ManyConcurrentRequestsAreAllAnswered) {
  const int ok = serve([&] {
    std::vector<std::future<bool>> clients;
    for (int i = 0; i < 100; ++i) {
      clients.push_back(std::async(std::launch::async, [] {
        const Answer a = exchange(port(), post("/TestPing2", "<OrxRequest/>"), 20000);
        return a.ok && a.status() == 200;
      }));
    }
    int n = 0;
    for (auto& c : clients) n += c.get() ? 1 : 0;
    return n;
  });
  EXPECT_EQ(ok, 100);
}

TEST_F(Host, AFinishedConnectionsThreadWaitsForTheNextThenTheGroupDeletesIt) {
  serve([&] { return exchange(port(), post("/TestPing1", "<OrxRequest/>")); });
  EXPECT_GE(app().threadGroup()->size(), 1) << "kept for the next connection";
  for (int i = 0; i < 400 && app().threadGroup()->size() > 0; ++i) testing_qt::pumpEvents(5);
  EXPECT_EQ(app().threadGroup()->size(), 0) << "gone after its wait";
}

TEST_F(Host, InProcessPacketsUseTheCommandMap) {
  PingRequest ping;  // command "TestPing": no service has it
  EXPECT_FALSE(app().processPacket(ping));
  Zarvo::RequestPacket known(QStringLiteral("TestPing2"));
  Zarvo::PacketPtr response = app().processPacket(known);
  ASSERT_TRUE(response);
  EXPECT_EQ(response->details(), "pong2");
}

TEST_F(Host, RestartEventRecreatesTheService) {
  const int before = TestService<2>::created;
  QCoreApplication::postEvent(&app(), new Zarvo::RestartServiceEvent(QStringLiteral("T2")));
  testing_qt::pumpEvents(50);
  EXPECT_EQ(TestService<2>::created, before + 1);
  stopLog().clear();
}

TEST_F(Host, ServicesStopLastRegisteredFirstAndThenAnswerPaused) {
  stopLog().clear();
  app().stop();
  app().stop();                                              // a second stop does nothing
  EXPECT_EQ(stopLog(), (std::vector<QString>{"T2", "T1"}));  // then MGMT, which logs nothing
  Zarvo::PacketPtr paused = app().processRequest(QStringLiteral("TestPing1"), "<OrxRequest/>");
  EXPECT_EQ(paused->result(), 5);
  EXPECT_EQ(paused->details(), "Service paused");
  // Back in service for the tests that run after this one.
  for (const char* name : {"MGMT", "T1", "T2", "P"}) app().startService(QString::fromLatin1(name));
  Zarvo::PacketPtr again = app().processRequest(QStringLiteral("TestPing1"), "<OrxRequest/>");
  EXPECT_EQ(again->details(), "pong1");
}

// A dispatch that lost the race with a stop may hold the last reference of a service; dropping
// it there must not destroy a plug-in-sized object on a connection thread.
TEST_F(Host, AServiceDroppedLastOnAnotherThreadIsDestroyedOnTheMainThread) {
  std::shared_ptr<Zarvo::Service> held =
      app().commandMap()->at(QStringLiteral("TestPing2"))->service();
  ASSERT_TRUE(held);
  app().stopService(QStringLiteral("T2"));  // the registry lets go; `held` is the last one
  TestService<2>::destroyedOn = nullptr;
  std::thread([&] { held.reset(); }).join();
  EXPECT_EQ(TestService<2>::destroyedOn.load(), nullptr) << "destroyed on the dropping thread";
  for (int i = 0; i < 400 && !TestService<2>::destroyedOn.load(); ++i) testing_qt::pumpEvents(5);
  EXPECT_EQ(TestService<2>::destroyedOn.load(), QCoreApplication::instance()->thread());
  app().startService(QStringLiteral("T2"));
  stopLog().clear();
}

}  // namespace

}  // namespace Zarvo
