// The whole system on one machine, as its users drive it: zarvo-suite with a fleet of simulated
// printers, and the storage manager pointed at it, both started as processes from a temporary
// directory and reached only over HTTP, SNMP and UDP traps. The printers listen on ports 80, 9100
// and 161 of their own 127.13.x.y addresses, which needs root; without it the tests are skipped.
// net-snmp's own tools (snmpget, snmptrap) and snmpsim (a printer no one here wrote) take part.
#include <gtest/gtest.h>

#include <QDir>
#include <QFile>
#include <QProcess>
#include <QProcessEnvironment>
#include <QRegularExpression>
#include <QTemporaryDir>
#include <random>

#include "tests/fakes/FakeNamingService.h"
#include "tests/fakes/HttpProbe.h"
#include "tests/suite/SuiteTestSupport.h"

#if defined(ZARVO_SUITE_EXE) && defined(ZARVO_DSM_HOST)

namespace Zarvo::suite {
namespace {

using testing_orx::elementTexts;
using Clock = std::chrono::steady_clock;
using std::chrono::milliseconds;

using testing_suite::Program;

// One of net-snmp's command-line tools, bounded: (exit code, standard output and error).
std::pair<int, QString> netSnmp(const QString& program, const QStringList& args) {
  const testing_suite::Tool t = testing_suite::runTool(program, args);
  return {t.exit, t.out + t.err};
}

// Answers as UTF-8 text: generated packets already are, DOM packets come as UTF-16.
QByteArray call(quint16 port, const QByteArray& command, const QByteArray& children = {}) {
  const testing_http::Answer a = testing_http::exchange(
      port, testing_http::post("/" + command, testing_suite::orxRequest(command, children)), 30000);
  if (a.body.size() > 1 && a.body.at(1) == '\0') return testing_http::fromUtf16Le(a.body).toUtf8();
  return a.body;
}

class SuiteRun : public ::testing::Test {
 protected:
  void SetUp() override {
    if (::geteuid() != 0) {
      GTEST_SKIP() << "the simulated printers need root to listen on ports 80 and 9100";
    }
#if defined(__SANITIZE_THREAD__)
    // Both programs end at their first report, and the framework's connection-thread teardown
    // gives one inside Qt's wait condition, which the sanitizer cannot see into. The plain and
    // AddressSanitizer runs cover this group; the suite's own threads are covered here by the
    // in-process tests.
    GTEST_SKIP() << "the end-to-end group does not run under ThreadSanitizer";
#endif
    // A subnet of our own, so another run on this machine does not collide with this one.
    const int net = int(::getpid() % 200) + 20;
    for (int i = 0; i < 5; ++i) address_ << QStringLiteral("127.13.%1.%2").arg(net).arg(i + 2);
    // The trap port is chosen by the system (the suite says which); an unanswered SNMP request
    // gives up after 2 x 300 ms.
    const QByteArray fleet =
        QStringLiteral(
            "<SuiteConfig><Name>zarvo-suite</Name><TrapPort>0</TrapPort>"
            "<SnmpTimeoutMs>300</SnmpTimeoutMs><SnmpRetries>1</SnmpRetries>"
            "<Fleet filesDir=\"fleet\" confirmDelayMs=\"10\">"
            "<Device id=\"1\" address=\"%1\" name=\"One\">"
            "<File name=\"Courier\" kind=\"pclFont\" id=\"3\" size=\"3000\"/>"
            "<File name=\"inv.ps\" kind=\"psForm\" text=\"%!PS invoice form&#10;showpage&#10;\"/>"
            "</Device><Device id=\"2\" address=\"%2\" name=\"Two\"/>"
            "<Device id=\"3\" address=\"%3\" name=\"Three\"/>"
            // Read by the storage manager with SNMPv3 and these keys (from the device
            // management service), registered for traps with SNMPv1 as every printer.
            "<Device id=\"4\" address=\"%4\" name=\"Four\" snmpVersion=\"3\" userName=\"ops\""
            " authMethod=\"SHA1\" authPass=\"authpass4\" securityLevel=\"AuthenticationEncryption\""
            " privacyPass=\"privpass4\"/>"
            // A real printer to the suite: snmpsim plays it in the test that starts snmpsim.
            "<Device id=\"9\" address=\"%5\" name=\"Sim\" simulated=\"false\" snmpVersion=\"2\"/>"
            "</Fleet></SuiteConfig>")
            .arg(address_[0], address_[1], address_[2], address_[3], address_[4])
            .toUtf8();
    QFile cfg(dir_.filePath("suite.cfg"));
    ASSERT_TRUE(cfg.open(QIODevice::WriteOnly));
    cfg.write(fleet);
    cfg.close();
    suite_ = std::make_unique<Program>(ZARVO_SUITE_EXE, QStringList{"--config", cfg.fileName()},
                                       dir_.path());
    ASSERT_TRUE(suite_->start("Fleet ready")) << suite_->output().toStdString();

    // The storage manager from its own directory, its configuration beside it.
    ASSERT_TRUE(QDir(dir_.path()).mkdir("dsm"));
    dsmExe_ = dir_.filePath("dsm/ZarvoPluginDSM");
    ASSERT_TRUE(QFile::copy(ZARVO_DSM_HOST, dsmExe_));
    QFile dsmCfg(dir_.filePath("dsm/ZarvoPluginDSM.cfg"));
    ASSERT_TRUE(dsmCfg.open(QIODevice::WriteOnly));
    dsmCfg.write("<c><DispatcherURL>http://127.0.0.1:" + QByteArray::number(suite_->port()) +
                 "/</DispatcherURL></c>");
    dsmCfg.close();
    startDsm();
  }

  // The line the suite writes when the storage manager takes a row of `device`'s trap table.
  QByteArray rowTaken(int device) const {
    return "Device " + address_[device - 1].toLatin1() + ": trap destination row";
  }

  void startDsm() {
    QProcessEnvironment env = QProcessEnvironment::systemEnvironment();
    env.insert("ZARVO_CONFIRM_MS", "4000");  // a silent device ends in "Timeout" after 4 s
    env.insert("ZARVO_CONNECT_MS", "3000");
    env.insert("ZARVO_CGI_IDLE_S", "3");
    dsm_ = std::make_unique<Program>(dsmExe_, QStringList{}, dir_.filePath("dsm"), env);
    ASSERT_TRUE(dsm_->start("Registration successful")) << dsm_->output().toStdString();
  }

  QByteArray dsm(const QByteArray& command, const QByteArray& children = {}) {
    return call(dsm_->port(), command, children);
  }
  QByteArray sim(const QByteArray& command, const QByteArray& children = {}) {
    return call(suite_->port(), command, children);
  }
  QStringList filesOn(int deviceId) {
    const QByteArray list =
        dsm("DSMGetFileList", "<DeviceID>" + QByteArray::number(deviceId) + "</DeviceID>");
    EXPECT_EQ(elementTexts(list, "Result"), QStringList{"0"}) << list.toStdString();
    return elementTexts(list, "FileName");
  }
  QString storedPath(int device, const char* kind, const char* name) {
    return dir_.filePath(QStringLiteral("fleet/%1/%2/%3").arg(address_[device - 1], kind, name));
  }
  void fault(int device, const QByteArray& children) {
    const QByteArray a =
        sim("SIMSetFault", "<Device>" + QByteArray::number(device) + "</Device>" + children);
    ASSERT_EQ(elementTexts(a, "Result"), QStringList{"0"}) << a.toStdString();
  }
  // Waits (bounded) until operation `id` leaves IN_PROGRESS; its status, "" on time-out. The
  // storage manager says nothing of its jobs, but the suite reports what its devices do: the
  // list is asked again after each report, or after a quiet while.
  QString waitFor(int id, milliseconds limit = milliseconds(30000)) {
    const auto until = Clock::now() + limit;
    while (Clock::now() < until) {
      const QByteArray list = dsm("DSMGetOperationList");
      const QStringList ids = elementTexts(list, "ID");
      const QStringList statuses = elementTexts(list, "Status");
      const qsizetype at = ids.indexOf(QString::number(id));
      if (at >= 0 && at < statuses.size() && statuses.at(at) != "IN_PROGRESS")
        return statuses.at(at);
      suite_->awaitOutput(milliseconds(100));
    }
    return QString();
  }
  // The per-file result texts of an operation (the first Details is the answer's own).
  QStringList fileResults(int id) {
    return elementTexts(dsm("DSMDetailsOperation",
                            "<OperationID>" + QByteArray::number(id) + "</OperationID>"),
                        "Details")
        .mid(1);
  }
  QByteArray addFile(int device, const QString& path, const QByteArray& name) {
    return dsm("DSMAddFile", "<DeviceIP>" + address_[device - 1].toLatin1() +
                                 "</DeviceIP><LargeFile filename=\"" + name + "\">" +
                                 path.toUtf8() + "</LargeFile>");
  }
  QString upload(const QByteArray& name, const QByteArray& content) {
    QFile f(dir_.filePath(QString::fromLatin1(name)));
    EXPECT_TRUE(f.open(QIODevice::WriteOnly));
    f.write(content);
    return f.fileName();
  }
  QByteArray transfer(const QByteArray& command, int from, QList<int> to, const QByteArray& name,
                      const QByteArray& type, int size, int id = 0) {
    QByteArray destinations;
    for (int d : to) destinations += "<DeviceIP>" + address_[d - 1].toLatin1() + "</DeviceIP>";
    return dsm(command, "<Source><DeviceIP>" + address_[from - 1].toLatin1() +
                            "</DeviceIP><File><FileName>" + name + "</FileName><FileSize>" +
                            QByteArray::number(size) + "</FileSize><FileType>" + type +
                            "</FileType><FileStorageFileID>" + QByteArray::number(id) +
                            "</FileStorageFileID></File></Source><Destinations>" + destinations +
                            "</Destinations>");
  }
  // Trap-destination rows of every device that name this host as valid.
  int rowsRegisteredForThisHost() {
    const QByteArray devices = sim("SIMGetDevices");
    const QStringList addrs = elementTexts(devices, "Addr");
    const QStringList statuses = elementTexts(devices, "Status");
    int n = 0;
    for (qsizetype i = 0; i < addrs.size() && i < statuses.size(); ++i) {
      n += addrs.at(i) == "127.0.0.1" && statuses.at(i) == "valid";
    }
    return n;
  }

  // Runs zarvo-ctl against this run's naming service: (exit code, standard output).
  std::pair<int, QString> ctl(const QStringList& args) {
    QProcess p;
    p.start("python3", QStringList{ZARVO_CTL, "--ns",
                                   QStringLiteral("http://127.0.0.1:%1/").arg(suite_->port())} +
                           args);
    if (!p.waitForFinished(60000)) return {-1, QString()};
    return {p.exitCode(), QString::fromUtf8(p.readAllStandardOutput() + p.readAllStandardError())};
  }

  QTemporaryDir dir_;
  QStringList address_;
  QString dsmExe_;
  std::unique_ptr<Program> suite_;
  std::unique_ptr<Program> dsm_;
};

TEST_F(SuiteRun, ListsADevicesFilesThroughTheSuite) {
  const QByteArray list = dsm("DSMGetFileList", "<DeviceID>1</DeviceID>");
  EXPECT_EQ(elementTexts(list, "Result"), QStringList{"0"});
  EXPECT_EQ(elementTexts(list, "FileName"), (QStringList{"Courier", "inv.ps"}));
  EXPECT_EQ(elementTexts(list, "FileType"), (QStringList{"pclFont", "psForm"}));
  EXPECT_EQ(elementTexts(list, "FileSize"), (QStringList{"3000", "27"}));
  EXPECT_EQ(elementTexts(list, "FileStorageFileID"), (QStringList{"3", "0"}));
  // An identifier the device management service does not know: success, no files.
  EXPECT_EQ(filesOn(19), QStringList{});

  // The same through zarvo-ctl and the naming service.
  const auto [code, shown] = ctl({"DSMGetFileList", "--device", address_[0]});
  EXPECT_EQ(code, 0);
  EXPECT_TRUE(shown.contains(QRegularExpression("\\binv\\.ps +27 +psForm\\b")))
      << shown.toStdString();
}

TEST_F(SuiteRun, AddCopyMoveAndDeleteReachTheDevicesStores) {
  const QByteArray memo = "%!PS-Adobe-3.0\n%%Title: memo\nshowpage\n";
  const QString path = upload("memo-upload.ps", memo);
  addFile(1, path, "Memo.ps");  // operation 0
  addFile(2, path, "Memo.ps");  // operation 1
  EXPECT_EQ(waitFor(0), "COMPLETED") << dsm_->output().toStdString();
  EXPECT_EQ(waitFor(1), "COMPLETED");
  EXPECT_EQ(fileResults(0), QStringList{"completed"});
  const auto [watched, progress] = ctl({"--watch", "1"});
  EXPECT_EQ(watched, 0);
  EXPECT_TRUE(progress.contains("operation 1 ADD: COMPLETED 100%")) << progress.toStdString();
  for (int device : {1, 2}) {
    SCOPED_TRACE(device);
    EXPECT_TRUE(filesOn(device).contains("Memo.ps"));
    QFile stored(storedPath(device, "psForm", "Memo.ps"));
    ASSERT_TRUE(stored.open(QIODevice::ReadOnly));
    EXPECT_EQ(stored.readAll(), memo);
  }

  transfer("DSMCopyFile", 1, {3}, "inv.ps", "psForm", 27);  // operation 2
  EXPECT_EQ(waitFor(2), "COMPLETED") << dsm_->output().toStdString();
  EXPECT_TRUE(filesOn(3).contains("inv.ps"));
  EXPECT_TRUE(filesOn(1).contains("inv.ps"));  // a copy keeps the source

  transfer("DSMMoveFile", 1, {4}, "inv.ps", "psForm", 27);  // operation 3
  EXPECT_EQ(waitFor(3), "COMPLETED");
  EXPECT_TRUE(filesOn(4).contains("inv.ps"));
  EXPECT_FALSE(filesOn(1).contains("inv.ps"));  // a move removes it
  EXPECT_FALSE(QFile::exists(storedPath(1, "psForm", "inv.ps")));

  dsm("DSMDeleteFile", "<DeviceIP>" + address_[1].toLatin1() +
                           "</DeviceIP><File><FileName>Memo.ps</FileName><FileSize>" +
                           QByteArray::number(memo.size()) +
                           "</FileSize><FileType>psForm</FileType><FileStorageFileID>0"
                           "</FileStorageFileID></File>");  // operation 4
  EXPECT_EQ(waitFor(4), "COMPLETED");
  EXPECT_FALSE(filesOn(2).contains("Memo.ps"));
  EXPECT_FALSE(QFile::exists(storedPath(2, "psForm", "Memo.ps")));
  // Every registration made for the downloads was given back.
  EXPECT_EQ(rowsRegisteredForThisHost(), 0);
}

TEST_F(SuiteRun, FaultyDevicesEndTheirFilesWithTimeoutTheirStatusOrDeviceDosntResponse) {
  const QString path = upload("f.ps", "%!PS\nshowpage\n");
  fault(2, "<Fault>silent</Fault>");
  fault(3, "<Fault>fail</Fault><Status>DiskFull</Status>");
  fault(4, "<Fault>refuse</Fault>");
  const auto started = Clock::now();
  addFile(2, path, "a.ps");
  addFile(3, path, "a.ps");
  addFile(4, path, "a.ps");
  addFile(1, path, "a.ps");  // a sound device alongside them
  // A copy whose source page never answers: the (shortened) idle limit of the CGI client ends it.
  transfer("DSMCopyFile", 2, {1}, "ghost.ps", "psForm", 10);  // operation 4
  EXPECT_EQ(waitFor(3), "COMPLETED");
  for (int id : {0, 1, 2, 4}) EXPECT_EQ(waitFor(id), "FAILED") << id;
  // Silent takes the bytes and never confirms: the (shortened) confirmation wait ends it.
  EXPECT_EQ(fileResults(0), QStringList{"Timeout"});
  EXPECT_EQ(fileResults(1), QStringList{"DiskFull"});
  EXPECT_EQ(fileResults(2), QStringList{"DeviceDosntResponse"});
  EXPECT_EQ(fileResults(4), QStringList{"DeviceDosntResponse"});
  EXPECT_LT(Clock::now() - started, milliseconds(25000));
  EXPECT_FALSE(filesOn(1).isEmpty());
  EXPECT_EQ(rowsRegisteredForThisHost(), 0);
}

TEST_F(SuiteRun, CancelEndsAJobAndRetryRunsItAgain) {
  const QString path = upload("f.ps", "%!PS\nshowpage\n");
  fault(3, "<Fault>slow</Fault><DelayMs>20000</DelayMs>");
  addFile(3, path, "slow.ps");  // operation 0
  ASSERT_TRUE(suite_->waitForOutput(rowTaken(3))) << "the download never began";
  dsm("DSMCancelOperation", "<OperationID>0</OperationID>");
  EXPECT_EQ(waitFor(0, milliseconds(15000)), "CANCELED") << dsm_->output().toStdString();

  fault(3, "<Fault>none</Fault>");
  dsm("DSMRetryOperation", "<OperationID>0</OperationID>");
  EXPECT_EQ(waitFor(0), "COMPLETED") << dsm_->output().toStdString();
  EXPECT_TRUE(filesOn(3).contains("slow.ps"));
  EXPECT_EQ(rowsRegisteredForThisHost(), 0);
}

TEST_F(SuiteRun, AStorageManagerStoppedMidJobLeavesNoDeviceRegisteredToIt) {
  const QString path = upload("f.ps", "%!PS\nshowpage\n");
  fault(2, "<Fault>silent</Fault>");
  addFile(2, path, "x.ps");
  // The download is under way once the device's table names this host.
  ASSERT_TRUE(suite_->waitForOutput(rowTaken(2)));
  ASSERT_EQ(rowsRegisteredForThisHost(), 1);

  dsm_->stop();  // SIGTERM: the orderly stop
  EXPECT_EQ(rowsRegisteredForThisHost(), 0) << dsm_->output().toStdString();
  startDsm();
  EXPECT_EQ(rowsRegisteredForThisHost(), 0);
  EXPECT_EQ(filesOn(1), (QStringList{"Courier", "inv.ps"}));  // and it serves again
}

// One device of an SNMPGetValues request, read with SNMPv1 or v2c and `community`.
QByteArray getValuesRequest(const QString& address, int version, const QByteArray& community,
                            const QByteArray& variables) {
  return "<Priority>0</Priority><Device><RequestParams><IP address=\"" + address.toLatin1() +
         "\" IP_VER=\"4\"/><SNMP SNMP_VER=\"" + QByteArray::number(version) +
         "\"><SecurityAttrs rcommunity=\"" + community +
         "\" wcommunity=\"\"/></SNMP></RequestParams><RequestVariables>" + variables +
         "</RequestVariables></Device>";
}

TEST_F(SuiteRun, BadInputGetsBoundedAnswersAndNoCrash) {
  fault(3, "<Fault>mute</Fault>");
  struct Case {
    const char* why;
    QByteArray request;
    QByteArray error;  // the device's error in the answer
  };
  const Case cases[] = {
      {"a wrong community: the printer does not answer",
       getValuesRequest(address_[0], 2, "guess", "<scmFileStorageTable/>"),
       "<Error Code=\"1\">No response from device "},
      {"a table no MIB names", getValuesRequest(address_[0], 1, "public", "<cartridgeTable/>"),
       "<Error Code=\"2\">noSuchName: cartridgeTable</Error>"},
      {"a printer that stopped answering SNMP",
       getValuesRequest(address_[2], 1, "public", "<scmFileStorageTable/>"),
       "<Errors Count=\"1\"><Error Code=\"1\">No response from device " + address_[2].toLatin1() +
           "</Error>"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.why);
    const auto started = Clock::now();
    const QByteArray answer = sim("SNMPGetValues", c.request);
    EXPECT_LT(Clock::now() - started, milliseconds(3000));
    EXPECT_EQ(elementTexts(answer, "Result"), QStringList{"0"});
    EXPECT_TRUE(answer.contains(c.error)) << answer.toStdString();
  }
  // Through the storage manager the mute printer has no files, in bounded time.
  const auto started = Clock::now();
  EXPECT_EQ(filesOn(3), QStringList{});
  EXPECT_LT(Clock::now() - started, milliseconds(3000));

  // Cut and random datagrams to a printer's SNMP port and to the trap port.
  const QByteArray get = QByteArray::fromHex(
      "302602010104067075626c6963a0190204000000010201000201003010300e060a2b06010201010500");
  std::mt19937 random(9);
  QList<QByteArray> noise;
  for (int i = 0; i < 400; ++i) {
    noise << (i < get.size() ? get.left(i) : QByteArray(int(random() % 1500), char(random())));
  }
  testing_suite::sendDatagrams(address_[0], 161, noise);
  testing_suite::sendDatagrams("127.0.0.1", suite_->trapPort(), noise);
  // Everything still answers, the printer and the service.
  const auto [code, out] =
      netSnmp("snmpget", {"-v2c", "-c", "public", "-On", address_[0], ".1.3.6.1.2.1.1.5.0"});
  EXPECT_EQ(code, 0) << out.toStdString();
  EXPECT_EQ(filesOn(1), (QStringList{"Courier", "inv.ps"}));
  EXPECT_TRUE(suite_->waitForOutput("Trap port: dropped")) << suite_->output().toStdString();
}

TEST_F(SuiteRun, ATrapSentBySnmptrapCompletesAWaitingDownload) {
  ASSERT_NE(suite_->trapPort(), 0) << suite_->output().toStdString();
  // A printer that takes the bytes and never confirms: the download waits for a trap.
  fault(2, "<Fault>silent</Fault>");
  addFile(2, upload("t.ps", "%!PS\nshowpage\n"), "t.ps");  // operation 0
  ASSERT_TRUE(suite_->waitForOutput(rowTaken(2)));
  ASSERT_EQ(rowsRegisteredForThisHost(), 1);
  // A trap that comes before the storage manager waits for one is dropped, as from a printer;
  // so it is sent again until the download ends (well inside its 4 s confirmation wait).
  QString status;
  for (int i = 0; i < 15 && status.isEmpty(); ++i) {
    const auto [code, out] = netSnmp(
        "snmptrap", {"-v1", "-c", "public", QStringLiteral("127.0.0.1:%1").arg(suite_->trapPort()),
                     ".1.3.6.1.4.1.32473.11.5.11.83.1.2.1", address_[1], "6", "1", "",
                     ".1.3.6.1.4.1.32473.11.5.11.83.1.1.1.5", "s", "completed"});
    ASSERT_EQ(code, 0) << out.toStdString();
    status = waitFor(0, milliseconds(200));
  }
  EXPECT_EQ(status, "COMPLETED") << dsm_->output().toStdString();
  EXPECT_EQ(fileResults(0), QStringList{"completed"});
}

TEST_F(SuiteRun, APrinterPlayedBySnmpsimListsItsFilesThroughTheStorageManager) {
  // snmpsim answers the community "public" from public.snmprec: a printer's file table with two
  // rows, the system group and a column the storage manager does not read. It runs as nobody,
  // so its files sit in a directory of their own that nobody may read.
  QTemporaryDir simDir;
  QFile::setPermissions(simDir.path(), QFileDevice::ReadOwner | QFileDevice::WriteOwner |
                                           QFileDevice::ExeOwner | QFileDevice::ReadOther |
                                           QFileDevice::ExeOther);
  QDir(simDir.path()).mkpath("data");
  QDir(simDir.path()).mkpath("cache");
  QFile rec(simDir.filePath("data/public.snmprec"));
  ASSERT_TRUE(rec.open(QIODevice::WriteOnly));
  const QByteArray t = "1.3.6.1.4.1.32473.11.5.11.84.1.1.";
  rec.write(
      "1.3.6.1.2.1.1.1.0|4|Acme LaserJet 9\n"
      "1.3.6.1.2.1.1.5.0|4|acme-9\n" +
      t + "1.1|2|1\n" + t + "1.2|2|2\n" + t + "2.1|4|Helvetica Bold\n" + t + "2.2|4|Letter.ps\n" +
      t + "3.1|2|20480\n" + t + "3.2|2|512\n" + t + "4.1|2|3\n" + t + "4.2|2|2\n" + t +
      "5.1|2|5\n" + t + "5.2|2|4\n" + t + "6.1|2|12\n" + t + "6.2|2|0\n" + t + "9.1|4|ignored\n");
  rec.close();
  QProcess::execute("chmod", {"-R", "a+rwX", simDir.path() + "/data", simDir.path() + "/cache"});
  QProcess simulator;
  simulator.setProcessChannelMode(QProcess::MergedChannels);
  simulator.start("snmpsimd", {"--data-dir=" + simDir.filePath("data"),
                               "--cache-dir=" + simDir.filePath("cache"),
                               "--agent-udpv4-endpoint=" + address_[4] + ":161",
                               "--process-user=nobody", "--process-group=nogroup"});
  ASSERT_TRUE(simulator.waitForStarted(10000));
  struct Stop {
    QProcess& p;
    ~Stop() {
      p.terminate();
      if (!p.waitForFinished(5000)) {
        p.kill();
        p.waitForFinished(2000);
      }
    }
  } stop{simulator};
  // It answers once its index is built.
  const auto until = Clock::now() + milliseconds(30000);
  bool up = false;
  while (!up && Clock::now() < until && simulator.state() == QProcess::Running) {
    up = netSnmp("snmpget", {"-v2c", "-c", "public", "-t", "0.5", "-r", "0", address_[4],
                             ".1.3.6.1.2.1.1.5.0"})
             .first == 0;
  }
  ASSERT_TRUE(up) << simulator.readAll().toStdString();

  const QByteArray list = dsm("DSMGetFileList", "<DeviceID>9</DeviceID>");
  EXPECT_EQ(elementTexts(list, "Result"), QStringList{"0"}) << list.toStdString();
  EXPECT_EQ(elementTexts(list, "FileName"), (QStringList{"Helvetica Bold", "Letter.ps"}));
  EXPECT_EQ(elementTexts(list, "FileType"), (QStringList{"pclFont", "psForm"}));
  EXPECT_EQ(elementTexts(list, "FilePersistence"), (QStringList{"permanent", "nonvolatile"}));
  EXPECT_EQ(elementTexts(list, "FileSize"), (QStringList{"20480", "512"}));
  EXPECT_EQ(elementTexts(list, "FileStorageFileID"), (QStringList{"12", "0"}));
}

TEST(SuiteFolders, UnderSystemdTheConfigurationFolderIsReadAndTheFleetsFilesGoToTheStateFolder) {
  if (::geteuid() != 0) GTEST_SKIP() << "a simulated printer needs root to listen on port 80";
  QTemporaryDir etc, state, run;
  ASSERT_TRUE(etc.isValid() && state.isValid() && run.isValid());
  QFile cfg(etc.filePath("zarvo-suite.cfg"));
  ASSERT_TRUE(cfg.open(QIODevice::WriteOnly));
  // Every port of the system's choosing but the printer's own, on an address of its own.
  cfg.write("<SuiteConfig><Name>zarvo-suite</Name><TrapPort>0</TrapPort>"
            "<Fleet snmpPort=\"0\"><Device id=\"1\" address=\"127.13.250.2\" name=\"p\"/>"
            "</Fleet></SuiteConfig>");
  cfg.close();
  QProcessEnvironment env = QProcessEnvironment::systemEnvironment();
  env.insert("CONFIGURATION_DIRECTORY", etc.path());
  env.insert("STATE_DIRECTORY", state.path());
  // No --config: the configuration is found in the configuration folder alone.
  Program suite(ZARVO_SUITE_EXE, {}, run.path(), env);
  ASSERT_TRUE(suite.start("Fleet ready")) << suite.output().toStdString();
  EXPECT_TRUE(suite.output().contains("127.13.250.2")) << suite.output().toStdString();
  EXPECT_TRUE(suite.output().contains("stored files under " + state.filePath("fleet-files").toUtf8()))
      << "the configuration's folder is read-only under systemd\n"
      << suite.output().toStdString();
}

}  // namespace

}  // namespace Zarvo::suite

#endif
