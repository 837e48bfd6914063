// Tests of the device CGI client against a loopback fake of a device's web server: what goes on
// the wire, which answers count as success, and that no device can hold a caller forever.
#include <arpa/inet.h>
#include <curl/curl.h>
#include <gtest/gtest.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

#include <atomic>
#include <chrono>

#include "plugin/HTTPClient.h"
#include "tests/fakes/Bytes.h"
#include "tests/fakes/FakeHttpServer.h"
#include "tests/fakes/LoopbackSocket.h"

namespace Zarvo::dsm {
namespace {

using testing_bytes::bytes;
using testing_bytes::hex;
using testing_http::FakeHttpServer;
using testing_http::httpResponse;
using testing_http::multipartParts;
using testing_http::parseRequest;
using Clock = std::chrono::steady_clock;

// The plug-in service owns libcurl's global set-up in production; the test binary does it here.
class CurlEnvironment : public ::testing::Environment {
 public:
  void SetUp() override { ASSERT_EQ(curl_global_init(CURL_GLOBAL_DEFAULT), CURLE_OK); }
  void TearDown() override { curl_global_cleanup(); }
};
[[maybe_unused]] ::testing::Environment* const kCurlEnvironment =
    ::testing::AddGlobalTestEnvironment(new CurlEnvironment);

QByteArray part(const char* name, const QByteArray& value) {
  return QByteArray("Content-Disposition: form-data; name=\"") + name + "\"\r\n\r\n" + value;
}

// Short bounds so failing devices are detected in about a second; generous enough for a loaded
// machine to never trip them on a healthy exchange.
HTTPClient::Limits quickLimits() {
  HTTPClient::Limits l;
  l.connectTimeout = std::chrono::milliseconds(5'000);
  l.lowSpeedTime = std::chrono::seconds(1);
  return l;
}

double secondsSince(Clock::time_point start) {
  return std::chrono::duration<double>(Clock::now() - start).count();
}

class HttpClientTest : public ::testing::Test {
 protected:
  FakeHttpServer device_;
};

// ---- What the request carries ----

TEST_F(HttpClientTest, FormFieldsTravelAsPartsInListOrder) {
  // A delete of two files repeats the three fields once per file, first file first; values go
  // as Latin-1, an empty value is still a part, and a NUL must not cut a value.
  device_.setReply("", {httpResponse("file bytes")});
  const HTTPClient::Form form = {{"FileName", "b.pcl"},
                                 {"FileType", QString()},
                                 {"FontMacroId", QString::fromLatin1("1\0002", 3)},
                                 {"FileName", QString::fromLatin1("caf\xE9 x.ps")},
                                 {"FileType", "1"},
                                 {"FontMacroId", "12"}};
  EXPECT_EQ(HTTPClient::post(device_.url("DSMDeletefiles.cgi"), form), "file bytes");

  ASSERT_EQ(device_.requests().size(), 1);
  const auto request = parseRequest(device_.requests().first().raw());
  ASSERT_TRUE(request.valid) << hex(device_.requests().first().raw());
  EXPECT_EQ(request.method, "POST");
  EXPECT_EQ(request.target, "/DSMDeletefiles.cgi");
  EXPECT_EQ(request.values("Content-Length"),
            QList<QByteArray>{QByteArray::number(request.body.size())});
  const QList<QByteArray> expected = {part("FileName", "b.pcl"),
                                      part("FileType", ""),
                                      part("FontMacroId", bytes("1\0002", 3)),
                                      part("FileName", "caf\xE9 x.ps"),
                                      part("FileType", "1"),
                                      part("FontMacroId", "12")};
  EXPECT_EQ(multipartParts(request), expected) << hex(request.body);

  EXPECT_EQ(HTTPClient::post(device_.url("DSMGetFiles.cgi"), {}), "file bytes");
  const auto get = parseRequest(device_.requests().last().raw());
  EXPECT_EQ(get.method, "GET") << "an empty form is a plain GET";
  EXPECT_EQ(get.target, "/DSMGetFiles.cgi");
  EXPECT_TRUE(get.body.isEmpty());
}

TEST_F(HttpClientTest, NoExpectHeaderEvenForABodyLargeEnoughToTriggerIt) {
  // libcurl announces bodies over 1 MiB with an Expect header and then waits for an interim
  // answer the devices never give; the request must carry no Expect with a value.
  const HTTPClient::Form form = {{"FileName", QString(1100 * 1024, QLatin1Char('x'))}};
  const auto start = Clock::now();
  (void)HTTPClient::post(device_.url("DSMGetFiles.cgi"), form, {}, quickLimits());
  EXPECT_LT(secondsSince(start), 0.9) << "stalled waiting for an interim answer";
  ASSERT_EQ(device_.requests().size(), 1);
  const auto request = parseRequest(device_.requests().first().raw());
  for (const QByteArray& v : request.values("Expect")) EXPECT_EQ(v, "");
  EXPECT_EQ(multipartParts(request).size(), 1);
}

// ---- Which answers count ----

TEST_F(HttpClientTest, OnlyStatus200ReturnsTheBody) {
  const QByteArray binary = bytes("\x00\x01%!PS\r\n\xFF\x00tail", 15);
  struct Case {
    const char* why;
    int status;
    QByteArray body;
    bool withLength;
    bool ok;
  };
  const Case kCases[] = {
      {"200 returns binary body intact", 200, binary, true, true},
      {"200 without Content-Length, body up to close", 200, binary, false, true},
      {"200 with empty body is not an error here", 200, "", true, true},
      {"404 page missing", 404, "not found", true, false},
      {"204 is success for HTTP but not a 200", 204, "", true, false},
      {"301 is not followed", 301, "", true, false},
  };
  for (const auto& c : kCases) {
    SCOPED_TRACE(c.why);
    device_.setReply("", {httpResponse(c.body, c.withLength, c.status)});
    const HTTPClient::Form form = {{"FileName", "a.ps"}};
    if (c.ok) {
      EXPECT_EQ(hex(HTTPClient::post(device_.url("DSMGetFiles.cgi"), form, {}, quickLimits())),
                hex(c.body));
    } else {
      EXPECT_THROW((void)HTTPClient::post(device_.url("DSMGetFiles.cgi"), form, {}, quickLimits()),
                   HTTPClient::HTTPClientError);
    }
  }
}

// Binds fd to 127.0.0.1:<ephemeral> and returns the URL of the fetch page on that port.
QUrl bindLoopback(int fd, int backlog = -1) {
  sockaddr_in addr{};
  addr.sin_family = AF_INET;
  addr.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  socklen_t len = sizeof addr;
  if (::bind(fd, reinterpret_cast<sockaddr*>(&addr), sizeof addr) != 0 ||
      (backlog >= 0 && ::listen(fd, backlog) != 0) ||
      ::getsockname(fd, reinterpret_cast<sockaddr*>(&addr), &len) != 0) {
    ADD_FAILURE() << "cannot bind a loopback socket";
  }
  return QUrl(QStringLiteral("http://127.0.0.1:%1/DSMGetFiles.cgi").arg(ntohs(addr.sin_port)));
}

TEST(HttpClientUnreachable, RefusedConnectionThrows) {
  // A bound but not listening port refuses at once; keeping it bound keeps the port ours.
  const int fd = ::socket(AF_INET, SOCK_STREAM, 0);
  const QUrl url = bindLoopback(fd);
  EXPECT_THROW((void)HTTPClient::post(url, {{"FileName", "a.ps"}}), HTTPClient::HTTPClientError);
  ::close(fd);
}

TEST(HttpClientUnreachable, UnansweredConnectGivesUpAfterTheConnectTimeout) {
  // A listener whose accept queue is full drops further SYNs, like a device that vanished
  // from the network: the connect itself hangs until the connect time-out ends it.
  const int listener = ::socket(AF_INET, SOCK_STREAM, 0);
  const int filler = ::socket(AF_INET, SOCK_STREAM, 0);
  const QUrl url = bindLoopback(listener, 0);
  sockaddr_in addr{};
  addr.sin_family = AF_INET;
  addr.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  addr.sin_port = htons(quint16(url.port()));
  ASSERT_EQ(::connect(filler, reinterpret_cast<sockaddr*>(&addr), sizeof addr), 0);

  HTTPClient::Limits limits;  // production low-speed limit: only the connect time-out can end it
  limits.connectTimeout = std::chrono::milliseconds(300);
  const auto start = Clock::now();
  EXPECT_THROW((void)HTTPClient::post(url, {{"FileName", "a.ps"}}, {}, limits),
               HTTPClient::HTTPClientError);
  EXPECT_LT(secondsSince(start), 10.0);
  ::close(filler);
  ::close(listener);
}

TEST(HttpClientUnreachable, NonHttpSchemesAreRefusedBeforeAnyConnection) {
  // Only the devices' web pages may be reached: a malformed address must neither open a local
  // file nor speak another protocol to whatever listens there.
  quint16 port = 0;
  const int listener = testing_net::listenOnLoopback(8, port);
  const QString where = QStringLiteral("127.0.0.1:%1").arg(port);
  const QString kUrls[] = {
      QStringLiteral("ftp://%1/a.ps"),     // would connect and wait for a greeting
      QStringLiteral("telnet://%1/"),      // would connect and send the form raw
      QStringLiteral("dict://%1/d:font"),  // would connect and send a command line
      QStringLiteral("gopher://%1/1"),     // would connect and send the selector
  };
  HTTPClient::Limits limits = quickLimits();
  for (const QString& pattern : kUrls) {
    const QUrl url(pattern.arg(where));
    SCOPED_TRACE(url.toString().toStdString());
    EXPECT_THROW((void)HTTPClient::post(url, {{"FileName", "a.ps"}}, {}, limits),
                 HTTPClient::HTTPClientError);
    const int reached = testing_net::acceptWithin(listener, 50);
    EXPECT_LT(reached, 0) << "a non-http request reached the listener";
    if (reached >= 0) ::close(reached);
  }
  EXPECT_THROW((void)HTTPClient::post(QUrl("file:///etc/hostname"), {}),
               HTTPClient::HTTPClientError);
  ::close(listener);
}

// ---- Bounds: no device holds a caller forever ----

TEST_F(HttpClientTest, SilentDeviceThrowsAfterTheLowSpeedTime) {
  device_.setReply("", {{}, true});
  const auto start = Clock::now();
  EXPECT_THROW((void)HTTPClient::post(device_.url("DSMGetFiles.cgi"), {{"FileName", "a.ps"}}, {},
                                      quickLimits()),
               HTTPClient::HTTPClientError);
  const double took = secondsSince(start);
  EXPECT_GE(took, 0.9) << "gave up before the configured time";
  EXPECT_LT(took, 30.0);  // libcurl averages speed over a few seconds
  EXPECT_EQ(device_.requests().size(), 1) << "the request itself was sent";
}

TEST_F(HttpClientTest, StopCheckAbortsAHangingTransferPromptly) {
  device_.setReply("", {{}, true});
  std::atomic<int> polls{0};
  const auto start = Clock::now();
  // Production limits: without the stop check this call would wait 120 s.
  const HTTPClient::StopCheck stop = [&] {
    ++polls;
    return Clock::now() - start > std::chrono::milliseconds(300);
  };
  EXPECT_THROW((void)HTTPClient::post(device_.url("DSMGetFiles.cgi"), {{"FileName", "a.ps"}}, stop),
               HTTPClient::HTTPClientError);
  EXPECT_LT(secondsSince(start), 10.0);
  EXPECT_GT(polls.load(), 1);

  // A stop already requested, or a check that throws, reaches no device at all.
  const HTTPClient::StopCheck kStopped[] = {[] { return true; }, []() -> bool { throw 42; }};
  for (const auto& stopped : kStopped) {
    EXPECT_THROW((void)HTTPClient::post(device_.url("DSMGetFiles.cgi"), {}, stopped),
                 HTTPClient::HTTPClientError);
  }
  EXPECT_EQ(device_.requests().size(), 1) << "only the hanging one";
}

TEST_F(HttpClientTest, BodyOverTheCapThrowsAndAtTheCapReturns) {
  HTTPClient::Limits limits = quickLimits();
  limits.maxBodyBytes = 1000;
  struct Case {
    const char* why;
    qsizetype size;
    bool sendLength;
    bool ok;
  };
  const Case kCases[] = {
      {"exactly the cap", 1000, true, true},
      {"announced over the cap", 1001, true, false},
      {"unannounced over the cap, read until close", 64 * 1024, false, false},
      {"unannounced, exactly the cap", 1000, false, true},
  };
  for (const auto& c : kCases) {
    SCOPED_TRACE(c.why);
    const QByteArray body(c.size, 'z');
    device_.setReply("", {httpResponse(body, c.sendLength)});
    if (c.ok) {
      EXPECT_EQ(HTTPClient::post(device_.url("DSMGetFiles.cgi"), {}, {}, limits).size(), c.size);
    } else {
      EXPECT_THROW((void)HTTPClient::post(device_.url("DSMGetFiles.cgi"), {}, {}, limits),
                   HTTPClient::HTTPClientError);
    }
  }
}

}  // namespace

}  // namespace Zarvo::dsm
