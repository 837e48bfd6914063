// Where the built executable listens and whom it answers: the host of ServiceURL is the address
// it binds (0.0.0.0: every address), and a client outside AllowedClients is closed on unread,
// with one warning line however often it knocks.
#include <gtest/gtest.h>

#include <QTcpServer>

#include "tests/fakes/HttpProbe.h"
#include "tests/fakes/QtApp.h"
#include "tests/fakes/RunningHost.h"

#ifdef ZARVO_EXECUTABLE

namespace Zarvo {
namespace {

using testing_http::Answer;
using testing_http::exchange;
using testing_http::post;

const QByteArray kRequest =
    post("/DSMServerGetFileList", "<OrxRequest command=\"DSMServerGetFileList\"></OrxRequest>");

// A port free on every address right now (the executable binds it a moment later).
quint16 freePort() {
  testing_qt::coreApp();
  QTcpServer probe;
  EXPECT_TRUE(probe.listen(QHostAddress::AnyIPv4, 0));
  return probe.serverPort();
}

QByteArray config(const QByteArray& children) {
  return "<ApplicationConfig><Name>t</Name>" + children + "</ApplicationConfig>";
}

class ListenAddress : public ::testing::Test {
 protected:
  void SetUp() override {
#if defined(__SANITIZE_THREAD__)
    GTEST_SKIP() << "the executable cannot be started under ThreadSanitizer";
#endif
  }
  void TearDown() override {
    if (HasFailure() && host_) std::cerr << host_->output().toStdString();
  }
  void start(const QByteArray& children) {
    host_ = std::make_unique<testing_exe::RunningHost>(ZARVO_EXECUTABLE, config(children));
    ASSERT_TRUE(host_->start());
  }
  std::unique_ptr<testing_exe::RunningHost> host_;
};

TEST_F(ListenAddress, TheServiceUrlsHostIsWhereItListens) {
  struct Case {
    const char* why;
    const char* host;  // of ServiceURL
    bool secondAddressAnswered;
  };
  const Case kCases[] = {
      {"one address", "127.0.0.1", false},
      {"a name, resolved once at start", "localhost", false},
      {"every IPv4 address", "0.0.0.0", true},
  };
  for (const Case& c : kCases) {
    SCOPED_TRACE(c.why);
    const quint16 port = freePort();
    start("<ServiceURL>http://" + QByteArray(c.host) + ":" + QByteArray::number(port) +
          "/</ServiceURL>");
    ASSERT_EQ(host_->port(), port);
    EXPECT_EQ(exchange(nullptr, "127.0.0.1", port, kRequest).status(), 200);
    const Answer second = exchange(nullptr, "127.0.0.2", port, kRequest);
    EXPECT_EQ(second.connected, c.secondAddressAnswered);
    EXPECT_EQ(second.status(), c.secondAddressAnswered ? 200 : 0);
  }
}

TEST_F(ListenAddress, WithoutAServiceUrlOnlyLoopbackOneReachesTheChosenPort) {
  start(QByteArray());
  EXPECT_EQ(exchange(nullptr, "127.0.0.1", host_->port(), kRequest).status(), 200);
  EXPECT_FALSE(exchange(nullptr, "127.0.0.2", host_->port(), kRequest).connected);
}

TEST_F(ListenAddress, AClientOutsideTheListGetsNoAnswerAndOneWarning) {
  const quint16 port = freePort();
  start("<ServiceURL>http://0.0.0.0:" + QByteArray::number(port) +
        "/</ServiceURL><AllowedClients>127.0.0.1, bogus</AllowedClients>");
  for (int i = 0; i < 3; ++i) {
    const Answer refused = exchange("127.0.0.99", "127.0.0.1", port, kRequest, 5000);
    EXPECT_TRUE(refused.connected);
    EXPECT_TRUE(refused.head.isEmpty()) << "not a byte of an answer";
  }
  EXPECT_EQ(exchange("127.0.0.1", "127.0.0.1", port, kRequest).status(), 200);
  const QByteArray warning = "Connection from 127.0.0.99 closed: not in AllowedClients";
  EXPECT_TRUE(host_->waitForOutput(warning));
  const QString out = QString::fromUtf8(host_->output());
  EXPECT_EQ(out.count(QString::fromLatin1(warning)), 1);
  EXPECT_EQ(out.count("AllowedClients entry is no IPv4 address or range, ignored: bogus"), 1)
      << "a malformed entry is reported, the rest still applies";
}

}  // namespace
}  // namespace Zarvo

#endif
