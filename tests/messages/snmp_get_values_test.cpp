// The "SNMPGetValues" packets exchanged with the SNMP service: the exact trees they write, the
// reading rules on both sides, and that an answer which is not a response document is refused
// rather than read as empty.
#include <gtest/gtest.h>

#include "messages/SNMPGetValues.h"
#include "tests/messages/DomPackets.h"

namespace Zarvo {
namespace {

using dom_packets::kDeclaration;
using dom_packets::utf16;
using dom_packets::written;

// ----------------------------------------------------------------------------------------------
// SNMPGetValues request

deviceReq v3Entry(int level, int protocol) {
  deviceReq e;
  e.ipVersion = 4;
  e.address = "10.0.0.9";
  e.snmpVersion = 3;
  e.userName = "u";
  e.securityLevel = level;
  e.authProtocol = protocol;
  e.authPassPhrase = "ap";
  e.privPassPhrase = "pp";
  e.contextName = "cn";
  e.contextId = "ci";
  return e;
}

TEST(SnmpRequest, WritesTheSecurityAttributesOfEachVersionAndLevel) {
  deviceReq v2;
  v2.ipVersion = 4;
  v2.address = "10.0.0.7";
  v2.snmpVersion = 2;
  v2.readCommunity = "public";
  v2.userName = "ignored";  // a version 1/2 entry writes communities only
  deviceReq v0 = v2;
  v0.snmpVersion = 0;

  struct Row {
    const char* why;
    deviceReq entry;
    QString securityAttrs;
  };
  const Row kRows[] = {
      {"version 2: communities, empty ones as empty attributes", v2,
       "<SecurityAttrs rcommunity=\"public\" wcommunity=\"\"/>"},
      {"version 0 is written like version 3", v0,
       "<SecurityAttrs ContextID=\"\" ContextName=\"\" SecLevel=\"NOAUTH\" UserName=\"ignored\"/>"},
      {"AUTHPRIV with SHA1", v3Entry(kAuthPriv, kSha1),
       "<SecurityAttrs AuthPassPhr=\"ap\" AuthProto=\"SHA1\" ContextID=\"ci\" ContextName=\"cn\" "
       "PrivPassPhr=\"pp\" SecLevel=\"AUTHPRIV\" UserName=\"u\"/>"},
      {"AUTHNOPRIV with MD5 has no privacy pass phrase", v3Entry(kAuthNoPriv, kMd5),
       "<SecurityAttrs AuthPassPhr=\"ap\" AuthProto=\"MD5\" ContextID=\"ci\" ContextName=\"cn\" "
       "SecLevel=\"AUTHNOPRIV\" UserName=\"u\"/>"},
      {"a level outside the three has no SecLevel", v3Entry(7, kMd5),
       "<SecurityAttrs ContextID=\"ci\" ContextName=\"cn\" UserName=\"u\"/>"},
  };
  for (const Row& row : kRows) {
    SCOPED_TRACE(row.why);
    CmdSNMPGetValuesRequest request;
    deviceReq entry = row.entry;
    entry.addVariable("scmFileStorageTable");
    entry.addVariable("sysName");
    request.append(entry);
    EXPECT_EQ(written(request),
              kDeclaration +
                  "<OrxRequest command=\"SNMPGetValues\"><Priority>0</Priority><Device>"
                  "<RequestParams><IP IP_VER=\"4\" address=\"" +
                  QString::fromUtf8(entry.address) + "\"/><SNMP SNMP_VER=\"" +
                  QString::number(entry.snmpVersion) + "\">" + row.securityAttrs +
                  "</SNMP></RequestParams><RequestVariables><scmFileStorageTable/><sysName/>"
                  "</RequestVariables></Device></OrxRequest>");
  }
}

TEST(SnmpRequest, ReadingAppliesTheServiceDefaultsAndSkipsEntriesItCannotRead) {
  const QString device = QStringLiteral(
      "<Device><RequestParams><IP address=\"%1\" IP_VER=\"%2\"/>%3</RequestParams>"
      "<RequestVariables><a/><b/></RequestVariables></Device>");
  const QString body =
      kDeclaration + "<OrxRequest command=\"SNMPGetValues\"><Priority> 3 </Priority>" +
      device.arg("fe80::1", "5", "") +  // IP_VER 5 with IPv6: 6; no SNMP: version 1 defaults
      device.arg("not an address", "0",
                 "<SNMP SNMP_VER=\"0\"><SecurityAttrs UserName=\"x\"/></SNMP>") +  // 6, version 1
      device.arg("10.0.0.1", "4",
                 "<SNMP SNMP_VER=\"3\"><SecurityAttrs UserName=\"u\" SecLevel=\"NOAUTH\" "
                 "ContextName=\"c\" ContextID=\"i\"/></SNMP>") +  // NOAUTH ignores the context
      device.arg("10.0.0.2", "4",
                 "<SNMP SNMP_VER=\"3\"><SecurityAttrs SecLevel=\"noauth\"/></SNMP>") +  // skipped
      device.arg("10.0.0.3", "4",
                 "<SNMP SNMP_VER=\"3\"><SecurityAttrs SecLevel=\"AUTHPRIV\" AuthProto=\"SHA1\" "
                 "AuthPassPhr=\"a\" PrivPassPhr=\"p\" ContextName=\"c\" ContextID=\"i\"/></SNMP>") +
      "<Device><RequestParams><IP address=\"10.0.0.4\"/></RequestParams></Device>"  // no vars
      "</OrxRequest>";
  CmdSNMPGetValuesRequest request;
  request.fromByteArray(utf16(body));
  EXPECT_EQ(request.priority, 3);
  ASSERT_EQ(request.entries().size(), 4u);
  auto it = request.entries().begin();
  const deviceReq ipv6 = *it++;
  EXPECT_EQ(ipv6.ipVersion, 6);
  EXPECT_EQ(ipv6.snmpVersion, 1);
  EXPECT_EQ(ipv6.readCommunity, "public");
  EXPECT_EQ(ipv6.writeCommunity, "k!e@v#r$o%t");
  EXPECT_EQ(ipv6.variables(), (QList<QByteArray>{"a", "b"}));
  const deviceReq v0 = *it++;
  EXPECT_EQ(v0.ipVersion, 6) << "an unparsable address counts as IPv6";
  EXPECT_EQ(v0.snmpVersion, 1);
  EXPECT_EQ(v0.readCommunity, "public");
  EXPECT_EQ(v0.writeCommunity, "k!e@v#r$o%t");
  const deviceReq noAuth = *it++;
  EXPECT_EQ(noAuth.securityLevel, kNoAuth);
  EXPECT_EQ(noAuth.userName, "u");
  EXPECT_EQ(noAuth.contextName, "");
  EXPECT_EQ(noAuth.contextId, "");
  const deviceReq priv = *it++;
  EXPECT_EQ(priv.address, "10.0.0.3");
  EXPECT_EQ(priv.securityLevel, kAuthPriv);
  EXPECT_EQ(priv.authProtocol, kSha1);
  EXPECT_EQ(priv.privPassPhrase, "p");
  EXPECT_EQ(priv.contextId, "i");
}

// Every attribute of a version 3 entry is written (checked above), so a member lost or mixed up
// on reading shows as different bytes when the read request is written again.
TEST(SnmpRequest, AWrittenVersion3EntryReadsBackTheSame) {
  CmdSNMPGetValuesRequest out;
  deviceReq entry = v3Entry(kAuthPriv, kSha1);
  entry.addVariable("x");
  out.append(entry);
  out.priority = 2;
  QByteArray bytes;
  out.toByteArray(bytes);
  CmdSNMPGetValuesRequest in;
  in.fromByteArray(bytes);
  ASSERT_EQ(in.entries().size(), 1u);
  EXPECT_EQ(written(in), written(out));
}

TEST(SnmpRequest, AVariableNameXmlCannotHoldIsAPacketErrorNotACrash) {
  CmdSNMPGetValuesRequest request;
  deviceReq entry;
  entry.addVariable("two words");
  request.append(entry);
  QByteArray bytes;
  EXPECT_THROW(request.toByteArray(bytes), Zarvo::WrongPacketFormat);
}

// ----------------------------------------------------------------------------------------------
// SNMPGetValues response

std::unique_ptr<CmdSNMPGetValuesResponse> readSnmp(const QString& inner) {
  auto r = std::make_unique<CmdSNMPGetValuesResponse>();
  r->fromByteArray(utf16(kDeclaration + "<OrxResponse><Result>0</Result><Details>OK</Details>" +
                         inner + "</OrxResponse>"));
  return r;
}

TEST(SnmpResponse, TheFirstRowFixesTheColumnsAndRowsMatchByPosition) {
  auto r = readSnmp(
      "<Device><ResponseParams><IP address=\"10.0.0.5\"/></ResponseParams><ResponseVariables>"
      "<T><Tr><A>a1</A><B>b1</B></Tr><Tr><A>a2</A><C>c2</C></Tr><x><B>b3</B></x></T>"
      "<empty></empty><sysName>printer</sysName><sysName>second</sysName>"
      "</ResponseVariables></Device>");
  deviceRes* d = r->firstDevice();
  ASSERT_NE(d, nullptr);
  EXPECT_EQ(d->address, "10.0.0.5");
  EXPECT_EQ(d->rowCount("T"), 3) << "A has two rows: 3 entries with the name";
  EXPECT_EQ(d->cell("T", "A", 2), "a2");
  EXPECT_EQ(d->cell("T", "B", 2), "") << "padded when a later row sets a further one";
  EXPECT_EQ(d->cell("T", "B", 3), "b3") << "rows are elements of any name";
  EXPECT_EQ(d->cell("T", "C", 2), "") << "a column the first row lacks is lost";
  QString column;
  QStringList columns;
  for (bool more = d->firstColumn("T", &column); more; more = d->nextColumn("T", &column)) {
    columns << column;
  }
  EXPECT_EQ(columns, (QStringList{"A", "B"}));
  EXPECT_EQ(d->rowCount("empty"), -1) << "a table without rows reads as a scalar";
  QByteArray name;
  QString value;
  QStringList scalars;
  for (bool more = d->firstScalar(&name, &value); more; more = d->nextScalar(&name, &value)) {
    scalars << QString::fromUtf8(name) + "=" + value;
  }
  EXPECT_EQ(scalars, (QStringList{"empty=", "sysName=printer"})) << "the first value is kept";
  EXPECT_EQ(r->nextDevice(), nullptr);
}

TEST(SnmpResponse, ErrorsAreOrderedByCodeAndDevicesWithoutParamsStayEmpty) {
  auto r = readSnmp(
      "<Device><ResponseParams><Errors Count=\"4\"><Error Code=\"5\">five</Error>"
      "<Error Code=\"3\">three</Error><Other Code=\"3\">again</Other><Error Code=\"9\"/>"
      "</Errors></ResponseParams></Device>"
      "<Device><ResponseVariables><T><Tr><A>1</A></Tr></T></ResponseVariables></Device>");
  deviceRes* d = r->firstDevice();
  ASSERT_NE(d, nullptr);
  EXPECT_EQ(d->errorCount, 4);
  int code = 0;
  QByteArray message;
  QStringList errors;
  for (bool more = d->firstError(&code, &message); more; more = d->nextError(&code, &message)) {
    errors << QString::number(code) + ":" + QString::fromUtf8(message);
  }
  EXPECT_EQ(errors, (QStringList{"3:three", "5:five"})) << "a code keeps its first message; "
                                                           "an error without text is skipped";
  deviceRes* bare = r->nextDevice();
  ASSERT_NE(bare, nullptr);
  EXPECT_TRUE(bare->tables().empty()) << "nothing of a Device without ResponseParams is read";
}

TEST(SnmpResponse, WritesWhatItReads) {
  auto r = readSnmp(
      "<Device><ResponseParams><IP address=\"10.0.0.5\"/><Errors Count=\"0\"/></ResponseParams>"
      "<ResponseVariables><b>2</b><a>1</a><Ts><T><A>x&amp;y</A><B>1</B></T><T><A>z</A></T></Ts>"
      "</ResponseVariables></Device>");
  EXPECT_EQ(written(*r),
            kDeclaration +
                "<OrxResponse><Result>0</Result><Details>OK</Details><Device><ResponseParams>"
                "<IP address=\"10.0.0.5\"/><Errors Count=\"0\"/></ResponseParams>"
                "<ResponseVariables><a>1</a><b>2</b><Ts><T><A>x&amp;y</A><B>1</B></T>"
                "<T><A>z</A><B></B></T></Ts></ResponseVariables></Device></OrxResponse>");
}

TEST(SnmpResponse, AnAnswerThatIsNoResponseDocumentIsAPacketError) {
  dom_packets::expectNoResponseDocumentRefused<CmdSNMPGetValuesResponse>();
}

}  // namespace
}  // namespace Zarvo
