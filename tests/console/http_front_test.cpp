// The console's HTTP front over loopback, with the model of the suite behind it: who is answered,
// how large a body may be, where uploads go (and that nothing lands beside the upload
// directory), the page's own headers, and live updates as server-sent events.
#include <gtest/gtest.h>
#include <httplib.h>

#include <QDir>
#include <QJsonDocument>
#include <QTemporaryDir>
#include <thread>

#include "console/ConsoleApi.h"
#include "console/HttpFront.h"
#include "console/OperationFeed.h"
#include "tests/console/FakeSuite.h"

namespace Zarvo::console {
namespace {

const char* const kToken = "00112233445566778899aabbccddeeff";

class Front : public ::testing::Test {
 protected:
  void SetUp() override {
    ASSERT_TRUE(dir_.isValid());
    QString error;
    ASSERT_TRUE(uploads_.prepare(&error)) << error.toStdString();
    ASSERT_TRUE(front_.bind("127.0.0.1", 0, &error)) << error.toStdString();
    server_ = std::thread([this] { front_.serve(); });
    client_ = std::make_unique<httplib::Client>("127.0.0.1", front_.port());
    client_->set_read_timeout(10, 0);
    client_->set_write_timeout(10, 0);
  }
  void TearDown() override {
    feed_.close();
    front_.stop();
    if (server_.joinable()) server_.join();
  }

  httplib::Headers changes() const { return {{"X-Console-Token", kToken}}; }
  httplib::Result upload(const std::string& filename, const std::string& content,
                         const httplib::Headers& headers) {
    return client_->Post(
        "/api/store", headers,
        httplib::MultipartFormDataItems{{"file", content, filename, "text/plain"}});
  }
  static std::string code(const httplib::Result& r) {
    return QJsonDocument::fromJson(QByteArray::fromStdString(r->body))["error"]
        .toObject()["code"]
        .toString()
        .toStdString();
  }
  // Every file in the temporary directory, the upload directory included.
  QStringList everyFile() const {
    QStringList found;
    for (const QString& sub : {QString(), QStringLiteral("uploads")}) {
      for (const QString& f : QDir(dir_.filePath(sub)).entryList(QDir::Files)) found << f;
    }
    return found;
  }

  QTemporaryDir dir_;
  testing_console::FakeSuite suite_;
  ConsoleServices services_{suite_.client()};
  RequestGuard guard_{kToken, 0};
  UploadDirectory uploads_{dir_.filePath("uploads"), 1024};
  ConsoleApi api_{services_, guard_};
  OperationFeed feed_{[this] { return ConsoleApi::summaryOf(services_.operations()); },
                      std::chrono::milliseconds(5)};
  HttpFront front_{api_, feed_, uploads_, guard_,
                   HttpFront::Limits{4096, 8, std::chrono::seconds(1), std::chrono::seconds(5),
                                     std::chrono::seconds(5)}};
  std::thread server_;
  std::unique_ptr<httplib::Client> client_;
};

TEST_F(Front, ThePageComesWithHeadersThatKeepOtherSitesOut) {
  auto page = client_->Get("/");
  ASSERT_TRUE(page);
  EXPECT_EQ(page->status, 200);
  EXPECT_NE(page->body.find("<script type=\"module\" src=\"/app.js\">"), std::string::npos);
  EXPECT_NE(page->get_header_value("Content-Security-Policy").find("frame-ancestors 'none'"),
            std::string::npos);
  EXPECT_EQ(client_->Get("/app.js")->get_header_value("Content-Type"),
            "text/javascript; charset=utf-8");
  EXPECT_EQ(client_->Get("/nothing.js")->status, 404);
  EXPECT_EQ(client_->Get("/..%2Fmain.cpp")->status, 404);

  // A page of another site that rebinds its own name to us is not answered.
  auto rebound =
      client_->Get("/api/devices", {{"Host", "evil.example:" + std::to_string(front_.port())}});
  ASSERT_TRUE(rebound);
  EXPECT_EQ(rebound->status, 421);
  EXPECT_EQ(client_->Get("/api/devices")->status, 200);
}

TEST_F(Front, UploadsLandInTheUploadDirectoryOnlyAndOnlyWithTheToken) {
  struct Case {
    const char* why;
    std::string filename;
    std::string content;
    bool token;
    int status;
    const char* code;
  };
  const Case cases[] = {
      {"no token", "a.pfa", "%!PS", false, 403, "NoToken"},
      {"a name that climbs out", "../evil.pfa", "%!PS", true, 400, "BadName"},
      {"a name with a path", "/tmp/evil.pfa", "%!PS", true, 400, "BadName"},
      {"a hidden name", ".evil", "%!PS", true, 400, "BadName"},
      {"one byte over the limit", "big.pfa", std::string(1025, 'x'), true, 413, "TooLarge"},
      {"a whole body over the limit", "huge.pfa", std::string(200 * 1024, 'x'), true, 413,
       "TooLarge"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.why);
    auto r = upload(c.filename, c.content, c.token ? changes() : httplib::Headers{});
    ASSERT_TRUE(r) << httplib::to_string(r.error());
    EXPECT_EQ(r->status, c.status);
    EXPECT_EQ(code(r), c.code);
    EXPECT_EQ(everyFile(), QStringList{});
  }
  EXPECT_EQ(suite_.changes(), QStringList{});

  auto stored = upload("a.pfa", std::string(1024, 'x'), changes());
  ASSERT_TRUE(stored);
  EXPECT_EQ(stored->status, 201) << stored->body;
  EXPECT_EQ(everyFile(), QStringList{}) << "the storage manager keeps its own copy";
  EXPECT_EQ(suite_.changes(), QStringList{"DSMServerAddFile"});
  const QByteArray sent = suite_.lastRequest("DSMServerAddFile");
  EXPECT_TRUE(sent.contains(QDir(dir_.filePath("uploads")).absolutePath().toUtf8() + "/upload-"))
      << sent.toStdString();
}

TEST_F(Front, BodiesLargerThanTheirRouteTakesAreRefusedBeforeTheyAreRead) {
  const std::string big(8192, ' ');
  auto r = client_->Post("/api/operations", changes(), big, "application/json");
  ASSERT_TRUE(r);
  EXPECT_EQ(r->status, 413);
  EXPECT_EQ(code(r), "TooLarge");
  auto bad = client_->Post("/api/operations", changes(), "{\"type\":", "application/json");
  ASSERT_TRUE(bad);
  EXPECT_EQ(bad->status, 400);
  EXPECT_EQ(code(bad), "BadJson");
}

TEST_F(Front, LiveUpdatesArriveAsServerSentEvents) {
  suite_.addOperation("ADD", "-", "127.0.0.2");
  std::string received;
  auto r = client_->Get("/api/events", [&](const char* data, size_t size) {
    received.append(data, size);
    return received.find("\n\n") == std::string::npos;  // one event is enough
  });
  EXPECT_NE(received.find("event: operations\ndata: {"), std::string::npos) << received;
  EXPECT_NE(received.find("\"IN_PROGRESS\":1"), std::string::npos) << received;
}

}  // namespace
}  // namespace Zarvo::console
