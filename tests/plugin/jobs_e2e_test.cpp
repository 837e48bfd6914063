// File jobs end to end, over HTTP through the running executable: printers on 127.0.0.N:9100
// that confirm through the SNMP service's trap, device web pages on 127.0.0.N:80, the naming and
// SNMP fakes. Add, copy, move and delete of one and several files to one and several devices,
// the exact list and details answers during and after, cancel while a download waits for its
// confirmation, retry once the device answers, clear, and "MGMTCloseApplication" with jobs
// running giving every borrowed trap-table row back.
//
// Ports 80 and 9100 on 127.0.0.6x need root, as the download tests beside these do.
#include <gtest/gtest.h>

#include <QDir>
#include <QFile>
#include <chrono>
#include <memory>

#include "tests/fakes/Bytes.h"
#include "tests/fakes/FakeCgiDevices.h"
#include "tests/fakes/FakeNamingService.h"
#include "tests/fakes/FakePrinter.h"
#include "tests/fakes/FakeSuiteServices.h"
#include "tests/fakes/HttpProbe.h"
#include "tests/fakes/RunningHost.h"

#ifdef ZARVO_EXECUTABLE

namespace {

using namespace std::chrono_literals;
using testing_bytes::hex;
using testing_devices::CgiReply;
using testing_devices::FakeCgiDevices;
using testing_http::Answer;
using testing_http::exchange;
using testing_http::post;
using testing_orx::FakeNamingService;
using testing_printer::FakePrinter;
using testing_suite::FakeSNMPService;
using testing_suite::SnmpTable;
using Clock = std::chrono::steady_clock;

const QString S = QStringLiteral("127.0.0.60");   // source device (web pages only)
const QString D1 = QStringLiteral("127.0.0.61");  // destinations: printer and web pages
const QString D2 = QStringLiteral("127.0.0.62");
const QString kTable = QStringLiteral("staticTrapDestTable");
const QString kArc = QStringLiteral(".1.3.6.1.4.1.32473");
const QString kEnterprise = kArc + ".11.5.11.83.1.2.1";
const QString kStatusOid = kArc + ".11.5.11.83.1.1.1.5";
const QByteArray kUtf8Declaration = "<?xml version=\"1.0\" encoding=\"UTF-8\"?>";

const SnmpTable kTableBefore{
    {"staticTrapDestAddr", "staticTrapDestCommunity", "staticTrapDestStatus"},
    {{"10.9.8.7", "c1", "valid"}}};

const QByteArray kFont("\x1b)s4Wfont");
const QByteArray kForm("%!PS\n(form) show\n");

QByteArray request(const QByteArray& command, const QByteArray& children = QByteArray()) {
  return kUtf8Declaration + "<OrxRequest command=\"" + command + "\">" + children + "</OrxRequest>";
}
QByteArray file(const char* name, int size, const char* type, int id) {
  return "<File><FileName>" + QByteArray(name) + "</FileName><FileSize>" +
         QByteArray::number(size) + "</FileSize><FileType>" + type +
         "</FileType><FileStorageFileID>" + QByteArray::number(id) + "</FileStorageFileID></File>";
}
QByteArray transfer(const QString& from, const QByteArray& files, const QList<QString>& to) {
  QByteArray body =
      "<Source><DeviceIP>" + from.toUtf8() + "</DeviceIP>" + files + "</Source><Destinations>";
  for (const QString& d : to) body += "<DeviceIP>" + d.toUtf8() + "</DeviceIP>";
  return body + "</Destinations>";
}

struct Op {
  int id;
  const char* type;
  const char* status;
  int progress;
  QString source, destination;
};
// The exact answer of DSMGetOperationList.
QByteArray listAnswer(const QList<Op>& ops) {
  QByteArray out =
      kUtf8Declaration + "<OrxResponse>\n\t<Result>0</Result>\n\t<Details></Details>\n";
  for (const Op& o : ops) {
    out += "\t<Operation>\n\t\t<ID>" + QByteArray::number(o.id) + "</ID>\n\t\t<Type>" + o.type +
           "</Type>\n\t\t<Status>" + o.status + "</Status>\n\t\t<Progress>" +
           QByteArray::number(o.progress) + "</Progress>\n\t\t<Source>" + o.source.toUtf8() +
           "</Source>\n\t\t<Destination>" + o.destination.toUtf8() +
           "</Destination>\n\t</Operation>\n";
  }
  return out + "</OrxResponse>\n";
}
struct FileRow {
  const char* name;
  int size;
  const char* type;
  QString source, destination;
  bool result;
  const char* details;
};
// The exact answer of DSMDetailsOperation.
QByteArray detailsAnswer(const char* type, const char* status, const QString& source,
                         const QString& destination, const QList<FileRow>& files) {
  QByteArray out = kUtf8Declaration +
                   "<OrxResponse>\n\t<Result>0</Result>\n\t<Details></Details>\n\t<Type>" + type +
                   "</Type>\n\t<Status>" + status + "</Status>\n\t<Source>" + source.toUtf8() +
                   "</Source>\n\t<Destination>" + destination.toUtf8() + "</Destination>\n";
  for (const FileRow& f : files) {
    out += QByteArray("\t<File>\n\t\t<FileName>") + f.name + "</FileName>\n\t\t<FileSize>" +
           QByteArray::number(f.size) + "</FileSize>\n\t\t<FileType>" + f.type +
           "</FileType>\n\t\t<Source>" + f.source.toUtf8() + "</Source>\n\t\t<Destination>" +
           f.destination.toUtf8() + "</Destination>\n\t\t<Result>" + (f.result ? "true" : "false") +
           "</Result>\n\t\t<Details>" + f.details + "</Details>\n\t</File>\n";
  }
  return out + "</OrxResponse>\n";
}

class JobsEndToEnd : public ::testing::Test {
 protected:
  JobsEndToEnd() : pages_({S, D1, D2}, 80), printer1_(D1, 9100), printer2_(D2, 9100) {
    naming_.setServiceUrl("SNMPGetValues", snmp_.url().toString());
    naming_.setServiceUrl("SNMPSetValues", snmp_.url().toString());
    for (const QString& d : {D1, D2}) snmp_.setTable(d, kTable, kTableBefore);
    confirmAlways(printer1_, "completed");
    confirmAlways(printer2_, "completed");
    pages_.putFile(S, "form.ps", kForm);
    pages_.putFile(S, "font.pcl", kFont);
  }
  void SetUp() override {
#if defined(__SANITIZE_THREAD__)
    // The thread checker stops the child of a fork from this multi-threaded test; the jobs'
    // threads are checked by the in-process job and registry tests.
    GTEST_SKIP() << "the executable cannot be started under ThreadSanitizer";
#endif
    host_ = std::make_unique<testing_exe::RunningHost>(
        ZARVO_EXECUTABLE,
        "<c><DispatcherURL>" + naming_.url().toString().toUtf8() + "</DispatcherURL></c>");
    ASSERT_TRUE(host_->dir().mkpath("Files"));
    for (const auto& [name, bytes] : {std::pair{"s1.pcl", kFont}, std::pair{"s2.ps", kForm}}) {
      QFile f(host_->dir().filePath(QString("Files/") + name));
      ASSERT_TRUE(f.open(QIODevice::WriteOnly));
      f.write(bytes);
    }
    ASSERT_TRUE(host_->start()) << host_->output().toStdString();
    naming_.setServiceUrl("SNMPTrap", QString("http://127.0.0.1:%1/").arg(host_->port()));
  }
  void TearDown() override {
    if (HasFailure() && host_) std::cerr << host_->output().toStdString();
  }

  // The printer confirms each complete download with `status`, through the SNMP service.
  void confirmAlways(FakePrinter& printer, const QString& status) {
    const QString device = printer.host();
    printer.onDownload([this, device, status](const FakePrinter::Download&) {
      (void)FakeSNMPService::sendTrap(naming_.url(), device, kEnterprise, {{kStatusOid, status}});
    });
  }
  QByteArray ask(const QByteArray& command, const QByteArray& children = QByteArray()) {
    const Answer a = exchange(host_->port(), post("/" + command, request(command, children)));
    EXPECT_TRUE(a.ok) << command.toStdString();
    EXPECT_EQ(a.status(), 200);
    return a.body;
  }
  void expectPlain(const QByteArray& command, const QByteArray& children = QByteArray()) {
    EXPECT_EQ(hex(ask(command, children)), hex(listAnswer({})))
        << command.toStdString() << " answers a plain success";
  }
  QByteArray list() { return ask("DSMGetOperationList"); }
  QByteArray details(int id) {
    return ask("DSMDetailsOperation", "<OperationID>" + QByteArray::number(id) + "</OperationID>");
  }
  // Waits (bounded) until the list holds no operation in progress; the list then.
  QByteArray settled() {
    QByteArray l;
    const auto end = Clock::now() + 30s;
    do {
      l = list();
      if (!l.contains("IN_PROGRESS")) break;
      std::this_thread::sleep_for(20ms);
    } while (Clock::now() < end);
    return l;
  }

  FakeNamingService naming_;
  FakeSNMPService snmp_;
  FakeCgiDevices pages_;
  FakePrinter printer1_;
  FakePrinter printer2_;
  std::unique_ptr<testing_exe::RunningHost> host_;
};

TEST_F(JobsEndToEnd, AddCopyMoveAndDeleteToOneAndSeveralDevices) {
  EXPECT_EQ(hex(list()), hex(listAnswer({}))) << "a fresh process has no operation";

  // 0: two stored files to one device.
  expectPlain("DSMAddFile", "<DeviceIP>" + D1.toUtf8() +
                                "</DeviceIP><FileName>s1.pcl</FileName><FileName>s2.ps</FileName>");
  EXPECT_EQ(hex(settled()), hex(listAnswer({{0, "ADD", "COMPLETED", 100, "-", D1}})));
  // 1: two device files to two devices.
  expectPlain("DSMCopyFile", transfer(S,
                                      file("form.ps", kForm.size(), "psForm", 0) +
                                          file("font.pcl", kFont.size(), "pclFont", 12),
                                      {D1, D2}));
  settled();
  // 2: one file moved to two devices.
  expectPlain("DSMMoveFile", transfer(S, file("form.ps", kForm.size(), "psForm", 0), {D2, D1}));
  settled();
  // 3: two files deleted on one device.
  pages_.putFile(D2, "old.pcl", kFont);
  pages_.putFile(D2, "old.ps", kForm);
  expectPlain("DSMDeleteFile", "<DeviceIP>" + D2.toUtf8() + "</DeviceIP>" +
                                   file("old.ps", 3, "psForm", 0) +
                                   file("old.pcl", 4, "pclFont", 7));

  EXPECT_EQ(hex(settled()), hex(listAnswer({{0, "ADD", "COMPLETED", 100, "-", D1},
                                            {1, "COPY", "COMPLETED", 100, S, D1 + ";" + D2},
                                            {2, "MOVE", "COMPLETED", 100, S, D2 + ";" + D1},
                                            {3, "DELETE", "COMPLETED", 100, D2, "-"}})));
  EXPECT_EQ(
      hex(details(0)),
      hex(detailsAnswer("ADD", "COMPLETED", "-", D1,
                        {{"s1.pcl", int(kFont.size()), "pclFont", "-", D1, true, "completed"},
                         {"s2.ps", int(kForm.size()), "psForm", "-", D1, true, "completed"}})));
  EXPECT_EQ(
      hex(details(1)),
      hex(detailsAnswer("COPY", "COMPLETED", S, D1 + ";" + D2,
                        {{"font.pcl", int(kFont.size()), "pclFont", S, D1, true, "completed"},
                         {"form.ps", int(kForm.size()), "psForm", S, D1, true, "completed"},
                         {"font.pcl", int(kFont.size()), "pclFont", S, D2, true, "completed"},
                         {"form.ps", int(kForm.size()), "psForm", S, D2, true, "completed"}})));
  EXPECT_EQ(hex(details(3)),
            hex(detailsAnswer("DELETE", "COMPLETED", D2, "-",
                              {{"old.ps", 3, "psForm", D2, "-", true, "completed"},
                               {"old.pcl", 4, "pclFont", D2, "-", true, "completed"}})));

  // What the devices saw.
  EXPECT_EQ(printer1_.downloads().size(), 2 + 2 + 1);
  EXPECT_EQ(printer2_.downloads().size(), 2 + 1);
  EXPECT_TRUE(printer1_.downloads()[0].bytes.contains("FSDOWNLOADFONT SIZE=9"));
  EXPECT_TRUE(printer1_.downloads()[1].bytes.contains("PSDOWNLOADFORM NAME=s2.ps"));
  EXPECT_EQ(pages_.requests(S, "DSMGetFiles.cgi").size(), 3)
      << "each file fetched once per job: two for the copy, one for the move";
  EXPECT_FALSE(pages_.hasFile(S, "form.ps")) << "moved away once both devices took it";
  EXPECT_TRUE(pages_.hasFile(S, "font.pcl"));
  EXPECT_FALSE(pages_.hasFile(D2, "old.pcl"));
  EXPECT_FALSE(pages_.hasFile(D2, "old.ps"));
  for (const QString& d : {D1, D2}) EXPECT_EQ(snmp_.table(d, kTable), kTableBefore);
}

TEST_F(JobsEndToEnd, CancelWhileADownloadAwaitsItsConfirmation) {
  printer2_.onDownload(nullptr);  // takes the files, never confirms
  expectPlain("DSMCopyFile", transfer(S,
                                      file("form.ps", kForm.size(), "psForm", 0) +
                                          file("font.pcl", kFont.size(), "pclFont", 12),
                                      {D1, D2}));
  ASSERT_TRUE(printer2_.waitForDownloads(1, 20s));
  std::this_thread::sleep_for(100ms);  // the sender is now waiting for the confirmation
  EXPECT_EQ(hex(list()), hex(listAnswer({{0, "COPY", "IN_PROGRESS", 62, S, D1 + ";" + D2}})));
  EXPECT_EQ(
      hex(details(0)),
      hex(detailsAnswer("COPY", "IN_PROGRESS", S, D1 + ";" + D2,
                        {{"font.pcl", int(kFont.size()), "pclFont", S, D1, true, "completed"},
                         {"form.ps", int(kForm.size()), "psForm", S, D1, true, "completed"},
                         {"font.pcl", int(kFont.size()), "pclFont", S, D2, false, "completed"},
                         {"form.ps", int(kForm.size()), "psForm", S, D2, false, "completed"}})))
      << "tasks not yet run show false beside \"completed\"";

  const auto start = Clock::now();
  expectPlain("DSMCancelOperation", "<OperationID>0</OperationID>");
  EXPECT_EQ(hex(settled()), hex(listAnswer({{0, "COPY", "CANCELED", 75, S, D1 + ";" + D2}})));
  EXPECT_LT(Clock::now() - start, 5s) << "well before the 300 s confirmation limit";
  EXPECT_EQ(
      hex(details(0)),
      hex(detailsAnswer("COPY", "CANCELED", S, D1 + ";" + D2,
                        {{"font.pcl", int(kFont.size()), "pclFont", S, D1, true, "completed"},
                         {"form.ps", int(kForm.size()), "psForm", S, D1, true, "completed"},
                         {"font.pcl", int(kFont.size()), "pclFont", S, D2, false, "Timeout"},
                         {"form.ps", int(kForm.size()), "psForm", S, D2, false, "completed"}})))
      << "the cut download reads as unconfirmed; the next task never ran";
  EXPECT_EQ(printer2_.downloads().size(), 1);
  EXPECT_EQ(snmp_.table(D2, kTable), kTableBefore) << "the borrowed row is given back";
}

TEST_F(JobsEndToEnd, RetryOfFailedJobsSucceedsOnceTheDevicesAnswer) {
  confirmAlways(printer1_, "FileSystemFull");
  pages_.setReply(S, "DSMGetFiles.cgi", CgiReply{503, "busy", true});
  expectPlain("DSMCopyFile", transfer(S, file("form.ps", kForm.size(), "psForm", 0), {D1}));
  expectPlain("DSMAddFile", "<DeviceIP>" + D1.toUtf8() + "</DeviceIP><FileName>s1.pcl</FileName>");
  EXPECT_EQ(
      hex(settled()),
      hex(listAnswer({{0, "COPY", "FAILED", 100, S, D1}, {1, "ADD", "FAILED", 100, "-", D1}})));
  EXPECT_TRUE(details(0).contains("<Details>DeviceDosntResponse</Details>"));
  EXPECT_TRUE(details(1).contains("<Details>FileSystemFull</Details>"))
      << "the device's own status text";

  confirmAlways(printer1_, "completed");
  pages_.clearReply(S, "DSMGetFiles.cgi");
  expectPlain("DSMRetryOperation", "<OperationID>0</OperationID>");
  expectPlain("DSMRetryOperation", "<OperationID>1</OperationID>");
  EXPECT_EQ(hex(settled()), hex(listAnswer({{0, "COPY", "COMPLETED", 100, S, D1},
                                            {1, "ADD", "COMPLETED", 100, "-", D1}})));
  EXPECT_EQ(printer1_.downloads().size(), 1 + 2)
      << "the add once per run, the copy once its source answered";
}

TEST_F(JobsEndToEnd, ClearRemovesOnlyFinishedOperations) {
  printer2_.onDownload(nullptr);  // never confirms: operation 1 keeps running
  pages_.setReply(S, "DSMGetFiles.cgi", CgiReply{404, "", true});
  expectPlain("DSMCopyFile", transfer(S, file("x.ps", 5, "psForm", 0), {D1}));  // 0: FAILED
  settled();
  pages_.clearReply(S, "DSMGetFiles.cgi");
  expectPlain("DSMAddFile", "<DeviceIP>" + D2.toUtf8() + "</DeviceIP><FileName>s2.ps</FileName>");
  ASSERT_TRUE(printer2_.waitForDownloads(1, 20s));
  expectPlain("DSMAddFile", "<DeviceIP>" + D1.toUtf8() + "</DeviceIP><FileName>s2.ps</FileName>");
  const auto end = Clock::now() + 20s;
  while (!list().contains("<ID>2</ID>\n\t\t<Type>ADD</Type>\n\t\t<Status>COMPLETED") &&
         Clock::now() < end) {
    std::this_thread::sleep_for(20ms);
  }
  expectPlain("DSMCancelOperation", "<OperationID>7</OperationID>");  // unknown: ignored
  expectPlain("DSMClearCompletedOperation");
  EXPECT_EQ(hex(list()), hex(listAnswer({{1, "ADD", "IN_PROGRESS", 50, "-", D2}})));
}

TEST_F(JobsEndToEnd, CloseApplicationWithJobsRunningEndsInSecondsAndGivesEveryRowBack) {
  printer1_.onDownload(nullptr);
  printer2_.onDownload(nullptr);
  expectPlain("DSMAddFile", "<DeviceIP>" + D1.toUtf8() + "</DeviceIP><FileName>s1.pcl</FileName>");
  expectPlain("DSMCopyFile", transfer(S, file("form.ps", kForm.size(), "psForm", 0), {D2}));
  pages_.setReply(D1, "DSMDeletefiles.cgi", CgiReply{200, "", false});  // a page that hangs
  expectPlain("DSMDeleteFile",
              "<DeviceIP>" + D1.toUtf8() + "</DeviceIP>" + file("x.ps", 1, "psForm", 0));
  ASSERT_TRUE(printer1_.waitForDownloads(1, 20s));
  ASSERT_TRUE(printer2_.waitForDownloads(1, 20s));
  ASSERT_TRUE(pages_.waitForHeld(1));
  std::this_thread::sleep_for(100ms);  // both downloads now wait for their confirmations

  const auto start = Clock::now();
  (void)exchange(host_->port(), post("/MGMTCloseApplication", request("MGMTCloseApplication")));
  ASSERT_TRUE(host_->process().waitForFinished(15000));
  EXPECT_LT(Clock::now() - start, 10s);
  for (const QString& d : {D1, D2}) {
    EXPECT_EQ(snmp_.table(d, kTable), kTableBefore) << d.toStdString();
  }
  EXPECT_EQ(snmp_.setRequests().size(), 4) << "each borrowed row written once and given back once";
}

}  // namespace

#endif
