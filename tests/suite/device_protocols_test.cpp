// What a simulated device reads off the wire. The downloads are framed by the storage manager's
// own file kinds, so a change on either side that breaks the other shows up here.
#include <gtest/gtest.h>

#include "plugin/TCP9100File.h"
#include "suite/DeviceProtocols.h"
#include "tests/fakes/Bytes.h"
#include "tests/suite/SuiteTestSupport.h"

namespace Zarvo::suite {
namespace {

using testing_bytes::hex;

QByteArray framed(const dsm::TCP9100File& file) {
  return file.header() + file.content() + file.trailer();
}

TEST(PjlDownload, ReadsEachKindAsTheSenderFramesIt) {
  const QByteArray content = QByteArray("\x1b)s64W", 6) + QByteArray(300, '\xa5') + "\x1b%-12345X";
  struct Case {
    const char* why;
    std::unique_ptr<dsm::TCP9100File> file;
    const char* kind;
    const char* name;
  };
  Case cases[] = {
      {"PCL font: ID sequence before the content",
       std::make_unique<dsm::TCP9100FilePCLFont>(content), "pclFont", ""},
      {"PCL macro: two sequences before, one more in the trailer",
       std::make_unique<dsm::TCP9100FilePCLMacro>(content), "pclMacro", ""},
      {"PostScript font already in text form, name with blanks",
       std::make_unique<dsm::TCP9100FilePSFont>("Old Style Bold",
                                                QByteArray("%!PS-AdobeFont\n/x 1 def\n")),
       "psFont", "Old Style Bold"},
      {"PostScript form named after the last path component",
       std::make_unique<dsm::TCP9100FilePSForm>("C:\\forms\\inv.ps",
                                                QByteArray("%!PS\nshowpage\n")),
       "psForm", "inv.ps"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.why);
    PjlDownload d;
    PjlError e;
    // The content holds a UEL of its own: SIZE, not a scan for the trailer, ends it.
    ASSERT_TRUE(parsePjlDownload(framed(*c.file), &d, &e)) << e.reason.toStdString();
    EXPECT_EQ(d.kind, c.kind);
    EXPECT_EQ(d.name, c.name);
    EXPECT_EQ(hex(d.content), hex(c.file->content()));
    EXPECT_EQ(announcedPjlSize(framed(*c.file).left(80)), c.file->content().size());
  }
}

TEST(PjlDownload, ReportsBrokenStreamsWithTheDevicesStatus) {
  const dsm::TCP9100FilePSForm form("f.ps", QByteArray("%!PS\nshowpage\n"));
  const QByteArray good = framed(form);
  const dsm::TCP9100FilePCLMacro macro(QByteArray("abc"));
  QByteArray badSum = good;
  badSum.replace("CHECKSUM=" + QByteArray::number(form.checksum()),
                 "CHECKSUM=" + QByteArray::number((form.checksum() + 1) % 256));
  struct Case {
    const char* why;
    QByteArray stream;
    const char* status;
  };
  const Case cases[] = {
      {"cut in the content", good.left(good.size() - 12), "IncompleteData"},
      {"cut in the trailer", good.left(good.size() - 3), "IncompleteData"},
      {"nothing at all", QByteArray(), "BadPJL"},
      {"plain print data, no PJL job", "hello printer\f", "BadPJL"},
      {"an unknown download command",
       QByteArray("\x1b%-12345X@PJL\r\n@PJL FSDOWNLOADFILE SIZE=1\r\nx\x1b%-12345X"), "BadPJL"},
      {"a macro without its start sequence",
       QByteArray("\x1b%-12345X@PJL\r\n@PJL FSDOWNLOADMACRO SIZE=3\r\n\x1b&f00000Yabc") +
           macro.trailer(),
       "BadPJL"},
      {"checksum does not match the bytes", badSum, "ChecksumError"},
      {"a second job glued to the first", good + good, "TrailingData"},
      {"content longer than SIZE ends in garbage instead of the trailer",
       QByteArray(good).insert(good.indexOf("\r\n", 20) + 2, "X"), "BadPJL"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.why);
    PjlDownload d;
    PjlError e;
    EXPECT_FALSE(parsePjlDownload(c.stream, &d, &e));
    EXPECT_EQ(e.status, c.status);
  }
}

TEST(PjlDownload, KeepsTheRequestedPclId) {
  const QByteArray stream =
      "\x1b%-12345X@PJL\r\n@PJL FSDOWNLOADFONT SIZE=2\r\n\x1b*c00042Dab\x1b%-12345X";
  PjlDownload d;
  PjlError e;
  ASSERT_TRUE(parsePjlDownload(stream, &d, &e)) << e.reason.toStdString();
  EXPECT_EQ(d.requestedId, 42u);
  EXPECT_EQ(d.content, "ab");
}

using testing_suite::multipart;

TEST(MultipartForm, ReadsRepeatedFieldsInOrderWithTheirExactBytes) {
  const QByteArray type = "multipart/form-data; boundary=------------------------d74496d66958873e";
  QList<QPair<QString, QByteArray>> parts;
  QString error;
  ASSERT_TRUE(parseMultipartForm(type,
                                 multipart({{"FileName", "a b.ps"},
                                            {"FileType", "2"},
                                            {"FontMacroId", "0"},
                                            {"FileName", "line\r\nbreak"},
                                            {"FileType", ""},
                                            {"FontMacroId", "7"}}),
                                 &parts, &error))
      << error.toStdString();
  ASSERT_EQ(parts.size(), 6);
  EXPECT_EQ(parts.at(0), (QPair<QString, QByteArray>{"FileName", "a b.ps"}));
  EXPECT_EQ(parts.at(3).second, "line\r\nbreak");  // CR LF inside a value is the value's
  EXPECT_EQ(parts.at(4).second, "");
  EXPECT_EQ(parts.at(5).second, "7");
  // A quoted boundary, as other clients write it.
  ASSERT_TRUE(parseMultipartForm("multipart/form-data; boundary=\"xyz\"",
                                 multipart({{"FileName", "q"}}, "xyz"), &parts, &error));
  EXPECT_EQ(parts.size(), 1);
}

TEST(MultipartForm, RefusesMalformedBodies) {
  const QByteArray type = "multipart/form-data; boundary=B";
  const QByteArray one = multipart({{"FileName", "x"}}, "B");
  struct Case {
    const char* why;
    QByteArray type;
    QByteArray body;
  };
  const Case cases[] = {
      {"not a form at all", "application/x-www-form-urlencoded", "FileName=x"},
      {"no boundary given", "multipart/form-data", one},
      {"cut before the closing boundary", type, one.left(one.size() - 8)},
      {"body opens with another boundary", type, multipart({{"FileName", "x"}}, "C")},
      {"a part without a name", type,
       "--B\r\nContent-Disposition: form-data\r\n\r\nx\r\n--B--\r\n"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.why);
    QList<QPair<QString, QByteArray>> parts;
    QString error;
    EXPECT_FALSE(parseMultipartForm(c.type, c.body, &parts, &error));
    EXPECT_FALSE(error.isEmpty());
  }
}

TEST(HttpHead, SplitsTheRequestLineAndFields) {
  HttpRequest r;
  ASSERT_TRUE(
      parseHttpHead("POST /DSMGetFiles.cgi?x=1 HTTP/1.1\r\nHost: 127.0.0.2\r\n"
                    "content-length:  12 \r\n",
                    &r));
  EXPECT_EQ(r.method, "POST");
  EXPECT_EQ(r.target, "/DSMGetFiles.cgi");
  EXPECT_EQ(r.field("Content-Length"), "12");
  EXPECT_FALSE(parseHttpHead("POST /x\r\n", &r));  // no protocol
  EXPECT_FALSE(parseHttpHead("GET / HTTP/1.1\r\nNoColon\r\n", &r));
}

}  // namespace
}  // namespace Zarvo::suite
