// The console's JSON API against a model of the storage manager and the device management
// service: what it refuses (and that a refused request changes nothing), what it sends, and what
// it makes of the answers.
#include <gtest/gtest.h>

#include <QJsonArray>
#include <QJsonDocument>
#include <QJsonObject>
#include <QTemporaryDir>

#include "console/ConsoleApi.h"
#include "tests/console/FakeSuite.h"

namespace Zarvo::console {
namespace {

using testing_console::FakeOperation;
using testing_console::FakeSuite;

const QByteArray kToken = "0123456789abcdef0123456789abcdef";

class Api : public ::testing::Test {
 protected:
  Api() : services_(suite_.client()), guard_(kToken, 8070), api_(services_, guard_) {}

  // A request as the page sends it: our Host, our token, JSON.
  ApiRequest request(const QByteArray& method, const QString& path, const QByteArray& body = {}) {
    ApiRequest r;
    r.method = method;
    const qsizetype q = path.indexOf('?');
    for (const QString& s : (q < 0 ? path : path.left(q)).split('/', Qt::SkipEmptyParts))
      r.segments << s;
    if (q >= 0) r.query = QUrlQuery(path.mid(q + 1));
    r.headers = {{"host", "127.0.0.1:8070"},
                 {"origin", "http://127.0.0.1:8070"},
                 {"x-console-token", kToken},
                 {"content-type", "application/json"}};
    r.body = body;
    return r;
  }
  // The answer as a const value, so that answer["error"]["code"] reads through.
  const QJsonValue call(const ApiRequest& r, int* status = nullptr) {
    const ApiReply reply = api_.handle(r);
    if (status) *status = reply.status;
    return QJsonDocument::fromJson(reply.body).object();
  }
  const QJsonValue call(const QByteArray& method, const QString& path, const QByteArray& body = {},
                        int* status = nullptr) {
    return call(request(method, path, body), status);
  }

  FakeSuite suite_;
  ConsoleServices services_;
  RequestGuard guard_;
  ConsoleApi api_;
};

TEST_F(Api, RefusesWhatItCannotDoWithAClearAnswerAndChangesNothing) {
  suite_.store = {{"Garamond.pfa", 100, "psFont", "", 10}};
  suite_.addOperation("ADD", "-", "127.0.0.2");  // 0, running
  struct Case {
    const char* why;
    QString request;  // method and path
    QByteArray body;
    int status;
    const char* code;
  };
  const Case cases[] = {
      {"a body that is not JSON", "POST /api/operations", "{\"type\": ", 400, "BadJson"},
      {"JSON that is no object", "POST /api/operations", "[1, 2]", 400, "BadJson"},
      {"an operation type nobody knows", "POST /api/operations", R"({"type":"print"})", 400,
       "BadType"},
      {"a copy with no destination", "POST /api/operations",
       R"({"type":"copy","source":1,"destinations":[],"files":["Courier"]})", 400, "BadField"},
      {"a printer the fleet does not have", "POST /api/operations",
       R"({"type":"add","devices":[9],"files":["Garamond.pfa"]})", 400, "UnknownDevice"},
      {"an address the fleet does not have", "POST /api/operations",
       R"({"type":"add","devices":["10.0.0.1"],"files":["Garamond.pfa"]})", 400, "UnknownDevice"},
      {"a stored file that is not there", "POST /api/operations",
       R"({"type":"add","devices":[1],"files":["Missing.pfa"]})", 400, "UnknownStoreFile"},
      {"a file the source does not hold", "POST /api/operations",
       R"({"type":"copy","source":1,"destinations":[2],"files":["Nope"]})", 400,
       "UnknownDeviceFile"},
      {"a copy onto its own source", "POST /api/operations",
       R"({"type":"copy","source":1,"destinations":[1],"files":["Courier"]})", 400, "BadField"},
      {"a file name with a line break", "POST /api/operations",
       R"({"type":"delete","device":1,"files":[{"name":"a\nb","kind":"psForm","size":1,"id":0}]})",
       400, "BadFile"},
      {"an operation ID that is no number", "GET /api/operations/abc", {}, 400, "BadId"},
      {"past the registry's range", "GET /api/operations/4294967295", {}, 400, "BadId"},
      {"an unknown operation", "GET /api/operations/77", {}, 404, "UnknownOperation"},
      {"cancel of one", "POST /api/operations/77/cancel", {}, 404, "UnknownOperation"},
      {"retry of one", "POST /api/operations/77/retry", {}, 404, "UnknownOperation"},
      // Retrying a running operation would hold the answer for minutes.
      {"retry of a running operation", "POST /api/operations/0/retry", {}, 409, "StillRunning"},
      {"files of an unknown printer", "GET /api/devices/9/files", {}, 404, "UnknownDevice"},
      {"a stored name that climbs out", "DELETE /api/store/../x.pfa", {}, 400, "BadName"},
      {"a stored name that is not there",
       "DELETE /api/store/Nope.pfa",
       {},
       404,
       "UnknownStoreFile"},
      {"a page of no operations", "GET /api/operations?limit=0", {}, 400, "BadQuery"},
      {"a status nobody knows", "GET /api/operations?status=DONE", {}, 400, "BadQuery"},
      {"a method the path does not take", "PUT /api/devices", {}, 405, "BadMethod"},
      {"a path that is not there", "GET /api/printers", {}, 404, "NoSuchPath"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.why);
    const QString path = c.request.section(' ', 1);
    ApiRequest r = request(c.request.section(' ', 0, 0).toLatin1(), path, c.body);
    // The path as the HTTP front hands it over: "../x.pfa" arrives as one decoded segment.
    if (path.startsWith("/api/store/")) r.segments = {"api", "store", path.mid(11)};
    int status = 0;
    const QJsonValue answer = call(r, &status);
    EXPECT_EQ(status, c.status);
    EXPECT_EQ(answer["error"]["code"].toString(), c.code);
    EXPECT_FALSE(answer["error"]["message"].toString().isEmpty());
  }
  EXPECT_EQ(suite_.changes(), QStringList{});
}

TEST_F(Api, ChangesNeedTheTokenAndTheConsolesOwnOrigin) {
  struct Case {
    const char* why;
    QByteArray header;
    QByteArray value;  // empty: the header is left out
    int status;
    const char* code;
  };
  const Case cases[] = {
      {"no token", "x-console-token", "", 403, "NoToken"},
      {"a wrong token", "x-console-token", "0123456789abcdef0123456789abcdee", 403, "BadToken"},
      {"a token of another length", "x-console-token", "0123", 403, "BadToken"},
      {"another site's page", "origin", "http://evil.example", 403, "ForeignOrigin"},
      {"a page without an origin (sandboxed)", "origin", "null", 403, "ForeignOrigin"},
      {"the browser says it comes from elsewhere", "sec-fetch-site", "cross-site", 403,
       "ForeignOrigin"},
      {"a form post, not JSON", "content-type", "text/plain", 415, "NotJson"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.why);
    ApiRequest r = request("POST", "/api/operations/clear");
    if (QByteArray(c.header) == "content-type") r = request("POST", "/api/operations", "{}");
    if (c.value.isEmpty()) {
      r.headers.remove(c.header);
    } else {
      r.headers[c.header] = c.value;
    }
    int status = 0;
    EXPECT_EQ(call(r, &status)["error"]["code"].toString(), c.code);
    EXPECT_EQ(status, c.status);
  }
  EXPECT_EQ(suite_.changes(), QStringList{});

  // Scripts send no Origin; the token alone lets them through.
  ApiRequest script = request("POST", "/api/operations/clear");
  script.headers.remove("origin");
  int status = 0;
  call(script, &status);
  EXPECT_EQ(status, 200);
}

TEST_F(Api, NewOperationsAreNamedByTheirIdsThoughTheStorageManagerDoesNotSay) {
  suite_.store = {{"Garamond.pfa", 100, "psFont", "", 10}};
  suite_.addOperation("COPY", "127.0.0.2", "127.0.0.3");  // 0, earlier
  // Another caller's operation is made just before each of ours.
  suite_.beforeCreate = [this] { suite_.addOperation("ADD", "-", "127.0.0.9"); };

  int status = 0;
  QJsonValue made =
      call("POST", "/api/operations",
           R"({"type":"add","devices":[1,"127.0.0.4"],"files":["Garamond.pfa"]})", &status);
  EXPECT_EQ(status, 202);
  const QJsonArray ops = made["operations"].toArray();
  ASSERT_EQ(ops.size(), 2);
  EXPECT_EQ(ops[0].toObject()["id"].toInt(), 2);  // 1 and 3 are the other caller's
  EXPECT_EQ(ops[0].toObject()["destinations"].toArray(), QJsonArray{"127.0.0.2"});
  EXPECT_EQ(ops[1].toObject()["id"].toInt(), 4);

  // A copy names files by name; the source's list gives their size, kind and ID.
  made = call("POST", "/api/operations",
              R"({"type":"copy","source":"127.0.0.2","destinations":[2,3],"files":["Courier"]})",
              &status);
  EXPECT_EQ(status, 202);
  EXPECT_EQ(made["operations"].toArray()[0].toObject()["id"].toInt(), 6);
  const QByteArray sent = suite_.lastRequest("DSMCopyFile");
  EXPECT_TRUE(sent.contains("<FileSize>3000</FileSize>")) << sent.toStdString();
  EXPECT_TRUE(sent.contains("<FileType>pclFont</FileType>"));
  EXPECT_TRUE(sent.contains("<FileStorageFileID>3</FileStorageFileID>"));
  EXPECT_TRUE(sent.contains("<DeviceIP>127.0.0.3</DeviceIP>"));
}

TEST_F(Api, CancelReachesOnlyRunningOperationsAndRetryOnlyFinishedOnes) {
  suite_.addOperation("ADD", "-", "127.0.0.2");                    // 0 running
  suite_.addOperation("ADD", "-", "127.0.0.2").status = "FAILED";  // 1
  int status = 0;
  call("POST", "/api/operations/0/cancel", {}, &status);
  EXPECT_EQ(status, 202);
  // Left to the storage manager, a cancel of a finished operation would wait for its next retry
  // and end that at once.
  EXPECT_EQ(call("POST", "/api/operations/1/cancel", {}, &status)["error"]["code"].toString(),
            "NotRunning");
  EXPECT_EQ(status, 409);
  call("POST", "/api/operations/1/retry", {}, &status);
  EXPECT_EQ(status, 202);
  EXPECT_EQ(suite_.changes(), (QStringList{"DSMCancelOperation", "DSMRetryOperation"}));
  EXPECT_TRUE(suite_.lastRequest("DSMCancelOperation").contains("<OperationID>0</OperationID>"));
}

TEST_F(Api, OperationsComeNewestFirstInPagesWithCountsOfEveryStatus) {
  for (int i = 0; i < 120; ++i) {
    suite_.addOperation("ADD", "-", "127.0.0.2").status = i % 3 == 0 ? "FAILED" : "COMPLETED";
  }
  const QJsonValue first = call("GET", "/api/operations");
  EXPECT_EQ(first["total"].toInt(), 120);
  EXPECT_EQ(first["counts"]["FAILED"].toInt(), 40);
  EXPECT_EQ(first["counts"]["IN_PROGRESS"].toInt(), 0);
  const QJsonArray page = first["operations"].toArray();
  ASSERT_EQ(page.size(), ConsoleApi::kDefaultPage);
  EXPECT_EQ(page.first().toObject()["id"].toInt(), 119);
  EXPECT_EQ(page.last().toObject()["id"].toInt(), 70);
  EXPECT_EQ(page.first().toObject()["source"], QJsonValue());  // "-": none

  // The list is written by hand: texts from the wire come back as they went in.
  const QString odd = QString::fromUtf8("a\"b\\c\n\x01 \xe2\x82\xac \xf0\x9f\x98\x80");
  suite_.addOperation("COPY", odd, "127.0.0.3;127.0.0.4");
  const QJsonValue newest = call("GET", "/api/operations?limit=1")["operations"];
  EXPECT_EQ(newest.toArray()[0].toObject()["source"].toString(), odd);
  EXPECT_EQ(newest.toArray()[0].toObject()["destinations"].toArray(),
            (QJsonArray{"127.0.0.3", "127.0.0.4"}));

  const QJsonValue failed = call("GET", "/api/operations?status=FAILED&offset=30&limit=20");
  EXPECT_EQ(failed["total"].toInt(), 40);
  const QJsonArray rest = failed["operations"].toArray();
  ASSERT_EQ(rest.size(), 10);
  EXPECT_EQ(rest.first().toObject()["id"].toInt(), 27);
}

TEST_F(Api, EachFileOfAnOperationIsShownInPlainWordsBesideItsCode) {
  struct Row {
    bool ok;
    const char* result;  // the storage manager's text, shown beside the words
    const char* state;
    const char* text;
  };
  const Row rows[] = {{true, "completed", "done", "stored on the printer"},
                      {false, "Timeout", "failed", "no confirmation within 5 minutes"},
                      {false, "DeviceDosntResponse", "failed", "the printer did not respond"},
                      {false, "DiskFull", "failed", "the printer reported a failure"},
                      {false, "completed", "pending", "waiting"}};
  FakeOperation& op = suite_.addOperation("COPY", "127.0.0.2", "127.0.0.3");
  for (const Row& r : rows) op.files << FakeOperation::File{"a.ps", r.ok, r.result};
  const QJsonArray files = call("GET", "/api/operations/0")["files"].toArray();
  ASSERT_EQ(files.size(), 5);
  for (int i = 0; i < 5; ++i) {
    SCOPED_TRACE(rows[i].result);
    const QJsonObject file = files[i].toObject();
    EXPECT_EQ(file["state"].toString(), rows[i].state);
    EXPECT_EQ(file["text"].toString(), rows[i].text);
    EXPECT_EQ(file["result"].toString(), rows[i].result);
  }
}

TEST_F(Api, AServiceThatFailsIsAnswered502WithItsResultBesideTheWords) {
  suite_.failWith = 1;
  int status = 0;
  QJsonValue e = call("GET", "/api/devices", {}, &status)["error"];
  EXPECT_EQ(status, 502);
  EXPECT_EQ(e["code"].toString(), "1");
  EXPECT_EQ(e["message"].toString(), "the device management service could not be reached");
  EXPECT_EQ(e["details"].toString(), "failed here");
  suite_.failWith = 5;
  e = call("GET", "/api/store", {}, &status)["error"];
  EXPECT_EQ(status, 503);
  EXPECT_EQ(e["message"].toString(), "the storage manager service is stopping");
}

class Uploads : public Api {
 protected:
  std::vector<ConsoleApi::Upload> upload(const QString& name, const QByteArray& bytes) {
    QString error;
    auto file = directory_.create(&error);
    EXPECT_TRUE(file) << error.toStdString();
    EXPECT_TRUE(file->write(bytes.constData(), bytes.size()));
    EXPECT_TRUE(file->finish());
    std::vector<ConsoleApi::Upload> uploads;
    uploads.push_back({name, std::move(file)});
    return uploads;
  }
  QStringList waiting() const { return QDir(dir_.path()).entryList(QDir::Files); }

  QTemporaryDir dir_;
  UploadDirectory directory_{dir_.path()};
};

TEST_F(Uploads, AnUploadIsStoredOnceAndChecked) {
  auto uploads = upload("Garamond.pfa", "%!PS-AdobeFont-1.0: Garamond\n");
  ApiReply reply = api_.store(uploads);
  EXPECT_EQ(reply.status, 201) << reply.body.toStdString();
  EXPECT_EQ(
      QJsonDocument::fromJson(reply.body)["stored"].toArray()[0].toObject()["name"].toString(),
      "Garamond.pfa");
  EXPECT_TRUE(suite_.lastRequest("DSMServerAddFile").contains("filename=\"Garamond.pfa\""));
  uploads.clear();
  EXPECT_EQ(waiting(), QStringList{}) << "the upload's file goes once the store has it";

  // The storage manager would keep the stored file and report success for the second.
  uploads = upload("Garamond.pfa", "other");
  reply = api_.store(uploads);
  EXPECT_EQ(reply.status, 409);
  EXPECT_EQ(suite_.changes(), QStringList{"DSMServerAddFile"});
}

TEST_F(Uploads, AStorageManagerThatDidNotTakeTheFileIsNotReportedAsSuccess) {
  suite_.storeTakesUploads = false;  // say, it does not accept uploads from this directory
  auto uploads = upload("Garamond.pfa", "%!PS");
  const ApiReply reply = api_.store(uploads);
  EXPECT_EQ(reply.status, 502);
  EXPECT_EQ(QJsonDocument::fromJson(reply.body)["error"].toObject()["code"].toString(),
            "NotStored");
}

}  // namespace
}  // namespace Zarvo::console
