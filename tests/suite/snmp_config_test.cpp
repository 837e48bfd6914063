// The SNMP service's elements of the suite's configuration: each is read where it stands, a
// malformed one is named on "err" and keeps its default, and table maps describe another
// maker's table completely or not at all.
#include <gtest/gtest.h>

#include "suite/SnmpConfig.h"
#include "tests/fakes/LogLines.h"

namespace Zarvo::suite {
namespace {

using testing_log::LogLines;

QByteArray config(const QByteArray& elements) {
  return "<SuiteConfig><Name>s</Name>" + elements + "<Fleet/></SuiteConfig>";
}

TEST(SnmpConfig, ReadsEachElementAndKeepsTheDefaultForAMalformedOne) {
  struct Case {
    const char* why;
    QByteArray elements;
    std::function<bool(const SnmpSetup&)> holds;
    const char* err;  // part of the "err" line, or nullptr for none
  };
  const Case cases[] = {
      {"a trap port of the system's choosing", "<TrapPort>0</TrapPort>",
       [](const SnmpSetup& s) { return s.trapPort == 0; }, nullptr},
      {"a port beyond 65535", "<TrapPort>70000</TrapPort>",
       [](const SnmpSetup& s) { return s.trapPort == 162; }, "TrapPort is not a port"},
      {"a host name is no trap address", "<TrapAddress>printers.local</TrapAddress>",
       [](const SnmpSetup& s) { return s.trapAddress.isEmpty(); }, "TrapAddress is not"},
      {"shorter waits for tests", "<SnmpTimeoutMs>200</SnmpTimeoutMs><SnmpRetries>0</SnmpRetries>",
       [](const SnmpSetup& s) {
         return s.timeout == std::chrono::milliseconds(200) && s.retries == 0;
       },
       nullptr},
      {"a walk may not be allowed more than 100,000 rows", "<SnmpWalkRows>100001</SnmpWalkRows>",
       [](const SnmpSetup& s) { return s.walkRows == 100000; }, "SnmpWalkRows is not"},
      {"nor more than 60 s", "<SnmpWalkSeconds>61</SnmpWalkSeconds>",
       [](const SnmpSetup& s) { return s.walkTime == std::chrono::seconds(60); },
       "SnmpWalkSeconds is not"},
      {"DES for older printers", "<SnmpPrivacy>DES</SnmpPrivacy>",
       [](const SnmpSetup& s) { return s.privacy == snmp::PrivacyProtocol::Des; }, nullptr},
      {"the first of two elements counts",
       "<SnmpRetries>4</SnmpRetries><SnmpRetries>1</SnmpRetries>",
       [](const SnmpSetup& s) { return s.retries == 4; }, nullptr},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.why);
    const qsizetype mark = LogLines::get().mark();
    const SnmpSetup s = parseSnmpSetup(config(c.elements));
    EXPECT_TRUE(c.holds(s));
    const QStringList errors = LogLines::get().since(mark, "err");
    if (c.err) {
      ASSERT_EQ(errors.size(), 1);
      EXPECT_TRUE(errors.first().contains(QLatin1String(c.err))) << errors.first().toStdString();
    } else {
      EXPECT_EQ(errors, QStringList{});
    }
  }
}

TEST(SnmpConfig, TableMapsDescribeAnotherTableOrAreLeftOut) {
  const qsizetype mark = LogLines::get().mark();
  const SnmpSetup s = parseSnmpSetup(config(R"(
      <TableMap name="scmFileStorageTable" oid=".1.3.6.1.4.1.99.4.2">
        <Column name="scmFileStorageFileType" sub="5" type="integer" values="psFont=1,pclFont=3"/>
        <Column name="scmFileStorageFileName" sub="3"/>
      </TableMap>
      <TableMap name="noOid"><Column name="a" sub="1"/></TableMap>
      <TableMap name="badType" oid=".1.3"><Column name="a" sub="1" type="float"/></TableMap>
      <TableMap name="badValues" oid=".1.3"><Column name="a" sub="1" values="on"/></TableMap>
      <TableMap name="noColumns" oid=".1.3"/>)"));
  ASSERT_EQ(s.tableMaps.size(), 1);
  const snmp::MibTable& t = s.tableMaps.first();
  EXPECT_EQ(t.name, "scmFileStorageTable");
  EXPECT_EQ(snmp::oidText(t.entry), ".1.3.6.1.4.1.99.4.2.1");
  ASSERT_EQ(t.columns.size(), 2);
  // In identifier order, as a walk returns them.
  EXPECT_EQ(t.columns.at(0).name, "scmFileStorageFileName");
  EXPECT_EQ(t.columns.at(0).kind, snmp::Value::Kind::OctetString);
  EXPECT_EQ(snmp::oidText(t.columns.at(1).oid), ".1.3.6.1.4.1.99.4.2.1.5");
  EXPECT_EQ(t.columns.at(1).labels.value(3), "pclFont");
  EXPECT_EQ(LogLines::get().since(mark, "err").size(), 4);
}

}  // namespace
}  // namespace Zarvo::suite
