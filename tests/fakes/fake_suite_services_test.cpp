// The SNMP fake beyond its reads: writes into a device table by column and row, and a trap
// forwarded to whatever the naming service names for "SNMPTrap".
#include <gtest/gtest.h>

#include "tests/fakes/Bytes.h"
#include "tests/fakes/FakeNamingService.h"
#include "tests/fakes/FakeSuiteServices.h"
#include "tests/fakes/HttpProbe.h"

namespace testing_suite {
namespace {

TEST(FakeSNMPService, SetValuesWritesCellsByColumnAndRowPosition) {
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

TEST(FakeSNMPService, ATrapGoesToTheServiceTheNamingServiceNames) {
  testing_orx::FakeNamingService naming;
  testing_orx::FakeNamingService receiver;  // stands in for the storage manager
  naming.setServiceUrl("SNMPTrap", receiver.url().toString());
  receiver.setReply("SNMPTrap", {testing_http::httpResponse(testing_orx::responsePacket(0, "OK"))});
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

}  // namespace
}  // namespace testing_suite
