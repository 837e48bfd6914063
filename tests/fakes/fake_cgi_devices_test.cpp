// The device pages fake on the suite's printer model: what a fake print port stores, the pages
// serve, and a file put without a kind takes the first kind a request names it with.
#include <gtest/gtest.h>

#include <chrono>

#include "tests/fakes/Bytes.h"
#include "tests/fakes/FakeCgiDevices.h"
#include "tests/fakes/FakePrinter.h"
#include "tests/fakes/HttpProbe.h"
#include "tests/fakes/LoopbackSocket.h"

namespace testing_devices {
namespace {

using testing_printer::FakePrinter;

// One (FileName, FileType, FontMacroId) request to a page, as a multipart form post.
testing_http::Answer askPage(quint16 port, const QByteArray& page, const QByteArray& name,
                             const QByteArray& type) {
  QByteArray body;
  for (const auto& [field, value] : {std::pair<QByteArray, QByteArray>{"FileName", name},
                                     {"FileType", type},
                                     {"FontMacroId", "0"}}) {
    body +=
        "--b\r\nContent-Disposition: form-data; name=\"" + field + "\"\r\n\r\n" + value + "\r\n";
  }
  body += "--b--\r\n";
  return testing_http::exchange(port,
                                "POST /" + page +
                                    " HTTP/1.1\r\nContent-Type: multipart/form-data; boundary=b\r\n"
                                    "Content-Length: " +
                                    QByteArray::number(body.size()) + "\r\n\r\n" + body);
}

TEST(FakeCgiDevices, WhatThePrintPortStoresThePagesServe) {
  const QString device = QStringLiteral("127.0.0.1");
  FakeCgiDevices pages({device});
  FakePrinter printer(device);
  printer.storeInto(&pages.state(device));
  const QByteArray esc("\x1b");
  const QByteArray frame = esc + "%-12345X@PJL\r\n@PJL PSDOWNLOADFORM NAME=f.ps SIZE=4 CHECKSUM=" +
                           QByteArray::number((0x25 + 0x21 + 0x50 + 0x53) % 256) + "\r\n%!PS" +
                           esc + "%-12345X";
  struct Case {
    const char* why;
    QByteArray bytes;
    const char* status;
  };
  const Case kCases[] = {
      {"cut short by the sender: reported, not stored", frame.left(frame.size() - 3),
       "IncompleteData"},
      {"one whole download: stored", frame, "completed"},
  };
  int n = 0;
  for (const Case& c : kCases) {
    SCOPED_TRACE(c.why);
    ASSERT_TRUE(testing_net::sendAndClose(printer.port(), c.bytes));
    ASSERT_TRUE(printer.waitForDownloads(++n, std::chrono::seconds(10)));
    EXPECT_EQ(printer.downloads().last().status, c.status);
  }
  ASSERT_EQ(pages.state(device).files().size(), 1);
  const testing_http::Answer fetched = askPage(pages.port(), "DSMGetFiles.cgi", "f.ps", "2");
  EXPECT_EQ(fetched.status(), 200);
  EXPECT_EQ(fetched.body, "%!PS");
  EXPECT_EQ(askPage(pages.port(), "DSMGetFiles.cgi", "f.ps", "1").status(), 404)
      << "the same name as another kind is another file";
}

TEST(FakeCgiDevices, AFilePutWithoutAKindTakesTheFirstKindAskedFor) {
  const QString device = QStringLiteral("127.0.0.1");
  FakeCgiDevices pages({device});
  pages.putFile(device, "k.ps", "bytes");
  EXPECT_TRUE(pages.hasFile(device, "k.ps"));
  EXPECT_EQ(askPage(pages.port(), "DSMGetFiles.cgi", "k.ps", "1").body, "bytes");
  EXPECT_EQ(askPage(pages.port(), "DSMGetFiles.cgi", "k.ps", "2").status(), 404)
      << "a psFont now, not a psForm";
  EXPECT_EQ(askPage(pages.port(), "DSMDeletefiles.cgi", "k.ps", "1").status(), 200);
  EXPECT_FALSE(pages.hasFile(device, "k.ps"));
}

}  // namespace
}  // namespace testing_devices
