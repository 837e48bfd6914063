// Calls between services: the process first, then the naming service and HTTP to the service it
// names, with retries, the cache, every client-side result code, the response limits, and the
// registration at start (in this process and in the running executable).
#include <gtest/gtest.h>
#include <unistd.h>

#include <QElapsedTimer>
#include <QFile>
#include <QTcpServer>
#include <algorithm>
#include <chrono>
#include <functional>
#include <future>
#include <vector>

#include "NSFindService_Response.h"
#include "framework/Application.h"
#include "framework/LMXPacket.h"
#include "framework/OrxServiceClient.h"
#include "framework/ServiceClient.h"
#include "framework/Thread.h"
#include "tests/fakes/FakeNamingService.h"
#include "tests/fakes/HttpProbe.h"
#include "tests/fakes/LogLines.h"
#include "tests/fakes/LoopbackSocket.h"
#include "tests/fakes/QtApp.h"
#include "tests/fakes/RunningHost.h"
#include "tests/fakes/ServiceClients.h"
#include "tests/fakes/Signal.h"

namespace Zarvo {
namespace {

using namespace std::chrono_literals;
using testing_orx::elementTexts;
using testing_orx::FakeNamingService;
using testing_orx::httpResponse;
using testing_orx::LoopbackServices;
using testing_orx::responsePacket;
using FindResponse = Zarvo::LMXResponse<NSFindService_Response::c_OrxResponse>;
using Clock = std::chrono::steady_clock;
using testing_log::LogLines;

// Handlers take whatever request packet arrives in the process.
class AnyRequest : public RequestPacket {
 public:
  AnyRequest() : RequestPacket(QStringLiteral("Any")) {}
};

class LocalService : public Zarvo::Service {
 public:
  LocalService() {
    registerHandler(QStringLiteral("TestLocalEcho"), &LocalService::echo);
    registerHandler(QStringLiteral("TestLocalSeven"), &LocalService::seven);
  }

 private:
  std::unique_ptr<ResponsePacket> echo(AnyRequest&) {
    return std::make_unique<ResponsePacket>(0, QStringLiteral("local"));
  }
  std::unique_ptr<ResponsePacket> seven(AnyRequest&) {
    return std::make_unique<ResponsePacket>(7, QStringLiteral("seven"));
  }
};

// What the one application of the process reaches other processes through.
OrxServiceClient& appRemote() {
  static auto* remote = new OrxServiceClient(testing_orx::shortClientLimits());
  return *remote;
}

// One application per process: its services are created (the command map built) but it is
// never started, so it opens no port and leaves the working directory alone.
Application& app() {
  static Application* instance = [] {
    testing_qt::coreApp();
    static char arg0[] = "orx_client_test";
    static char* argv[] = {arg0, nullptr};
    auto* a = new Application(1, argv, QStringLiteral("OrxClientTest"), QString(), appRemote());
    a->registerServiceFactory(QStringLiteral("Local"), new Zarvo::ServiceFactory<LocalService>());
    a->createServices();
    return a;
  }();
  return *instance;
}

std::unique_ptr<ResponsePacket> call(Zarvo::ServiceClient& client, const QString& command,
                                     bool wait = true) {
  RequestPacket request(command);
  return client.callService<ResponsePacket>(request, wait);
}

// A loopback URL with nothing listening on its port.
QUrl closedUrl() {
  quint16 port = 0;
  ::close(testing_net::listenOnLoopback(1, port));
  return QUrl(QStringLiteral("http://127.0.0.1:%1/").arg(port));
}

// Each test has a client of its own, so no URL cached by another test gets in the way.
class OrxClient : public LoopbackServices {
 protected:
  void SetUp() override { mark_ = LogLines::get().mark(); }
  int retries() { return LogLines::get().count(mark_, "SendRequest retry in "); }
  std::unique_ptr<ResponsePacket> call(const QString& command, bool wait = true) {
    return Zarvo::call(client(), command, wait);
  }

  FakeNamingService service_;
  qsizetype mark_ = 0;
};

TEST_F(OrxClient, RegistrationAnnouncesTheUrlAndEveryCommandInOrder) {
  ASSERT_TRUE(app().registerInNamingService(naming_.url()));
  ASSERT_EQ(naming_.count("NSRegisterService"), 1) << "a bare command name as request path";
  const testing_orx::Received sent = naming_.requests().first();
  EXPECT_TRUE(sent.head.contains("\r\nContent-Length:" + QByteArray::number(sent.body.size())));
  EXPECT_EQ(elementTexts(sent.body, "URL"), QStringList{app().serviceUrl().toString()});
  QStringList expected;
  for (const auto& entry : *app().commandMap()) expected << entry.first;
  const QStringList methods = elementTexts(sent.body, "method");
  EXPECT_EQ(methods, expected);
  EXPECT_TRUE(methods.contains("TestLocalEcho") && methods.contains("TestLocalSeven"));
  EXPECT_TRUE(std::is_sorted(methods.begin(), methods.end()));
  const QString logged = "Registration in naming service: " + naming_.url().toString();
  EXPECT_EQ(LogLines::get().count(mark_, logged), 1);
  EXPECT_EQ(LogLines::get().count(mark_, "Registration successful"), 1);

  naming_.setRegisterResult(3);
  EXPECT_FALSE(app().registerInNamingService(naming_.url())) << "a refusal is no success";
  EXPECT_FALSE(app().registerInNamingService(closedUrl()));
  EXPECT_EQ(LogLines::get().count(mark_, "Registration failed"), 2);
}

TEST_F(OrxClient, ACommandOfThisProcessNeverTouchesTheNetwork) {
  appRemote().setNamingServiceUrl(naming_.url());
  const quint64 before = appRemote().connectionAttempts();
  auto same = Zarvo::call(app(), "TestLocalEcho");
  ASSERT_TRUE(same);
  EXPECT_EQ(same->details(), "local");
  RequestPacket request(QStringLiteral("TestLocalSeven"));
  auto other = app().callService<FindResponse>(request, true);
  ASSERT_TRUE(other) << "an answer of another class is carried over";
  EXPECT_EQ(other->result(), 7);
  EXPECT_EQ(other->details(), "seven");
  EXPECT_EQ(appRemote().connectionAttempts(), before);
  EXPECT_EQ(naming_.connections(), 0);
}

TEST_F(OrxClient, AnsweredUrlIsCachedAndTheRequestArrivesIntact) {
  naming_.setServiceUrl("TestRemoteA", service_.url().toString());
  service_.setReply("TestRemoteA", {httpResponse(responsePacket(0, "remote"))});
  for (int i = 0; i < 2; ++i) {
    auto reply = call("TestRemoteA");
    ASSERT_TRUE(reply);
    EXPECT_EQ(reply->result(), 0);
    EXPECT_EQ(reply->details(), "remote");
  }
  EXPECT_EQ(naming_.count("NSFindService"), 1) << "the second call uses the cache";
  EXPECT_EQ(elementTexts(naming_.requests().first().body, "Command"), QStringList{"TestRemoteA"});
  ASSERT_EQ(service_.count("TestRemoteA"), 2);
  QByteArray expected;
  RequestPacket(QStringLiteral("TestRemoteA")).toByteArray(expected);
  EXPECT_EQ(service_.requests().first().body, expected);
  EXPECT_TRUE(service_.requests().first().head.startsWith("GET TestRemoteA HTTP/1.1\r\n"));
}

TEST_F(OrxClient, AServiceThatMovedIsAskedForAfresh) {
  auto moved = std::make_unique<FakeNamingService>();
  naming_.setServiceUrl("TestMoved", moved->url().toString());
  moved->setReply("TestMoved", {httpResponse(responsePacket(0, "old place"))});
  ASSERT_EQ(call("TestMoved")->details(), "old place");
  moved.reset();  // its port is closed now
  naming_.setServiceUrl("TestMoved", service_.url().toString());
  service_.setReply("TestMoved", {httpResponse(responsePacket(0, "new place"))});
  auto limits = client().limits();
  limits.retryDelay = OrxServiceClient::Limits().retryDelay;  // the production pause
  client().setLimits(limits);
  // A clock of the test's own: the pause is recorded, not sat out.
  std::vector<std::chrono::milliseconds> pauses;
  client().setPause([&pauses](std::chrono::milliseconds delay, const Zarvo::StopToken&) {
    pauses.push_back(delay);
    return false;
  });
  EXPECT_EQ(call("TestMoved")->details(), "new place");
  EXPECT_EQ(pauses, std::vector<std::chrono::milliseconds>{3000ms});
  EXPECT_EQ(naming_.count("NSFindService"), 2);
  EXPECT_EQ(retries(), 1);
  EXPECT_EQ(LogLines::get().count(mark_, "SendRequest retry in 3sec."), 1);
}

// Five outer attempts, each asking the naming service anew where the service went.
TEST_F(OrxClient, AServiceNobodyCanReachFailsAfterFiveAttempts) {
  const QUrl closed = closedUrl();
  struct Case {
    const char* why;
    const char* command;
    std::function<void()> arrange;
    int result;
    const char* details;
    int finds;         // NSFindService requests the naming fake sees
    quint64 attempts;  // connections tried, 0: not counted
    int retries;       // "retry" lines, -1: not counted
  };
  const Case kCases[] = {
      {"no service is named for it", "TestNobody", [] {}, 2,
       "Can't find service for command: TestNobody", 5, 0, 4},
      {"the named service stays down", "TestDown",
       [&] { naming_.setServiceUrl("TestDown", closed.toString()); }, 1,
       "Connection to service failed", 5, 10, -1},
      {"the naming service is down: 5 outer attempts of 5 asks each", "TestNoNaming",
       [&] { client().setNamingServiceUrl(closed); }, 2,
       "Can't find service for command: TestNoNaming", 0, 25, 24},
  };
  for (const Case& c : kCases) {
    SCOPED_TRACE(c.why);
    c.arrange();
    mark_ = LogLines::get().mark();
    const int findsBefore = naming_.count("NSFindService");
    const quint64 before = client().connectionAttempts();
    auto reply = call(c.command);
    ASSERT_TRUE(reply);
    EXPECT_EQ(reply->result(), c.result);
    EXPECT_EQ(reply->details(), c.details);
    EXPECT_EQ(naming_.count("NSFindService") - findsBefore, c.finds);
    if (c.attempts) {
      EXPECT_EQ(client().connectionAttempts() - before, c.attempts);
    }
    if (c.retries >= 0) {
      EXPECT_EQ(retries(), c.retries);
    }
    EXPECT_EQ(call(c.command, false), nullptr) << "a caller that does not wait gets nothing";
  }
}

// A connection or job thread asked to stop (shutdown, a cancel) must not sit out the pauses
// between attempts: the pause ends at once and the caller gets the last attempt's failure.
TEST_F(OrxClient, AStopOfTheCallingThreadEndsTheRetryPauseAtOnce) {
  OrxServiceClient::Limits limits = client().limits();
  limits.retryDelay = 60000ms;  // five attempts would take four minutes
  client().setLimits(limits);
  naming_.setServiceUrl("TestStopped", closedUrl().toString());
  struct Caller : Zarvo::Thread {
    explicit Caller(OrxServiceClient& client) : client_(client) {}
    OrxServiceClient& client_;
    std::atomic<int> result{-100};
    void run() override {
      auto reply = Zarvo::call(client_, "TestStopped");
      result = reply ? reply->result() : -99;
    }
  } caller(client());
  // The production pause, announced: the stop must reach it through the calling thread.
  testing_sync::Signal pausing;
  client().setPause([&pausing](std::chrono::milliseconds delay, const Zarvo::StopToken& stop) {
    pausing.raise();
    return stop.sleepFor(delay);
  });
  caller.start();
  ASSERT_TRUE(pausing.wait()) << "the first attempt never failed";
  ASSERT_EQ(retries(), 1);
  const auto asked = std::chrono::steady_clock::now();
  caller.requestStop();
  ASSERT_TRUE(caller.wait(30000));
  EXPECT_LT(std::chrono::steady_clock::now() - asked, 20s);
  EXPECT_EQ(caller.result, 1) << "the stopped call reports the connection failure";
  EXPECT_EQ(naming_.count("NSFindService"), 1) << "no attempt after the stop";
}

TEST_F(OrxClient, APacketWithoutCommandIsAnsweredNotThrown) {
  ResponsePacket notARequest(0);
  auto reply = client().callService<ResponsePacket>(notARequest, true);
  ASSERT_TRUE(reply);
  EXPECT_EQ(reply->result(), 3);
  EXPECT_TRUE(reply->details().startsWith("Wrong request format: "));
  EXPECT_EQ(naming_.connections(), 0);
}

TEST_F(OrxClient, FaultyResponsesEndTheExchangeWithoutRetry) {
  const QByteArray packet = responsePacket(0, "fine");
  auto head = [](const QByteArray& fields) { return "HTTP/1.1 200 OK\r\n" + fields + "\r\n"; };
  // The head bounds themselves are the parser's; one row shows the client honours them.
  QByteArray manyFields;
  for (int i = 0; i < 101; ++i) manyFields += "X" + QByteArray::number(i) + ": v\r\n";
  struct Case {
    const char* why;
    QByteArray raw;
    int result;
    const char* details;
  };
  const Case cases[] = {
      {"status line is not examined",
       "HTTP/1.1 500 Oops\r\nContent-Length:" + QByteArray::number(packet.size()) + "\r\n\r\n" +
           packet,
       0, "fine"},
      {"no Content-Length: empty bytes", httpResponse(packet, false), 4, "Wrong response format: "},
      {"body is no packet", httpResponse("not xml"), 4, "Wrong response format: "},
      {"closed before a head", "", 6, "Communication with service failed"},
      {"101 header fields", head(manyFields), 6, "Communication"},
      {"header line without colon", head("NoColon\r\n"), 6, "Communication"},
      {"negative Content-Length", head("Content-Length: -5\r\n"), 6, "Communication"},
      {"body cut short", head("Content-Length: 100\r\n") + "short", 6, "Communication"},
  };
  int n = 0;
  for (const Case& c : cases) {
    SCOPED_TRACE(c.why);
    const QString command = QStringLiteral("TestFault%1").arg(n++);
    naming_.setServiceUrl(command, service_.url().toString());
    service_.setReply(command, {c.raw});
    auto reply = call(command);
    ASSERT_TRUE(reply);
    EXPECT_EQ(reply->result(), c.result);
    EXPECT_TRUE(reply->details().startsWith(c.details)) << reply->details().toStdString();
    EXPECT_EQ(service_.count(command.toLatin1()), 1);
  }
  EXPECT_EQ(retries(), 0);
}

TEST_F(OrxClient, BodyAboveTheCapIsRefused) {
  const QByteArray packet = responsePacket(0, "sized");
  naming_.setServiceUrl("TestCap", service_.url().toString());
  service_.setReply("TestCap", {httpResponse(packet)});
  ASSERT_EQ(call("TestCap")->result(), 0);  // caches the URL: the naming answer is larger
  auto limits = client().limits();
  limits.maxBody = packet.size();
  client().setLimits(limits);
  EXPECT_EQ(call("TestCap")->result(), 0) << "a body of exactly the cap";
  limits.maxBody = packet.size() - 1;
  client().setLimits(limits);
  EXPECT_EQ(call("TestCap")->result(), 6);
}

TEST_F(OrxClient, SilentAndTricklingPeersAreBoundedInTime) {
  auto limits = client().limits();
  limits.readWait = 300ms;
  client().setLimits(limits);
  naming_.setServiceUrl("TestSilent", service_.url().toString());
  service_.setReply("TestSilent", {{}, true});
  auto start = Clock::now();
  EXPECT_EQ(call("TestSilent")->result(), 6);
  EXPECT_GE(Clock::now() - start, 300ms);
  EXPECT_EQ(service_.count("TestSilent"), 1) << "a request that may have been taken is not resent";

  // A byte every 20 ms never trips a 10 s wait; only the bound on the whole read ends it.
  limits.readWait = 10000ms;
  limits.readTotal = 1000ms;
  client().setLimits(limits);
  naming_.setServiceUrl("TestTrickle", service_.url().toString());
  service_.setReply(
      "TestTrickle",
      {"HTTP/1.1 200 OK\r\nContent-Length: 100000\r\n\r\n" + QByteArray(2000, 'x'), false, 20});
  start = Clock::now();
  EXPECT_EQ(call("TestTrickle")->result(), 6);
  EXPECT_GE(Clock::now() - start, 1000ms);
  EXPECT_LT(Clock::now() - start, 8000ms);
}

TEST_F(OrxClient, ConcurrentCallersShareTheCache) {
  naming_.setServiceUrl("TestShared", service_.url().toString());
  service_.setReply("TestShared", {httpResponse(responsePacket(0, "shared"))});
  std::vector<std::future<int>> callers;
  for (int i = 0; i < 8; ++i) {
    callers.push_back(
        std::async(std::launch::async, [this] { return call("TestShared")->result(); }));
  }
  for (auto& c : callers) EXPECT_EQ(c.get(), 0);
  EXPECT_EQ(service_.count("TestShared"), 8);
  EXPECT_LE(naming_.count("NSFindService"), 8);
}

TEST_F(OrxClient, AUrlWithoutAPortMeansPort80) {
  QTcpServer port80;
  if (!port80.listen(QHostAddress::LocalHost, 80)) GTEST_SKIP() << "port 80 cannot be bound here";
  QByteArray bytes;
  RequestPacket(QStringLiteral("TestPort")).toByteArray(bytes);
  EXPECT_NO_THROW((void)client().exchange(bytes, QUrl("http://127.0.0.1/"), "TestPort", false));
  EXPECT_TRUE(port80.waitForNewConnection(5000));
}

TEST(LocalAddress, KernelRouteOrEmpty) {
  struct Case {
    const char* why;
    QString host;
    QString expected;
  } cases[] = {
      {"loopback reaches itself", "127.0.0.1", "127.0.0.1"},
      {"any loopback address leaves through 127.0.0.1", "127.0.0.5", "127.0.0.1"},
      {"not an address", "printer.example", ""},
      {"octet out of range", "256.1.1.1", ""},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.why);
    EXPECT_EQ(Zarvo::localAddressFor(c.host), c.expected);
  }
}

// The built program with a configuration naming the fake, once it has answered a request: its
// start-up, registration included, is over then. Null when the program is not built.
std::unique_ptr<testing_exe::RunningHost> startExecutable(QByteArray config,
                                                          FakeNamingService& naming) {
  testing_qt::coreApp();
  const QString built = QCoreApplication::applicationDirPath() + "/ZarvoPluginDSM";
  if (!QFile::exists(built)) return nullptr;
  auto host = std::make_unique<testing_exe::RunningHost>(
      built, config.replace("NAMING", naming.url().toEncoded()));
  EXPECT_TRUE(host->start()) << host->output().toStdString();
  if (host->port() != 0) testing_http::exchange(host->port(), testing_http::post("/Nothing", ""));
  return host;
}

TEST(ExecutableRegistration, RegistersOnceWithOneDispatcherUrl) {
  FakeNamingService naming;
  const auto host = startExecutable("<c><DispatcherURL>NAMING</DispatcherURL></c>", naming);
  if (!host) GTEST_SKIP() << "the executable is not built";
  ASSERT_EQ(naming.count("NSRegisterService"), 1) << host->output().toStdString();
  const QByteArray body = naming.requests().first().body;
  const QStringList urls = elementTexts(body, "URL");
  ASSERT_EQ(urls.size(), 1);
  EXPECT_TRUE(urls.first().endsWith(QStringLiteral(":%1/").arg(host->port())));
  const QStringList methods = elementTexts(body, "method");
  EXPECT_TRUE(std::is_sorted(methods.begin(), methods.end()));
}

// A naming service that restarted has forgotten us: the process notices at its next check and
// registers again, once per time it finds itself forgotten, saying so on "info".
TEST(ExecutableRegistration, RegistersAgainWhenTheNamingServiceNoLongerNamesIt) {
  FakeNamingService naming;  // names nobody for anything until told
  const auto host = startExecutable(
      "<c><DispatcherURL>NAMING</DispatcherURL>"
      "<RegistrationInterval>1</RegistrationInterval></c>",
      naming);
  if (!host) GTEST_SKIP() << "the executable is not built";
  const auto waitFor = [&](const std::function<bool()>& done) {
    QElapsedTimer timer;
    timer.start();
    while (!done() && timer.elapsed() < 10000) host->process().waitForReadyRead(20);
    return done();
  };
  ASSERT_TRUE(waitFor([&] { return naming.count("NSRegisterService") >= 2; }))
      << host->output().toStdString();
  const QList<testing_orx::Received> requests = naming.requests();
  const auto asked =
      std::find_if(requests.begin(), requests.end(),
                   [](const testing_orx::Received& r) { return r.path == "NSFindService"; });
  ASSERT_NE(asked, requests.end());
  EXPECT_EQ(elementTexts(asked->body, "Command"), QStringList{"DSMAddFile"})
      << "a command of its own, not a management command every process answers";

  // Named again: the checks go on, the registrations stop.
  naming.setServiceUrl("DSMAddFile", QStringLiteral("http://127.0.0.1:%1/").arg(host->port()));
  const int finds = naming.count("NSFindService");
  ASSERT_TRUE(waitFor([&] { return naming.count("NSFindService") >= finds + 2; }));
  const int registrations = naming.count("NSRegisterService");
  ASSERT_TRUE(waitFor([&] { return naming.count("NSFindService") >= finds + 4; }));
  EXPECT_EQ(naming.count("NSRegisterService"), registrations);
  const QByteArray log = host->output();
  EXPECT_EQ(log.count("registering again"), registrations - 1) << log.toStdString();
}

TEST(ExecutableRegistration, TwoDispatcherUrlsMeanNoRegistration) {
  FakeNamingService naming;
  const auto host = startExecutable(
      "<c><DispatcherURL>NAMING</DispatcherURL><DispatcherURL>NAMING</DispatcherURL></c>", naming);
  if (!host) GTEST_SKIP() << "the executable is not built";
  EXPECT_NE(host->port(), 0) << "it still serves";
  EXPECT_EQ(naming.connections(), 0);
}

}  // namespace

}  // namespace Zarvo
