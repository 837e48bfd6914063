// The parts of the SNMP fake that the file list does not use yet but the trap-destination
// registration and the trap handling will: writes into a device table by column and row, and a
// trap forwarded to whatever the naming service names for "SNMPTrap". And the printer fakes on
// the suite's printer model: what a print port takes, the device's pages then serve.
#include <arpa/inet.h>
#include <gtest/gtest.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

#include <chrono>

#include "tests/fakes/FakeCgiDevices.h"
#include "tests/fakes/FakeNamingService.h"
#include "tests/fakes/FakePrinter.h"
#include "tests/fakes/FakeSuiteServices.h"
#include "tests/fakes/HttpProbe.h"

namespace Zarvo::dsm {
namespace {

using testing_devices::FakeCgiDevices;
using testing_orx::FakeNamingService;
using testing_printer::FakePrinter;
using testing_suite::FakeSNMPService;
using testing_suite::SnmpTable;

TEST(SnmpFake, SetValuesWritesCellsByColumnAndRowPosition) {
  FakeSNMPService snmp;
  snmp.setTable("10.0.0.5", "staticTrapDestTable",
                {{"staticTrapDestAddr", "staticTrapDestCommunity", "staticTrapDestStatus"},
                 {{"10.0.0.1", "public", "valid"}, {"0.0.0.0", "", "invalid"}}});
  const QByteArray body =
      "<?xml version=\"1.0\" encoding=\"UTF-8\"?><OrxRequest command=\"SNMPSetValues\"><Device>"
      "<RequestParams><IP address=\"10.0.0.5\"/></RequestParams><RequestVariables>"
      "<staticTrapDestAddr><Index>1</Index><Value>10.0.0.9</Value></staticTrapDestAddr>"
      "<staticTrapDestCommunity><Index>1</Index><Value>dsm</Value></staticTrapDestCommunity>"
      "<staticTrapDestStatus><Index>1</Index><Value>valid</Value></staticTrapDestStatus>"
      "</RequestVariables></Device></OrxRequest>";
  const testing_http::Answer a =
      testing_http::exchange(snmp.url().port(), testing_http::post("/SNMPSetValues", body));
  ASSERT_TRUE(a.ok);
  EXPECT_TRUE(testing_http::fromUtf16Le(a.body).contains("<Result>0</Result>"));
  EXPECT_EQ(snmp.setRequests(), QList<QByteArray>{body});
  const SnmpTable expected{
      {"staticTrapDestAddr", "staticTrapDestCommunity", "staticTrapDestStatus"},
      {{"10.0.0.1", "public", "valid"}, {"10.0.0.9", "dsm", "valid"}}};
  EXPECT_TRUE(snmp.table("10.0.0.5", "staticTrapDestTable") == expected);
}

TEST(SnmpFake, ATrapGoesToTheServiceTheNamingServiceNames) {
  FakeNamingService naming;
  FakeNamingService receiver;  // stands in for the storage manager
  naming.setServiceUrl("SNMPTrap", receiver.url().toString());
  receiver.setReply("SNMPTrap", {testing_orx::httpResponse(testing_orx::responsePacket(0, "OK"))});
  const QByteArray answer =
      FakeSNMPService::sendTrap(naming.url(), "10.0.0.5", ".1.3.6.1.4.1.32473.11.5.11.83.1.2.1",
                                {{".1.3.6.1.4.1.32473.11.5.11.83.1.1.1.5", "completed"}});
  EXPECT_TRUE(answer.contains("<Details>OK</Details>"));
  ASSERT_EQ(receiver.count("/SNMPTrap"), 1);
  EXPECT_EQ(receiver.requests().first().body,
            "<?xml version=\"1.0\" encoding=\"UTF-8\"?><OrxRequest command=\"SNMPTrap\">"
            "<HostIp>10.0.0.5</HostIp><Enterprise>.1.3.6.1.4.1.32473.11.5.11.83.1.2.1</Enterprise>"
            "<GenericNumber>6</GenericNumber><SpecificNumber>1</SpecificNumber><Variables>"
            "<Variable><OID>.1.3.6.1.4.1.32473.11.5.11.83.1.1.1.5</OID><Value>completed</Value>"
            "</Variable></Variables></OrxRequest>");
}

// Writes `bytes` to 127.0.0.1:port and closes, as the print-port sender does.
bool sendToPort(quint16 port, const QByteArray& bytes) {
  const int fd = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
  sockaddr_in a{};
  a.sin_family = AF_INET;
  a.sin_port = htons(port);
  a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  bool ok = ::connect(fd, reinterpret_cast<sockaddr*>(&a), sizeof a) == 0;
  for (qsizetype done = 0; ok && done < bytes.size();) {
    const ssize_t n = ::send(fd, bytes.constData() + done, size_t(bytes.size() - done), 0);
    ok = n > 0;
    done += n;
  }
  ::close(fd);
  return ok;
}

// One (FileName, FileType, FontMacroId) request to a page, as a multipart form post.
testing_http::Answer askPage(quint16 port, const QByteArray& page, const QByteArray& name,
                             const QByteArray& type) {
  QByteArray body;
  for (const auto& [field, value] : {std::pair<QByteArray, QByteArray>{"FileName", name},
                                     {"FileType", type},
                                     {"FontMacroId", "0"}}) {
    body += "--b\r\nContent-Disposition: form-data; name=\"" + field + "\"\r\n\r\n" + value +
            "\r\n";
  }
  body += "--b--\r\n";
  return testing_http::exchange(
      port, "POST /" + page + " HTTP/1.1\r\nContent-Type: multipart/form-data; boundary=b\r\n"
                "Content-Length: " + QByteArray::number(body.size()) + "\r\n\r\n" + body);
}

TEST(PrinterFakes, WhatThePrintPortStoresThePagesServe) {
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
    ASSERT_TRUE(sendToPort(printer.port(), c.bytes));
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

TEST(PrinterFakes, AFilePutWithoutAKindTakesTheFirstKindAskedFor) {
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

}  // namespace Zarvo::dsm
