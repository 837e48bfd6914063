// IPv4 addresses and ranges as the allow-lists and the device checks read them, and the client
// allow-list's warnings, at most one a minute per address (a clock of the test's own).
#include <gtest/gtest.h>

#include <QUrl>

#include "framework/ClientAllowList.h"
#include "framework/NetworkAddress.h"
#include "tests/fakes/LogLines.h"

namespace Zarvo {
namespace {

using namespace std::chrono_literals;

TEST(Ipv4Address, OnlyTheStrictDottedFormIsAnAddress) {
  struct Case {
    const char* text;
    const char* expected;  // null: refused
    const char* why;
  };
  const Case kCases[] = {
      {"10.1.2.3", "10.1.2.3", "four decimal parts"},
      {" 127.0.0.5\n", "127.0.0.5", "blanks around it, as XML text may carry them"},
      {"0.0.0.0", "0.0.0.0", "an address, if no device's (isUnicast)"},
      {"255.255.255.255", "255.255.255.255", "likewise"},
      {"127.1", nullptr, "short form: the C library reads it as 127.0.0.1"},
      {"2130706433", nullptr, "one number: the C library reads it as 127.0.0.1"},
      {"010.1.1.1", nullptr, "a leading zero is octal to the C library"},
      {"0x7f.0.0.1", nullptr, "hexadecimal part"},
      {"256.1.1.1", nullptr, "a part above 255"},
      {"1.2.3.4.5", nullptr, "five parts"},
      {"1.2.3.", nullptr, "empty last part"},
      {"1..2.3", nullptr, "empty part"},
      {"127.0.0.5:81", nullptr, "a port"},
      {"user@127.0.0.5", nullptr, "a user part"},
      {"127.0.0.5/x", nullptr, "a path"},
      {"1 .2.3.4", nullptr, "a blank inside"},
      {"printer.example", nullptr, "a host name"},
      {"::1", nullptr, "IPv6"},
      {"", nullptr, "nothing"},
      {"1.2.3.4\xd9\xa3", nullptr, "a non-ASCII digit"},
  };
  for (const Case& c : kCases) {
    SCOPED_TRACE(c.why);
    const auto a = Ipv4Address::fromDotted(QString::fromUtf8(c.text));
    ASSERT_EQ(a.has_value(), c.expected != nullptr) << c.text;
    if (a) {
      EXPECT_EQ(a->toString(), c.expected);
    }
  }
}

TEST(Ipv4Address, UnicastExcludesThisNetworkMulticastAndReserved) {
  struct Case {
    const char* text;
    bool unicast;
    const char* why;
  };
  const Case kCases[] = {
      {"0.0.0.0", false, "a connect to it reaches this machine"},
      {"0.1.2.3", false, "\"this network\""},
      {"1.0.0.0", true, "lowest unicast"},
      {"127.0.0.5", true, "loopback devices: the suite's own"},
      {"169.254.1.1", true, "link-local printers exist"},
      {"223.255.255.255", true, "last unicast"},
      {"224.0.0.1", false, "multicast"},
      {"239.255.255.250", false, "multicast"},
      {"240.0.0.1", false, "reserved"},
      {"255.255.255.255", false, "broadcast"},
  };
  for (const Case& c : kCases) {
    SCOPED_TRACE(c.why);
    EXPECT_EQ(Ipv4Address::fromDotted(c.text)->isUnicast(), c.unicast) << c.text;
  }
}

TEST(Ipv4RangeList, EntriesByBlanksOrCommasMalformedOnesLeftOut) {
  QStringList malformed;
  const auto list = Ipv4RangeList::fromText(
      " 127.0.0.0/8, 10.1.2.7/24\n10.9.9.9,,host 10.0.0.0/33 1.2.3.4/ 5.6.7.8/08", &malformed);
  EXPECT_EQ(list.toString(), "127.0.0.0/8 10.1.2.0/24 10.9.9.9/32")
      << "host bits after the prefix are dropped";
  EXPECT_EQ(malformed, (QStringList{"host", "10.0.0.0/33", "1.2.3.4/", "5.6.7.8/08"}));

  struct Case {
    const char* address;
    bool inside;
    const char* why;
  };
  const Case kCases[] = {
      {"127.255.255.255", true, "last of the /8"}, {"128.0.0.0", false, "just past the /8"},
      {"10.1.2.255", true, "inside the /24"},      {"10.1.3.0", false, "just past the /24"},
      {"10.9.9.9", true, "the single address"},    {"10.9.9.8", false, "its neighbour"},
  };
  for (const Case& c : kCases) {
    SCOPED_TRACE(c.why);
    EXPECT_EQ(list.contains(*Ipv4Address::fromDotted(c.address)), c.inside);
  }
  EXPECT_TRUE(Ipv4RangeList::fromText("0.0.0.0/0").contains(*Ipv4Address::fromDotted("9.8.7.6")));
  EXPECT_TRUE(list.contains(QHostAddress("::ffff:10.9.9.9"))) << "a v4-mapped peer";
  EXPECT_FALSE(list.contains(QHostAddress())) << "no address is in no list";
  EXPECT_FALSE(list.contains(QHostAddress("::1")));
}

TEST(Ipv4Address, UrlHostsResolveToIpv4) {
  EXPECT_EQ(resolveIpv4("10.2.3.4")->toString(), "10.2.3.4");
  EXPECT_EQ(resolveIpv4("LocalHost")->toString(), "127.0.0.1") << "never ::1";
  EXPECT_FALSE(resolveIpv4(""));
  EXPECT_FALSE(resolveIpv4("::1"));
  EXPECT_EQ(loopbackAndHostsOf({QUrl("http://10.2.3.4:9000/"), QUrl("http://0.0.0.0:8080/"),
                                QUrl("http://localhost:1/"), QUrl()})
                .toString(),
            "127.0.0.0/8 10.2.3.4/32")
      << "0.0.0.0 is no client, loopback is there already, an empty URL adds nothing";
}

TEST(ClientAllowList, ARefusedAddressIsReportedAtMostOnceAMinute) {
  auto now = std::chrono::steady_clock::time_point() + 1h;
  ClientAllowList list(Ipv4RangeList::fromText("127.0.0.1"), [&now] { return now; });
  const QHostAddress stranger("127.0.0.99");
  const QHostAddress other("127.0.0.98");
  auto& log = testing_log::LogLines::get();
  const auto warnings = [&](qsizetype from) { return log.since(from, "warning"); };

  qsizetype from = log.mark();
  EXPECT_TRUE(list.admits(QHostAddress("127.0.0.1")));
  EXPECT_TRUE(warnings(from).isEmpty()) << "an allowed client is not reported";

  from = log.mark();
  EXPECT_FALSE(list.admits(stranger));
  now += 30s;
  EXPECT_FALSE(list.admits(stranger));
  EXPECT_FALSE(list.admits(other));
  ASSERT_EQ(warnings(from).size(), 2) << "one line per address within the minute";
  EXPECT_TRUE(
      warnings(from)[0].endsWith("Connection from 127.0.0.99 closed: not in AllowedClients"))
      << warnings(from)[0].toStdString();

  from = log.mark();
  now += 30s;  // a minute after the first line
  EXPECT_FALSE(list.admits(stranger));
  EXPECT_FALSE(list.admits(other));  // 30 s after its own line
  ASSERT_EQ(warnings(from).size(), 1);
  EXPECT_TRUE(warnings(from)[0].contains("127.0.0.99"));

  from = log.mark();
  EXPECT_FALSE(list.admits(QHostAddress()));
  EXPECT_FALSE(list.admits(QHostAddress("::1")));
  EXPECT_EQ(warnings(from).size(), 1) << "peers without an IPv4 address share one line";
}

}  // namespace
}  // namespace Zarvo
