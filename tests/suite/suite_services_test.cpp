// The stand-in services through their dispatch, with packets as they travel: request bytes in,
// response bytes read back with the classes the storage manager reads them with.
#include <gtest/gtest.h>

#include <QTemporaryDir>
#include <condition_variable>
#include <mutex>

#include "messages/DMSGetDeviceList.h"
#include "messages/SNMPGetValues.h"
#include "suite/SuiteServices.h"
#include "tests/fakes/FakeNamingService.h"
#include "tests/fakes/HttpProbe.h"
#include "tests/suite/SuiteTestSupport.h"

namespace Zarvo::suite {
namespace {

using testing_orx::elementTexts;
using testing_suite::getValues;
using testing_suite::orxRequest;
using testing_suite::setRow;

QByteArray answer(Zarvo::Service& service, const QByteArray& command, const QByteArray& children) {
  Zarvo::PacketPtr response =
      service.processRequest(QString::fromLatin1(command), orxRequest(command, children));
  QByteArray bytes;
  response->toByteArray(bytes);
  return bytes;
}

// Text of a DOM (UTF-16) or generated (UTF-8) answer, for elementTexts.
QByteArray text(const QByteArray& bytes) {
  return bytes.startsWith('<') && bytes.size() > 1 && bytes.at(1) == '\0'
             ? testing_http::fromUtf16Le(bytes).replace("UTF-16", "UTF-8").toUtf8()
             : bytes;
}

class NullSink : public TrapSink {
 public:
  void sendTrap(const DeviceTrap&) override {}
};

FleetSetup testFleet() {
  Zarvo::ensureXercesInitialised();
  FleetSetup setup;
  QString error;
  EXPECT_TRUE(parseFleet(R"(<Fleet confirmDelayMs="0">
      <Device id="1" address="127.0.0.2" name="Desk" model="ZX-410" community="north">
        <File name="Courier" kind="pclFont" id="3" persistence="permanent" size="10"/>
        <File name="inv.ps" kind="psForm" persistence="volatile" text="%!PS"/>
      </Device>
      <Device id="2" address="127.0.0.3" name="Lab" snmpVersion="3" userName="adm"
              securityLevel="Authentication" authMethod="MD5" authPass="pw"/>
      <Device id="7" address="127.0.0.4" name="Empty"/>
    </Fleet>)",
                         &setup, &error))
      << error.toStdString();
  return setup;
}

struct ServicesFixture : ::testing::Test {
  QTemporaryDir dir_;
  FleetSetup setup_ = testFleet();
  NullSink sink_;
  Fleet fleet_{setup_, dir_.path(), &sink_};
  MemoryBackend memory_{fleet_};
};

TEST_F(ServicesFixture, NamingServiceAnswersTheLatestRegistrationAndRefusesTheRest) {
  NamingService ns;
  const QByteArray reg = answer(ns, "NSRegisterService",
                                "<URL>http://127.0.0.1:9001/</URL><method>DSMCopyFile</method>"
                                "<method>SNMPTrap</method>");
  EXPECT_EQ(elementTexts(reg, "Result"), QStringList{"0"});
  answer(ns, "NSRegisterService", "<URL>http://127.0.0.1:9002/</URL><method>SNMPTrap</method>");

  struct Case {
    const char* why;
    const char* command;
    const char* result;
    const char* url;
  };
  const Case cases[] = {
      {"kept from the first registration", "DSMCopyFile", "0", "http://127.0.0.1:9001/"},
      {"a restarted service's new URL wins", "SNMPTrap", "0", "http://127.0.0.1:9002/"},
      {"nobody registered it", "DMSGetDeviceList", "2", ""},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.why);
    const QByteArray found =
        answer(ns, "NSFindService", QByteArray("<Command>") + c.command + "</Command>");
    EXPECT_EQ(elementTexts(found, "Result"), QStringList{c.result});
    EXPECT_EQ(elementTexts(found, "ServiceURL"), QStringList{c.url});
  }
  EXPECT_EQ(elementTexts(answer(ns, "NSFindService", "<Command>X</Command>"), "Details"),
            QStringList{"Can't find service for command: X"});
  // A URL nobody could call is refused, and registers nothing.
  const QByteArray bad = answer(ns, "NSRegisterService", "<URL>not a url</URL><method>Y</method>");
  EXPECT_EQ(elementTexts(bad, "Result"), QStringList{"3"});
  EXPECT_EQ(ns.table().count("Y"), 0u);
  // A malformed packet gets the framework's answer.
  EXPECT_EQ(elementTexts(text(answer(ns, "NSFindService", "<Nothing/>")), "Result"),
            QStringList{"3"});
}

deviceReq asked(const char* address, int version, const char* community, const char* user,
                QList<QByteArray> variables) {
  deviceReq d;
  d.address = address;
  d.ipVersion = 4;
  d.snmpVersion = version;
  d.readCommunity = community;
  d.userName = user;
  for (const QByteArray& v : variables) d.addVariable(v);
  return d;
}

TEST_F(ServicesFixture, SnmpGetValuesAnswersTablesAndReportsErrorsPerDevice) {
  SnmpService snmp(memory_);
  const auto response =
      getValues(snmp, {asked("127.0.0.2", 1, "north", "", {"scmFileStorageTable", "sysName"}),
                       asked("127.0.0.2", 2, "public", "", {"staticTrapDestTable"}),
                       asked("127.0.0.3", 3, "", "adm", {"staticTrapDestTable", "bogus"}),
                       asked("127.0.0.99", 1, "public", "", {"sysName"}),
                       asked("127.0.0.4", 1, "public", "", {"scmFileStorageTable"})});
  EXPECT_EQ(response->result(), 0);
  ASSERT_EQ(response->devices().size(), 5u);
  auto it = response->devices().begin();

  const deviceRes& desk = *it++;
  EXPECT_EQ(desk.errorCount, 0);
  EXPECT_EQ(desk.rowCount("scmFileStorageTable"), 3);  // two rows, plus the column names
  EXPECT_EQ(desk.cell("scmFileStorageTable", "scmFileStorageFileName", 2), "inv.ps");
  EXPECT_EQ(desk.cell("scmFileStorageTable", "scmFileStorageFileType", 1), "pclFont");
  EXPECT_EQ(desk.cell("scmFileStorageTable", "scmFileStorageFilePersistence", 2), "volatile");
  EXPECT_EQ(desk.cell("scmFileStorageTable", "scmFileStorageFileID", 1), "3");
  EXPECT_EQ(desk.cell("scmFileStorageTable", "scmFileStorageFileSize", 1), "10");
  EXPECT_EQ(desk.scalars().at("sysName"), "Desk");

  const deviceRes& wrongCommunity = *it++;
  EXPECT_EQ(wrongCommunity.errorCount, 1);
  EXPECT_EQ(wrongCommunity.tables().size(), 0u);

  const deviceRes& v3 = *it++;
  EXPECT_EQ(v3.errorCount, 1);  // the unknown variable; the table still comes
  EXPECT_EQ(v3.rowCount("staticTrapDestTable"), 5);
  EXPECT_EQ(v3.cell("staticTrapDestTable", "staticTrapDestStatus", 4), "invalid");

  const deviceRes& unknown = *it++;
  EXPECT_EQ(unknown.errorCount, 1);
  EXPECT_EQ(unknown.address, "127.0.0.99");

  // A table without rows comes back empty, so it reads as a scalar, as from the real service.
  const deviceRes& empty = *it++;
  EXPECT_EQ(empty.errorCount, 0);
  EXPECT_EQ(empty.rowCount("scmFileStorageTable"), -1);
  EXPECT_TRUE(empty.hasScalar("scmFileStorageTable"));
}

TEST_F(ServicesFixture, SnmpSetValuesWritesTrapRowsByPosition) {
  SnmpService snmp(memory_);
  struct Case {
    const char* why;
    QByteArray devices;
    const char* result;
  };
  const Case cases[] = {
      {"row 2 of the first device", setRow("127.0.0.2", "2", "127.0.0.1", "valid"), "0"},
      {"a row past the table", setRow("127.0.0.2", "4", "127.0.0.1", "valid"), "11"},
      {"an index beyond any integer", setRow("127.0.0.2", "99999999999999999999", "x", "valid"),
       "11"},
      {"a status the table does not know", setRow("127.0.0.2", "0", "127.0.0.1", "on"), "11"},
      {"a device not in the fleet", setRow("10.1.1.1", "0", "127.0.0.1", "valid"), "10"},
      {"an IP without address is a malformed request", "<Device><RequestParams><IP/>", "3"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.why);
    EXPECT_EQ(elementTexts(text(answer(snmp, "SNMPSetValues", c.devices)), "Result"),
              QStringList{c.result});
  }
  const DeviceTable table = fleet_.byAddress("127.0.0.2")->trapDestTable();
  EXPECT_EQ(table.rows.at(2), (QStringList{"127.0.0.1", "public", "valid"}));
  for (int row : {0, 1, 3}) EXPECT_EQ(table.rows.at(row).at(2), "invalid") << row;
}

TEST_F(ServicesFixture, DeviceListAnswersTheNamedDevicesWithTheAskedProperties) {
  DeviceManagementService dms(fleet_);
  auto lookup = [&](const QList<DeviceFilter>& filters, const QStringList& properties) {
    CmdDMSGetDeviceListRequest req;
    req.devices = filters;
    req.properties = properties;
    QByteArray bytes;
    req.toByteArray(bytes);
    Zarvo::PacketPtr out = dms.processRequest("DMSGetDeviceList", bytes);
    out->toByteArray(bytes);
    CmdDMSGetDeviceListResponse r;
    r.fromByteArray(bytes);
    EXPECT_EQ(r.result(), 0);
    return r.devices;
  };
  const QStringList asked = {"IP",        "SNMP_VER",    "AuthPass", "AuthMethod",   "ContextName",
                             "ContextID", "PrivacyPass", "UserName", "SecurityLevel"};
  QList<DeviceRecord> found = lookup({DeviceFilter{2, {}}}, asked);
  ASSERT_EQ(found.size(), 1);
  EXPECT_EQ(found.first().id, 2u);
  EXPECT_EQ(found.first().properties,
            (std::map<QString, QString>{{"IP", "127.0.0.3"},
                                        {"SNMP_VER", "3"},
                                        {"UserName", "adm"},
                                        {"SecurityLevel", "Authentication"},
                                        {"AuthMethod", "MD5"},
                                        {"AuthPass", "pw"}}));
  EXPECT_EQ(lookup({DeviceFilter{5, {}}}, asked).size(), 0);  // unknown ID: none, result 0
  found = lookup({DeviceFilter{-1, {{"Name", "Lab"}}}}, {"Name", "Model"});
  ASSERT_EQ(found.size(), 1);
  EXPECT_EQ(found.first().properties.at("Model"), "ZX-410");
  EXPECT_EQ(found.first().properties.count("IP"), 0u);

  // No filter: every device, and whether it can be reached.
  QString error;
  ASSERT_TRUE(fleet_.byAddress("127.0.0.3")->setFault({FaultKind::Refuse, 0, {}}, &error));
  std::map<QString, QString> reachable;
  for (const DeviceRecord& d : lookup({}, {"IP", "Reachable"}))
    reachable[d.property("IP")] = d.property("Reachable");
  EXPECT_EQ(reachable, (std::map<QString, QString>{
                           {"127.0.0.2", "true"}, {"127.0.0.3", "false"}, {"127.0.0.4", "true"}}));
}

TEST_F(ServicesFixture, FleetControlSetsFaultsAndShowsDevices) {
  FleetControlService sim(fleet_);
  struct Case {
    const char* why;
    QByteArray children;
    const char* result;
  };
  const Case cases[] = {
      {"by identifier", "<Device>7</Device><Fault>slow</Fault><DelayMs>50</DelayMs>", "0"},
      {"by address, with a failure text",
       "<Device>127.0.0.2</Device><Fault>fail</Fault><Status>NoRoom</Status>", "0"},
      {"a fault with no name", "<Device>1</Device><Fault>melt</Fault>", "3"},
      {"completed is no failure text",
       "<Device>1</Device><Fault>fail</Fault><Status>completed</Status>", "3"},
      {"delay out of range", "<Device>1</Device><Fault>slow</Fault><DelayMs>-5</DelayMs>", "3"},
      {"unknown device", "<Device>127.0.0.77</Device><Fault>none</Fault>", "10"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.why);
    EXPECT_EQ(elementTexts(text(answer(sim, "SIMSetFault", c.children)), "Result"),
              QStringList{c.result});
  }
  EXPECT_EQ(fleet_.byId(7)->fault().kind, FaultKind::Slow);
  EXPECT_EQ(fleet_.byId(7)->fault().delayMs, 50);
  EXPECT_EQ(fleet_.byId(1)->fault().status, "NoRoom");

  const QByteArray shown = text(answer(sim, "SIMGetDevices", "<Device>1</Device>"));
  EXPECT_EQ(elementTexts(shown, "Address"), QStringList{"127.0.0.2"});
  EXPECT_EQ(elementTexts(shown, "Fault"), QStringList{"fail"});
  EXPECT_EQ(elementTexts(shown, "Name"), (QStringList{"Desk", "Courier", "inv.ps"}));
  EXPECT_EQ(elementTexts(text(answer(sim, "SIMGetDevices", "")), "ID").size(), 3 + 2);
}

TEST(TrapForwarderLanes, OneDevicesStuckDeliveryNeverDelaysAnothersAndOrderIsKept) {
  std::mutex mutex;
  std::condition_variable changed;
  bool release = false;
  QStringList delivered;
  // On the heap: a stack slot reused from an earlier test's lock confuses the thread sanitizer.
  auto forwarder = std::make_unique<TrapForwarder>([&](const DeviceTrap& t) {
    std::unique_lock<std::mutex> lock(mutex);
    if (t.hostIp == "127.0.0.2") changed.wait(lock, [&] { return release; });
    delivered << t.hostIp + ' ' + t.variables.first().second;
    changed.notify_all();
  });
  auto trap = [](const char* host, const char* status) {
    return DeviceTrap{host, "127.0.0.1", "public", ".1", {{".1.5", status}}};
  };
  forwarder->sendTrap(trap("127.0.0.2", "processing"));  // stuck until released
  forwarder->sendTrap(trap("127.0.0.2", "completed"));
  forwarder->sendTrap(trap("127.0.0.3", "processing"));
  forwarder->sendTrap(trap("127.0.0.3", "completed"));
  std::unique_lock<std::mutex> lock(mutex);
  ASSERT_TRUE(
      changed.wait_for(lock, std::chrono::seconds(5), [&] { return delivered.size() == 2; }));
  EXPECT_EQ(delivered, (QStringList{"127.0.0.3 processing", "127.0.0.3 completed"}));
  release = true;
  changed.notify_all();
  ASSERT_TRUE(
      changed.wait_for(lock, std::chrono::seconds(5), [&] { return delivered.size() == 4; }));
  EXPECT_EQ(delivered.mid(2), (QStringList{"127.0.0.2 processing", "127.0.0.2 completed"}));
}

}  // namespace
}  // namespace Zarvo::suite
