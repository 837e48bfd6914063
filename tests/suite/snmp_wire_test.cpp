// SNMP over real UDP sockets, in one process and without privileges (loopback addresses of this
// test's own, ports chosen by the system): simulated printers as agents, checked with net-snmp's
// own command-line tools (snmpwalk, snmptable, snmpset, snmpget, snmptrap), the SNMP service
// walking and setting their tables through the wire backend, every wait bounded, bad input
// answered or dropped without harm, their traps received and forwarded, and a fleet of 250
// printers on a handful of threads.
#include <dirent.h>
#include <gtest/gtest.h>

#include <QFile>
#include <QRegularExpression>
#include <QTemporaryDir>
#include <random>

#include "plugin/TCP9100File.h"
#include "suite/NetSnmpPdu.h"
#include "suite/PrinterAgent.h"
#include "suite/SnmpBackends.h"
#include "suite/SnmpConfig.h"
#include "suite/SuiteServices.h"
#include "suite/TrapReceiver.h"
#include "tests/fakes/FakeNamingService.h"
#include "tests/fakes/HttpProbe.h"
#include "tests/suite/SuiteTestSupport.h"

namespace Zarvo::suite::snmp {
namespace {

using Clock = std::chrono::steady_clock;
using std::chrono::milliseconds;
using testing_orx::elementTexts;

// A subnet of this process's own, so parallel runs never share an address.
QString address(int host) {
  return QStringLiteral("127.%1.%2.%3").arg(23).arg(::getpid() % 250 + 1).arg(host);
}

using testing_suite::connectAndSend;
using testing_suite::RecordingSink;
using testing_suite::sendDatagrams;
using testing_suite::Tool;

Tool run(const QString& program, const QStringList& args) {
  Tool t = testing_suite::runTool(program, args);
  t.out += t.err;
  return t;
}

const QStringList kWithMib = {"-M", QStringLiteral("+") + ZARVO_MIB_DIR, "-m", "ZARVO-STORAGE-MIB"};

std::string errorsOf(const deviceRes& d) {
  std::string out;
  for (const auto& [code, message] : d.errors()) {
    out += std::to_string(code) + " " + message.toStdString() + "; ";
  }
  return out;
}

std::unique_ptr<SnmpMib> loadMib() {
  QString error;
  auto mib = SnmpMib::load(ZARVO_MIB_DIR, "ZARVO-STORAGE-MIB", "", &error);
  EXPECT_TRUE(mib) << error.toStdString();
  return mib;
}

class SnmpWire : public ::testing::Test {
 protected:
  void SetUp() override {
    Zarvo::ensureXercesInitialised();
    QString xml = R"(<Fleet confirmDelayMs="0" snmpPort="0">
        <Device id="1" address="A1" printPort="0" webPort="0" community="north"
                writeCommunity="south" name="Desk">
          <File name="Courier" kind="pclFont" id="3" persistence="permanent" size="10"/>
          <File name="inv.ps" kind="psForm" persistence="volatile" text="%!PS"/>
          <TrapDest addr="127.0.0.1" status="valid"/><TrapDest/><TrapDest/>
        </Device>
        <Device id="2" address="A2" printPort="0" webPort="0" snmpVersion="3" userName="adm"
                authMethod="SHA1" authPass="authpass1" securityLevel="AuthenticationEncryption"
                privacyPass="privpass1"/>
        <Device id="3" address="A3" printPort="0" webPort="0"/>
      </Fleet>)";
    for (int i = 1; i <= 3; ++i) xml.replace(QStringLiteral("A%1").arg(i), address(i + 1));
    QString error;
    ASSERT_TRUE(parseFleet(xml.toUtf8(), &setup_, &error)) << error.toStdString();
    // Thirty more files on the third printer, for the walk limits.
    for (int i = 0; i < 30; ++i) {
      setup_.devices[2].files << StoredFileSetup{QStringLiteral("f%1").arg(i), "psForm", 0,
                                                 "volatile", "x"};
    }
    fleet_ = std::make_unique<Fleet>(setup_, dir_.path(), &sink_, DeviceLimits(), &printers_);
    receiver_ = std::make_unique<TrapReceiver>(
        engine_, [this](const QString& a) { return fleet_->isDevice(a); }, sink_);
    ASSERT_TRUE(receiver_->start("127.0.0.1", 0, &error)) << error.toStdString();
    printers_.trapPort = receiver_->port();
    ASSERT_TRUE(fleet_->start(&error)) << error.toStdString();
    backend_ = std::make_unique<WireBackend>(client_, *mib_, *fleet_, PrivacyProtocol::Aes);
    service_ = std::make_unique<SnmpService>(*backend_);
  }
  void TearDown() override {
    if (fleet_) fleet_->stop();
    if (receiver_) receiver_->stop();
  }

  // Printer n (from 1) of the fleet below is on address(n + 1).
  QString endpoint(int printer) const {
    return address(printer + 1) + ':' + QString::number(fleet_->snmpPortOf(address(printer + 1)));
  }

  std::unique_ptr<CmdSNMPGetValuesResponse> getValues(const deviceReq& asked) {
    return testing_suite::getValues(*service_, {asked});
  }
  deviceReq asked(int printer, int version, const char* community, QList<QByteArray> variables) {
    deviceReq d;
    d.address = address(printer + 1).toLatin1();
    d.ipVersion = 4;
    d.snmpVersion = version;
    d.readCommunity = community;
    for (const QByteArray& v : variables) d.addVariable(v);
    return d;
  }

  SnmpEngine engine_;
  std::unique_ptr<SnmpMib> mib_ = loadMib();
  PrinterSnmpContext printers_{
      engine_, testing_suite::printerLayout(), PrivacyProtocol::Aes, {162}};
  SnmpLimits limits_ = [] {
    SnmpLimits l;
    l.timeout = milliseconds(300);
    l.retries = 1;
    return l;
  }();
  SnmpClient client_{engine_, limits_};
  QTemporaryDir dir_;
  FleetSetup setup_;
  RecordingSink sink_;
  std::unique_ptr<Fleet> fleet_;
  std::unique_ptr<TrapReceiver> receiver_;
  std::unique_ptr<WireBackend> backend_;
  std::unique_ptr<SnmpService> service_;
};

TEST_F(SnmpWire, NetSnmpsOwnToolsReadAndWriteAPrinter) {
  SKIP_WHEN_STARTING_PROGRAMS();
  // snmpwalk of the arc lists the stored files.
  Tool t =
      run("snmpwalk", {"-v2c", "-c", "north", "-On", "-t", "2", endpoint(1), ".1.3.6.1.4.1.32473"});
  EXPECT_EQ(t.exit, 0) << t.out.toStdString();
  EXPECT_TRUE(t.out.contains(".1.3.6.1.4.1.32473.11.5.11.84.1.1.2.1 = STRING: \"Courier\""))
      << t.out.toStdString();
  EXPECT_TRUE(t.out.contains(".1.3.6.1.4.1.32473.11.5.11.84.1.1.2.2 = STRING: \"inv.ps\""));

  // snmptable reads the table through the MIB, enumerations as their labels.
  t = run("snmptable", kWithMib + QStringList{"-v2c", "-c", "north", "-Cf", "|", endpoint(1),
                                              "scmFileStorageTable"});
  EXPECT_EQ(t.exit, 0) << t.out.toStdString();
  EXPECT_TRUE(t.out.contains("1|\"Courier\"|10|pclFont|permanent|3")) << t.out.toStdString();
  EXPECT_TRUE(t.out.contains("2|\"inv.ps\"|4|psForm|volatile|0")) << t.out.toStdString();

  // snmpset of a trap-destination row (write community), seen by SNMPGetValues.
  t = run("snmpset",
          kWithMib + QStringList{"-v2c", "-c", "south", endpoint(1), "staticTrapDestAddr.2", "s",
                                 "127.0.0.9", "staticTrapDestStatus.2", "i", "valid"});
  EXPECT_EQ(t.exit, 0) << t.out.toStdString();
  const auto r = getValues(asked(1, 1, "north", {"staticTrapDestTable"}));
  const deviceRes& desk = r->devices().front();
  EXPECT_EQ(desk.errorCount, 0);
  EXPECT_EQ(desk.cell("staticTrapDestTable", "staticTrapDestAddr", 2), "127.0.0.9");
  EXPECT_EQ(desk.cell("staticTrapDestTable", "staticTrapDestStatus", 2), "valid");

  // The read community may not write; the file table may not be written at all.
  t = run("snmpset", kWithMib + QStringList{"-v2c", "-c", "north", "-t", "0.3", "-r", "0",
                                            endpoint(1), "staticTrapDestStatus.3", "i", "valid"});
  EXPECT_NE(t.exit, 0);
  EXPECT_TRUE(t.out.contains("Timeout")) << t.out.toStdString();
  t = run("snmpset", kWithMib + QStringList{"-v2c", "-c", "south", endpoint(1),
                                            "scmFileStorageFileName.1", "s", "x"});
  EXPECT_NE(t.exit, 0);
  EXPECT_TRUE(t.out.contains("notWritable")) << t.out.toStdString();

  // SNMPv3 with the configured user and keys; a wrong key gets no value.
  const QStringList v3 = {"-v3", "-u", "adm",       "-l", "authPriv", "-a", "SHA", "-x",
                          "AES", "-X", "privpass1", "-t", "1",        "-r", "0",   "-On"};
  t = run("snmpget", v3 + QStringList{"-A", "authpass1", endpoint(2), ".1.3.6.1.2.1.1.5.0"});
  EXPECT_EQ(t.exit, 0) << t.out.toStdString();
  EXPECT_TRUE(t.out.contains(".1.3.6.1.2.1.1.5.0 = STRING: \"" + address(3) + "\""))
      << t.out.toStdString();
  t = run("snmpget", v3 + QStringList{"-A", "wrongpass1", endpoint(2), ".1.3.6.1.2.1.1.5.0"});
  EXPECT_NE(t.exit, 0);
  EXPECT_FALSE(t.out.contains("STRING")) << t.out.toStdString();
}

TEST_F(SnmpWire, TheServiceWalksEachVersionAndReportsFailuresPerDevice) {
  auto r = getValues(asked(1, 2, "north", {"scmFileStorageTable", "sysName"}));
  const deviceRes& desk = r->devices().front();
  EXPECT_EQ(r->result(), 0);
  EXPECT_EQ(desk.errorCount, 0);
  EXPECT_EQ(desk.rowCount("scmFileStorageTable"), 3);
  EXPECT_EQ(desk.cell("scmFileStorageTable", "scmFileStorageFileName", 1), "Courier");
  EXPECT_EQ(desk.cell("scmFileStorageTable", "scmFileStorageFileType", 1), "pclFont");
  EXPECT_EQ(desk.cell("scmFileStorageTable", "scmFileStorageFilePersistence", 2), "volatile");
  EXPECT_EQ(desk.cell("scmFileStorageTable", "scmFileStorageFileID", 1), "3");
  EXPECT_EQ(desk.scalars().at("sysName"), "Desk");

  // SNMPv1 walks with GETNEXT to the same table.
  r = getValues(asked(1, 1, "north", {"scmFileStorageTable"}));
  EXPECT_EQ(r->devices().front().rowCount("scmFileStorageTable"), 3);

  // SNMPv3 with keys, at the printer's level.
  deviceReq v3 = asked(2, 3, "", {"staticTrapDestTable"});
  v3.userName = "adm";
  v3.securityLevel = kAuthPriv;
  v3.authProtocol = kSha1;
  v3.authPassPhrase = "authpass1";
  v3.privPassPhrase = "privpass1";
  r = getValues(v3);
  EXPECT_EQ(r->devices().front().errorCount, 0) << errorsOf(r->devices().front());
  EXPECT_EQ(r->devices().front().rowCount("staticTrapDestTable"), 5);  // four rows + names

  struct Case {
    const char* why;
    deviceReq request;
    int code;
    milliseconds within;
  };
  deviceReq wrongKey = v3;
  wrongKey.authPassPhrase = "wrongpass1";
  deviceReq lowLevel = v3;
  lowLevel.securityLevel = kAuthNoPriv;
  const milliseconds oneRequest = limits_.timeout * (limits_.retries + 1) + milliseconds(1500);
  const Case cases[] = {
      {"a wrong community gets no answer", asked(1, 2, "public", {"scmFileStorageTable"}),
       kNoResponse, oneRequest},
      {"a wrong key is refused", wrongKey, kAuthorization, oneRequest},
      {"below the printer's security level there is no answer", lowLevel, kNoResponse,
       2 * oneRequest},
      {"a table nobody defines", asked(1, 2, "north", {"fontCartridgeTable"}), 2, oneRequest},
      {"nobody at that address",
       [&] {
         deviceReq d = asked(1, 2, "north", {"scmFileStorageTable"});
         d.address = address(99).toLatin1();
         return d;
       }(),
       kNoResponse, oneRequest},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.why);
    const auto started = Clock::now();
    r = getValues(c.request);
    EXPECT_LT(Clock::now() - started, c.within);
    EXPECT_EQ(r->result(), 0);  // a device's failure is the device's, not the request's
    const deviceRes& d = r->devices().front();
    EXPECT_EQ(d.errorCount, 1);
    EXPECT_EQ(d.errors().count(c.code), 1u) << errorsOf(d);
    EXPECT_TRUE(d.tables().empty());
  }
}

TEST_F(SnmpWire, ATableMapAnswersATableNameWithAnotherTable) {
  // Another maker's printer keeps its fonts in a table of its own: here, the same printer's file
  // table under other names, labels of its own for two of the kinds.
  const SnmpSetup mapped = parseSnmpSetup(R"(<c>
      <TableMap name="fontTable" oid=".1.3.6.1.4.1.32473.11.5.11.84.1">
        <Column name="fontName" sub="2"/>
        <Column name="fontKind" sub="4" type="integer" values="font=3,form=2"/>
      </TableMap></c>)");
  ASSERT_EQ(mapped.tableMaps.size(), 1);
  mib_->addTable(mapped.tableMaps.first());
  const auto r = getValues(asked(1, 2, "north", {"fontTable"}));
  const deviceRes& d = r->devices().front();
  EXPECT_EQ(d.errorCount, 0) << errorsOf(d);
  EXPECT_EQ(d.rowCount("fontTable"), 3);
  EXPECT_EQ(d.cell("fontTable", "fontName", 1), "Courier");
  EXPECT_EQ(d.cell("fontTable", "fontKind", 1), "font");
  EXPECT_EQ(d.cell("fontTable", "fontKind", 2), "form");
}

TEST_F(SnmpWire, SetValuesWritesOneRowByPositionWithTheDevicesWriteCredentials) {
  const QByteArray desk = address(2).toLatin1();
  const QByteArray row = testing_suite::setRow(desk, "1", "127.0.0.1", "valid");
  auto answer = [&](const QByteArray& devices) {
    Zarvo::PacketPtr out = service_->processRequest(
        "SNMPSetValues", testing_suite::orxRequest("SNMPSetValues", devices));
    QByteArray bytes;
    out->toByteArray(bytes);
    return elementTexts(bytes, "Result");
  };
  EXPECT_EQ(answer(row), QStringList{"0"});
  const DeviceTable table = fleet_->byAddress(address(2))->trapDestTable();
  EXPECT_EQ(table.rows.at(1), (QStringList{"127.0.0.1", "public", "valid"}));
  // Past the table's rows, and a status the printer does not know: refused, nothing written.
  EXPECT_EQ(answer(testing_suite::setRow(desk, "7", "127.0.0.1", "valid")), QStringList{"11"});
  EXPECT_EQ(answer(testing_suite::setRow(desk, "1", "127.0.0.1", "on")), QStringList{"11"});
  // A device that stopped answering SNMP.
  QString error;
  ASSERT_TRUE(fleet_->byAddress(address(2))->setFault({FaultKind::Mute, 0, {}}, &error));
  EXPECT_EQ(answer(row), QStringList{"12"});
}

TEST_F(SnmpWire, WalksStopAtTheirRowLimit) {
  SnmpLimits tight = limits_;
  tight.maxRows = 10;
  tight.maxRepetitions = 4;
  SnmpClient client(engine_, tight);
  WireBackend backend(client, *mib_, *fleet_, PrivacyProtocol::Aes);
  deviceReq d = asked(3, 2, "public", {"scmFileStorageTable"});
  const deviceRes res = backend.get(d);
  EXPECT_EQ(res.errors().count(kWalkTooLong), 1u);
  EXPECT_TRUE(res.tables().empty());
  // Within the limit the same walk comes whole.
  deviceReq small = asked(1, 2, "north", {"scmFileStorageTable"});
  EXPECT_EQ(backend.get(small).rowCount("scmFileStorageTable"), 3);
}

TEST_F(SnmpWire, PrintersShrugOffDatagramsTheyCannotDecode) {
  SnmpTarget desk;
  desk.address = address(2);
  desk.port = fleet_->snmpPortOf(address(2));
  desk.version = 2;
  desk.community = "north";
  const Oid sysName = {1, 3, 6, 1, 2, 1, 1, 5, 0};
  const GetResult good = client_.get(desk, {sysName});
  ASSERT_FALSE(good.failure) << good.failure.message.toStdString();
  // A real request, cut at every length, and noise.
  QByteArray request =
      QByteArray::fromHex("302902010104056e6f727468a01d0204") + QByteArray(20, '\x30');
  std::mt19937 random(7);
  QList<QByteArray> noise;
  for (int i = 0; i < 300; ++i) {
    noise << (i < request.size() ? request.left(i)
                                 : QByteArray(int(random() % 1400), char(random())));
  }
  sendDatagrams(address(2), desk.port, noise);
  const GetResult after = client_.get(desk, {sysName});
  EXPECT_FALSE(after.failure) << after.failure.message.toStdString();
  EXPECT_EQ(after.varBinds.value(0).value, good.varBinds.value(0).value);
}

TEST_F(SnmpWire, TrapsComeOverUdpAndOnlyDevicesTrapsGoOn) {
  // A download to the first printer, whose first trap row names this host: both its traps
  // arrive as real SNMPv1 traps and are handed on.
  const dsm::TCP9100FilePSForm form("f.ps", QByteArray(100, 'f'));
  const QByteArray framed = form.header() + form.content() + form.trailer();
  ASSERT_TRUE(connectAndSend(address(2), fleet_->byAddress(address(2))->printPort(), framed));
  const QList<DeviceTrap> traps = sink_.waitFor(2);
  ASSERT_EQ(traps.size(), 2);
  for (const DeviceTrap& t : traps) {
    EXPECT_EQ(t.hostIp, address(2));
    EXPECT_EQ(t.enterprise, ".1.3.6.1.4.1.32473.11.5.11.83.1.2.1");
    EXPECT_EQ(t.generic, 6);
    EXPECT_EQ(t.specific, 1);
    ASSERT_EQ(t.variables.size(), 1);
    EXPECT_EQ(t.variables.first().first, ".1.3.6.1.4.1.32473.11.5.11.83.1.1.1.5");
  }
  EXPECT_EQ(traps.at(0).variables.first().second, "processing");
  EXPECT_EQ(traps.at(1).variables.first().second, "completed");

  // A trap naming another device goes on; one of a stranger's is counted and dropped; noise is
  // counted as malformed. (snmptrap itself sends to the running suite in the end-to-end tests.)
  auto v1Trap = [&](const char* agent) {
    QByteArray bytes;
    engine_.call([&] {  // the library is the SNMP loop's
      PduPtr pdu(snmp_pdu_create(SNMP_MSG_TRAP));
      pdu->version = SNMP_VERSION_1;
      const Oid enterprise = *parseOid(".1.3.6.1.4.1.32473.11.5.11.83.1.2.1");
      pdu->enterprise = snmp_duplicate_objid(enterprise.data(), enterprise.size());
      pdu->enterprise_length = enterprise.size();
      pdu->trap_type = 6;
      pdu->specific_type = 1;
      inet_pton(AF_INET, agent, pdu->agent_addr);
      addVarBind(pdu.get(),
                 {*parseOid(".1.3.6.1.4.1.32473.11.5.11.83.1.1.1.5"), Value::string("completed")});
      bytes = encodeCommunityPdu(pdu.get(), "public");
    });
    return bytes;
  };
  sendDatagrams("127.0.0.1", receiver_->port(),
                {v1Trap(address(3).toLatin1().constData()), v1Trap("127.0.0.66"),
                 QByteArray("\x30\x03\x02\x01", 4), QByteArray(512, '\xff')});
  const QList<DeviceTrap> after = sink_.waitFor(3);
  ASSERT_EQ(after.size(), 3);
  EXPECT_EQ(after.at(2).hostIp, address(3));
  const auto until = Clock::now() + milliseconds(5000);
  while (receiver_->counters().received < 6 && Clock::now() < until) {
    std::this_thread::sleep_for(milliseconds(10));
  }
  const TrapReceiver::Counters c = receiver_->counters();
  EXPECT_EQ(c.received, 6u);
  EXPECT_EQ(c.forwarded, 3u);
  EXPECT_EQ(c.unknownSource, 1u);
  EXPECT_EQ(c.malformed, 2u);
  EXPECT_EQ(sink_.waitFor(4, milliseconds(200)).size(), 3);  // the stranger's never came
}

// Threads and descriptors of this process right now.
int countEntries(const char* directory) {
  int n = 0;
  if (DIR* d = ::opendir(directory)) {
    while (const dirent* e = ::readdir(d)) n += e->d_name[0] != '.';
    ::closedir(d);
  }
  return n;
}

TEST(SnmpFleet, TwoHundredFiftyPrintersRunOnAHandfulOfThreads) {
  Zarvo::ensureXercesInitialised();
  const int threadsBefore = countEntries("/proc/self/task");
  const int descriptorsBefore = countEntries("/proc/self/fd");
  {
    SnmpEngine engine;
    PrinterSnmpContext printers{
        engine, testing_suite::printerLayout(), PrivacyProtocol::Aes, {162}};
    QTemporaryDir dir;
    FleetSetup setup;
    QString error;
    const QString first = QStringLiteral("127.24.%1.2").arg(::getpid() % 250 + 1);
    ASSERT_TRUE(parseFleet(QStringLiteral("<Fleet count=\"250\" firstAddress=\"%1\" snmpPort=\"0\""
                                          " confirmDelayMs=\"0\"/>")
                               .arg(first)
                               .toUtf8(),
                           &setup, &error))
        << error.toStdString();
    ASSERT_EQ(setup.devices.size(), 250);
    for (DeviceSetup& d : setup.devices) d.printPort = d.webPort = 0;  // unprivileged
    RecordingSink sink;
    Fleet fleet(setup, dir.path(), &sink, DeviceLimits(), &printers);
    ASSERT_TRUE(fleet.start(&error)) << error.toStdString();
    const int threads = countEntries("/proc/self/task") - threadsBefore;
    const int descriptors = countEntries("/proc/self/fd") - descriptorsBefore;
    std::printf("250 printers: %d threads, %d descriptors\n", threads, descriptors);
    // One SNMP loop, one accepting thread; no pool thread before the first connection.
    EXPECT_LE(threads, 4);
    EXPECT_LE(descriptors, 250 * 3 + 16);
    // Each of them answers: its SNMP agent and its print port.
    SnmpLimits limits;
    limits.timeout = milliseconds(500);
    SnmpClient client(engine, limits);
    int answered = 0, accepted = 0;
    for (const auto& d : fleet.devices()) {
      SnmpTarget target;
      target.address = d->address();
      target.port = d->snmpPort();
      target.version = 2;
      target.community = "public";
      const GetResult got = client.get(target, {Oid{1, 3, 6, 1, 2, 1, 1, 5, 0}});
      answered += !got.failure && got.varBinds.value(0).value.bytes == d->setup().name.toUtf8();
      accepted += connectAndSend(d->address(), d->printPort());
    }
    EXPECT_EQ(answered, 250);
    EXPECT_EQ(accepted, 250);
    fleet.stop();
  }
}

// Against a printer of another process (another SNMP engine), as the service meets real
// printers: net-snmp keeps one user table per process and would go on using the first keys it
// saw for an engine and user; each request must be judged on its own keys all the same.
TEST(SnmpRemote, EachRequestIsJudgedOnItsOwnKeys) {
  SKIP_WHEN_STARTING_PROGRAMS();
  QTemporaryDir dir;
  const QString printer = QStringLiteral("127.26.%1.2").arg(::getpid() % 250 + 1);
  QFile cfg(dir.filePath("suite.cfg"));
  ASSERT_TRUE(cfg.open(QIODevice::WriteOnly));
  cfg.write(
      "<SuiteConfig><TrapPort>0</TrapPort><Fleet filesDir=\"fleet\" snmpPort=\"0\">"
      "<Device address=\"" +
      printer.toLatin1() +
      "\" printPort=\"0\" webPort=\"0\" "
      "snmpVersion=\"3\" userName=\"adm\" authMethod=\"SHA1\" authPass=\"authpass1\" "
      "securityLevel=\"AuthenticationEncryption\" privacyPass=\"privpass1\"/>"
      "</Fleet></SuiteConfig>");
  cfg.close();
  testing_suite::Program suite(ZARVO_SUITE_EXE, {"--config", cfg.fileName()}, dir.path());
  ASSERT_TRUE(suite.start("Fleet ready")) << suite.output().toStdString();
  static const QRegularExpression agent("SNMP port (\\d+)");
  const auto m = agent.match(QString::fromUtf8(suite.output()));
  ASSERT_TRUE(m.hasMatch()) << suite.output().toStdString();

  SnmpEngine engine;
  SnmpLimits limits;
  limits.timeout = milliseconds(500);
  limits.retries = 1;
  SnmpClient client(engine, limits);
  SnmpTarget target;
  target.address = printer;
  target.port = quint16(m.captured(1).toUInt());
  target.version = 3;
  target.usm = UsmCredentials{"adm", 2, true, "authpass1", "privpass1", PrivacyProtocol::Aes};
  const Oid sysName = {1, 3, 6, 1, 2, 1, 1, 5, 0};
  struct Case {
    const char* why;
    QByteArray authPass;
    QByteArray privPass;
    int code;
  };
  const Case cases[] = {
      {"the printer's keys", "authpass1", "privpass1", 0},
      {"a wrong authentication key after a right one", "wrongpass1", "privpass1", kAuthorization},
      {"the right keys again after a wrong one", "authpass1", "privpass1", 0},
      // A message the printer cannot decrypt goes unanswered.
      {"a wrong privacy key", "authpass1", "wrongpass1", kNoResponse},
      {"and right once more", "authpass1", "privpass1", 0},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.why);
    target.usm.authPass = c.authPass;
    target.usm.privPass = c.privPass;
    const GetResult got = client.get(target, {sysName});
    EXPECT_EQ(got.failure.code, c.code) << got.failure.message.toStdString();
    EXPECT_EQ(got.varBinds.size(), c.code == 0 ? 1 : 0);
  }
}

}  // namespace
}  // namespace Zarvo::suite::snmp
