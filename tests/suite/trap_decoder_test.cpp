// The trap port's decoder over datagrams that net-snmp itself encodes: SNMPv1 traps and SNMPv2c
// notifications as the storage manager must see them, and everything else a network can send
// (other messages, every truncation of a good trap, random bytes), which must come out as
// counted verdicts, never as a crash or a trap.
#include <arpa/inet.h>
#include <gtest/gtest.h>

#include <random>

#include "suite/NetSnmpPdu.h"
#include "suite/TrapReceiver.h"

namespace Zarvo::suite::snmp {
namespace {

const Oid kEnterprise = {1, 3, 6, 1, 4, 1, 32473, 11, 5, 11, 83, 1, 2};
const Oid kStatus = {1, 3, 6, 1, 4, 1, 32473, 11, 5, 11, 83, 1, 1, 1, 5};
const Oid kSysUpTime = {1, 3, 6, 1, 2, 1, 1, 3, 0};
const Oid kTrapOid = {1, 3, 6, 1, 6, 3, 1, 1, 4, 1, 0};

QByteArray v1Trap(const char* agent, const Oid& enterprise, long generic, long specific,
                  QList<VarBind> variables, const QByteArray& community = "public") {
  initialiseNetSnmp();
  PduPtr pdu(snmp_pdu_create(SNMP_MSG_TRAP));
  pdu->version = SNMP_VERSION_1;
  pdu->enterprise = snmp_duplicate_objid(enterprise.data(), enterprise.size());
  pdu->enterprise_length = enterprise.size();
  pdu->trap_type = generic;
  pdu->specific_type = specific;
  in_addr a{};
  inet_pton(AF_INET, agent, &a);
  memcpy(pdu->agent_addr, &a, 4);
  for (const VarBind& b : variables) addVarBind(pdu.get(), b);
  return encodeCommunityPdu(pdu.get(), community);
}

QByteArray v2Notification(int command, QList<VarBind> variables) {
  initialiseNetSnmp();
  PduPtr pdu(snmp_pdu_create(command));
  pdu->version = SNMP_VERSION_2c;
  for (const VarBind& b : variables) addVarBind(pdu.get(), b);
  return encodeCommunityPdu(pdu.get(), "public");
}

Value objectId(const Oid& o) { return Value{Value::Kind::ObjectId, 0, {}, o}; }
Value ticks(qint64 t) { return Value{Value::Kind::TimeTicks, t, {}, {}}; }

// A decoded trap in one line: "host enterprise generic/specific variable=value ...".
QString describe(const DeviceTrap& t) {
  QString out =
      QStringLiteral("%1 %2 %3/%4").arg(t.hostIp, t.enterprise).arg(t.generic).arg(t.specific);
  for (const auto& [oid, value] : t.variables) out += ' ' + oid + '=' + value;
  return out;
}

TEST(TrapDecoder, ReadsTrapsTheWayTheStorageManagerMatchesThem) {
  const QByteArray ip5("\x7f\x00\x00\x05", 4);
  struct Case {
    const char* why;
    QByteArray datagram;
    const char* trap;  // as describe() gives it; "E" is our enterprise, "S" the status variable
  };
  const Case cases[] = {
      {"a printer's v1 download trap: its agent address names the device",
       v1Trap("127.0.0.7", kEnterprise + OidPart(1), 6, 1, {{kStatus, Value::string("completed")}}),
       "127.0.0.7 E.1 6/1 S=completed"},
      {"a v1 trap without an agent address names its sender",
       v1Trap("0.0.0.0", kEnterprise, 6, 2, {}), "127.0.0.9 E 6/2"},
      {"a v2c enterprise notification: enterprise.0.specific",
       v2Notification(SNMP_MSG_TRAP2, {{kSysUpTime, ticks(5)},
                                       {kTrapOid, objectId(kEnterprise + OidPart(0) + OidPart(1))},
                                       {kStatus, Value::string("processing")}}),
       "127.0.0.9 E 6/1 S=processing"},
      {"a v2c standard trap (linkDown) maps to its generic number",
       v2Notification(SNMP_MSG_TRAP2, {{kSysUpTime, ticks(5)},
                                       {kTrapOid, objectId({1, 3, 6, 1, 6, 3, 1, 1, 5, 3})}}),
       "127.0.0.9 .1.3.6.1.6.3.1.1.5 2/0"},
      {"snmpTrapAddress.0 names the device of a relayed v2c notification",
       v2Notification(SNMP_MSG_TRAP2, {{kSysUpTime, ticks(5)},
                                       {kTrapOid, objectId(kEnterprise + OidPart(7))},
                                       {{1, 3, 6, 1, 6, 3, 18, 1, 3, 0},
                                        Value{Value::Kind::IpAddress, 0, ip5, {}}}}),
       "127.0.0.5 E 6/7"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.why);
    ASSERT_FALSE(c.datagram.isEmpty());
    const DecodedTrap d = decodeTrap(c.datagram, "127.0.0.9");
    ASSERT_EQ(d.verdict, TrapVerdict::Trap) << d.why.toStdString();
    EXPECT_EQ(describe(d.trap), QString::fromLatin1(c.trap)
                                    .replace(" E", ' ' + oidText(kEnterprise))
                                    .replace(" S=", ' ' + oidText(kStatus) + '='));
    EXPECT_EQ(d.trap.community, "public");
  }
}

TEST(TrapDecoder, WhatIsNoTrapIsSaidSoAndNeverForwarded) {
  initialiseNetSnmp();
  PduPtr get(snmp_pdu_create(SNMP_MSG_GET));
  get->version = SNMP_VERSION_2c;
  snmp_add_null_var(get.get(), kStatus.data(), kStatus.size());
  struct Case {
    const char* why;
    QByteArray datagram;
    TrapVerdict verdict;
  };
  const Case cases[] = {
      {"a request is no trap", encodeCommunityPdu(get.get(), "public"), TrapVerdict::Unsupported},
      {"an inform wants an answer the receiver does not give",
       v2Notification(SNMP_MSG_INFORM,
                      {{kSysUpTime, ticks(1)}, {kTrapOid, objectId(kEnterprise + OidPart(1))}}),
       TrapVerdict::Unsupported},
      {"a v2c notification must begin with sysUpTime.0 and snmpTrapOID.0",
       v2Notification(SNMP_MSG_TRAP2, {{kStatus, Value::string("completed")}}),
       TrapVerdict::Malformed},
      {"an empty datagram", QByteArray(), TrapVerdict::Malformed},
      {"text", QByteArray("completed\n"), TrapVerdict::Malformed},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.why);
    EXPECT_EQ(decodeTrap(c.datagram, "127.0.0.9").verdict, c.verdict);
  }
}

TEST(TrapDecoder, EveryTruncationAndRandomBytesComeOutMalformed) {
  const QByteArray good =
      v1Trap("127.0.0.7", kEnterprise + OidPart(1), 6, 1, {{kStatus, Value::string("completed")}});
  ASSERT_EQ(decodeTrap(good, "127.0.0.9").verdict, TrapVerdict::Trap);
  for (qsizetype n = 0; n < good.size(); ++n) {
    SCOPED_TRACE(n);
    EXPECT_EQ(decodeTrap(good.left(n), "127.0.0.9").verdict, TrapVerdict::Malformed);
  }
  // Flipped bytes and pure noise: anything goes but a crash. A flip may still leave a valid trap
  // (a changed community or value), so only the verdicts' sum is checked.
  std::mt19937 random(22);
  int verdicts = 0;
  for (int i = 0; i < 3000; ++i) {
    QByteArray bytes = good;
    for (int f = 0; f < 3; ++f) bytes[int(random() % bytes.size())] = char(random());
    if (i % 2) bytes = QByteArray(int(random() % 200), char(random()));
    const DecodedTrap d = decodeTrap(bytes, "127.0.0.9");
    verdicts += d.verdict == TrapVerdict::Trap || d.verdict == TrapVerdict::Malformed ||
                d.verdict == TrapVerdict::Unsupported;
  }
  EXPECT_EQ(verdicts, 3000);
}

}  // namespace
}  // namespace Zarvo::suite::snmp
