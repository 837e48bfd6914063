// What a printer answers on its pages, without a socket: the suite's devices and the storage
// manager's page fakes both answer from this, so a malformed request must get the same refusal
// from each, and a delete must take exactly the files it names.
#include <gtest/gtest.h>

#include "suite/DeviceState.h"
#include "tests/suite/SuiteTestSupport.h"

namespace Zarvo::suite {
namespace {

QByteArray form(const QList<QPair<QByteArray, QByteArray>>& fields) {
  return testing_suite::multipart(fields, "b");
}

HttpRequest post(const QByteArray& page, const QByteArray& body,
                 const QByteArray& type = "multipart/form-data; boundary=b") {
  HttpRequest r;
  r.method = "POST";
  r.target = page;
  r.fields = {{"Content-Type", type}};
  r.body = body;
  return r;
}

QByteArray statusLine(const QByteArray& answer) { return answer.left(answer.indexOf("\r\n")); }
QByteArray bodyOf(const QByteArray& answer) { return answer.mid(answer.indexOf("\r\n\r\n") + 4); }

TEST(DeviceState, PagesRefuseWhatTheyCannotRead) {
  DeviceState device(QStringLiteral("127.0.0.1"),
                     {StoredFileSetup{"inv.ps", "psForm", 0, "nonvolatile", "%!PS"}});
  const QByteArray one = form({{"FileName", "inv.ps"}, {"FileType", "2"}, {"FontMacroId", "0"}});
  HttpRequest get = post("/DSMGetFiles.cgi", one);
  get.method = "GET";
  struct Case {
    const char* why;
    HttpRequest request;
    QByteArray status;
  };
  const Case kCases[] = {
      {"the one file, by kind and name", post("/DSMGetFiles.cgi", one), "HTTP/1.1 200 OK"},
      {"another page", post("/other.cgi", one), "HTTP/1.1 404 Not Found"},
      {"not a post", get, "HTTP/1.1 405 Method Not Allowed"},
      {"no boundary", post("/DSMGetFiles.cgi", one, "multipart/form-data"),
       "HTTP/1.1 400 Bad Request"},
      {"a fetch names one file only",
       post("/DSMGetFiles.cgi", form({{"FileName", "inv.ps"},
                                      {"FileType", "2"},
                                      {"FontMacroId", "0"},
                                      {"FileName", "x"},
                                      {"FileType", "2"},
                                      {"FontMacroId", "0"}})),
       "HTTP/1.1 400 Bad Request"},
      {"fields out of order",
       post("/DSMGetFiles.cgi",
            form({{"FileType", "2"}, {"FileName", "inv.ps"}, {"FontMacroId", "0"}})),
       "HTTP/1.1 400 Bad Request"},
  };
  for (const Case& c : kCases) {
    SCOPED_TRACE(c.why);
    EXPECT_EQ(statusLine(device.answerPage(c.request)), c.status);
  }
  EXPECT_EQ(device.files().size(), 1) << "a fetch never removes";
}

TEST(DeviceState, ADeleteTakesExactlyTheNamedFilesAndReportsEach) {
  DeviceState device(QStringLiteral("127.0.0.1"),
                     {StoredFileSetup{"a.ps", "psForm", 0, "nonvolatile", "form"},
                      StoredFileSetup{"a.ps", "psFont", 0, "nonvolatile", "font"},
                      StoredFileSetup{"Courier", "pclFont", 7, "permanent", "pcl"}});
  QList<StoredFile> removed;
  const QByteArray answer = device.answerPage(
      post("/DSMDeletefiles.cgi", form({{"FileName", "a.ps"},
                                        {"FileType", "2"},
                                        {"FontMacroId", "0"},
                                        {"FileName", "Font 7"},  // a PCL file by its ID
                                        {"FileType", "3"},
                                        {"FontMacroId", "7"},
                                        {"FileName", "gone"},
                                        {"FileType", "1"},
                                        {"FontMacroId", "0"}})),
      &removed);
  EXPECT_EQ(statusLine(answer), "HTTP/1.1 200 OK");
  EXPECT_EQ(bodyOf(answer), "deleted a.ps\ndeleted Font 7\nnot found gone\n");
  ASSERT_EQ(removed.size(), 2);
  EXPECT_EQ(removed[0].content, "form");
  EXPECT_EQ(removed[1].name, "Courier");
  ASSERT_EQ(device.files().size(), 1);
  EXPECT_EQ(device.files()[0].kind, "psFont") << "the same name as another kind stays";
}

}  // namespace
}  // namespace Zarvo::suite
