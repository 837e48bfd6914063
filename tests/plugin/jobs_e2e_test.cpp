// File jobs end to end, over HTTP through the running executable: printers on 127.0.0.N:9100
// that confirm through the SNMP service's trap, device web pages on 127.0.0.N:80, the naming and
// SNMP fakes. Add, copy, move and delete of one and several files to one and several devices,
// the exact list and details answers during and after, cancel while a download waits for its
// confirmation, retry once the device answers, clear, and "MGMTCloseApplication" with jobs
// running giving every borrowed trap-table row back.
//
// Ports 80 and 9100 on 127.0.0.6x need root, as the download tests beside these do.
#include <gtest/gtest.h>

#include <chrono>
#include <memory>

#include "tests/fakes/Bytes.h"
#include "tests/fakes/FakeCgiDevices.h"
#include "tests/fakes/FakePrinter.h"
#include "tests/fakes/FakeSuiteServices.h"
#include "tests/fakes/HttpProbe.h"
#include "tests/plugin/DsmEndToEnd.h"

#ifdef ZARVO_EXECUTABLE

namespace Zarvo::dsm {
namespace {

using namespace std::chrono_literals;
using testing_bytes::hex;
using testing_devices::FakeCgiDevices;
using testing_dsm::detailsAnswer;
using testing_dsm::listAnswer;
using testing_dsm::request;
using testing_http::exchange;
using testing_http::httpResponse;
using testing_http::post;
using testing_http::Reply;
using testing_printer::FakePrinter;
using testing_suite::SnmpTable;

const QString S = QStringLiteral("127.0.0.60");   // source device (web pages only)
const QString D1 = QStringLiteral("127.0.0.61");  // destinations: printer and web pages
const QString D2 = QStringLiteral("127.0.0.62");
const QString kTable = testing_dsm::kTrapTable;

const SnmpTable kTableBefore{
    {"staticTrapDestAddr", "staticTrapDestCommunity", "staticTrapDestStatus"},
    {{"10.9.8.7", "c1", "valid"}}};

const QByteArray kFont("\x1b)s4Wfont");
const QByteArray kForm("%!PS\n(form) show\n");

// A details row of the device file form.ps or font.pcl.
testing_dsm::FileRow form(const QString& from, const QString& to, bool ok = true,
                          const char* text = "completed") {
  return {"form.ps", int(kForm.size()), "psForm", from, to, ok, text};
}
testing_dsm::FileRow font(const QString& from, const QString& to, bool ok = true,
                          const char* text = "completed") {
  return {"font.pcl", int(kFont.size()), "pclFont", from, to, ok, text};
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

class JobsEndToEnd : public testing_dsm::DsmEndToEnd {
 protected:
  JobsEndToEnd() : pages_({S, D1, D2}, 80), printer1_(D1, 9100), printer2_(D2, 9100) {
    for (const QString& d : {D1, D2}) snmp_.setTable(d, kTable, kTableBefore);
    // A destination keeps what its printer took, and its pages serve it, as a real device does.
    printer1_.storeInto(&pages_.state(D1));
    printer2_.storeInto(&pages_.state(D2));
    confirmAlways(printer1_, "completed");
    confirmAlways(printer2_, "completed");
    pages_.putFile(S, "form.ps", kForm);
    pages_.putFile(S, "font.pcl", kFont);
  }
  void SetUp() override {
    DsmEndToEnd::SetUp();
    if (IsSkipped()) return;
    // One download at a time: these answers pin the task order's progress values, which the
    // configuration element must give back exactly.
    startHost({{"s1.pcl", kFont}, {"s2.ps", kForm}}, "<ParallelDownloads>1</ParallelDownloads>");
  }

  FakeCgiDevices pages_;
  FakePrinter printer1_;
  FakePrinter printer2_;
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
  EXPECT_EQ(hex(details(1)),
            hex(detailsAnswer("COPY", "COMPLETED", S, D1 + ";" + D2,
                              {font(S, D1), form(S, D1), font(S, D2), form(S, D2)})));
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

  // What the devices made of the streams: each one well-formed download, stored. The downloads
  // ask for PCL ID 0, so each device lists a font under the next ID free on it.
  for (const FakePrinter* p : {&printer1_, &printer2_}) {
    for (const FakePrinter::Download& d : p->downloads()) EXPECT_EQ(d.status, "completed");
  }
  const auto held = [this](const QString& device) {
    QStringList out;
    for (const suite::StoredFile& f : pages_.state(device).files()) out << f.kind + " " + f.name;
    return out;
  };
  EXPECT_EQ(held(D1),
            (QStringList{"pclFont Font 1", "psForm s2.ps", "pclFont Font 2", "psForm form.ps"}));
  EXPECT_EQ(held(D2), (QStringList{"pclFont Font 1", "psForm form.ps"}));
}

TEST_F(JobsEndToEnd, CancelWhileADownloadAwaitsItsConfirmation) {
  printer2_.onDownload(nullptr);  // takes the files, never confirms
  expectPlain("DSMCopyFile", transfer(S,
                                      file("form.ps", kForm.size(), "psForm", 0) +
                                          file("font.pcl", kFont.size(), "pclFont", 12),
                                      {D1, D2}));
  ASSERT_TRUE(printer2_.waitForDownloads(1, 20s));  // sent: a cancel now ends it "Timeout"
  EXPECT_EQ(hex(list()), hex(listAnswer({{0, "COPY", "IN_PROGRESS", 62, S, D1 + ";" + D2}})));
  EXPECT_EQ(hex(details(0)),
            hex(detailsAnswer("COPY", "IN_PROGRESS", S, D1 + ";" + D2,
                              {font(S, D1), form(S, D1), font(S, D2, false, "completed"),
                               form(S, D2, false, "completed")})))
      << "tasks not yet run show false beside \"completed\"";

  const auto start = Clock::now();
  expectPlain("DSMCancelOperation", "<OperationID>0</OperationID>");
  EXPECT_EQ(hex(settled()), hex(listAnswer({{0, "COPY", "CANCELED", 75, S, D1 + ";" + D2}})));
  EXPECT_LT(Clock::now() - start, 5s) << "well before the 300 s confirmation limit";
  EXPECT_EQ(hex(details(0)),
            hex(detailsAnswer("COPY", "CANCELED", S, D1 + ";" + D2,
                              {font(S, D1), form(S, D1), font(S, D2, false, "Timeout"),
                               form(S, D2, false, "completed")})))
      << "the cut download reads as unconfirmed; the next task never ran";
  EXPECT_EQ(printer2_.downloads().size(), 1);
  EXPECT_EQ(snmp_.table(D2, kTable), kTableBefore) << "the borrowed row is given back";
}

TEST_F(JobsEndToEnd, RetryOfFailedJobsSucceedsOnceTheDevicesAnswer) {
  confirmAlways(printer1_, "FileSystemFull");
  printer2_.refuse();  // a device switched on again between the runs
  pages_.setReply(S, "DSMGetFiles.cgi", Reply{httpResponse("busy", true, 503)});
  expectPlain("DSMCopyFile", transfer(S, file("form.ps", kForm.size(), "psForm", 0), {D1}));
  expectPlain("DSMAddFile", "<DeviceIP>" + D1.toUtf8() + "</DeviceIP><FileName>s1.pcl</FileName>");
  expectPlain("DSMAddFile", "<DeviceIP>" + D2.toUtf8() + "</DeviceIP><FileName>s2.ps</FileName>");
  EXPECT_EQ(hex(settled()), hex(listAnswer({{0, "COPY", "FAILED", 100, S, D1},
                                            {1, "ADD", "FAILED", 100, "-", D1},
                                            {2, "ADD", "FAILED", 100, "-", D2}})));
  EXPECT_TRUE(details(0).contains("<Details>DeviceDosntResponse</Details>"));
  EXPECT_TRUE(details(1).contains("<Details>FileSystemFull</Details>"))
      << "the device's own status text";
  EXPECT_TRUE(details(2).contains("<Details>DeviceDosntResponse</Details>"))
      << "a refused connection";
  EXPECT_EQ(snmp_.table(D2, kTable), kTableBefore) << "the borrowed row is given back";

  confirmAlways(printer1_, "completed");
  printer2_.take();
  pages_.clearReply(S, "DSMGetFiles.cgi");
  expectPlain("DSMRetryOperation", "<OperationID>0</OperationID>");
  expectPlain("DSMRetryOperation", "<OperationID>1</OperationID>");
  expectPlain("DSMRetryOperation", "<OperationID>2</OperationID>");
  EXPECT_EQ(hex(settled()), hex(listAnswer({{0, "COPY", "COMPLETED", 100, S, D1},
                                            {1, "ADD", "COMPLETED", 100, "-", D1},
                                            {2, "ADD", "COMPLETED", 100, "-", D2}})));
  EXPECT_EQ(printer1_.downloads().size(), 1 + 2)
      << "the add once per run, the copy once its source answered";
  ASSERT_EQ(printer2_.downloads().size(), 1) << "reached only once it listened again";
  EXPECT_TRUE(printer2_.downloads().first().bytes.contains("PSDOWNLOADFORM NAME=s2.ps"));
}

TEST_F(JobsEndToEnd, ClearRemovesOnlyFinishedOperations) {
  printer2_.onDownload(nullptr);  // never confirms: operation 1 keeps running
  pages_.setReply(S, "DSMGetFiles.cgi", Reply{httpResponse("", true, 404)});
  expectPlain("DSMCopyFile", transfer(S, file("x.ps", 5, "psForm", 0), {D1}));  // 0: FAILED
  settled();
  pages_.clearReply(S, "DSMGetFiles.cgi");
  expectPlain("DSMAddFile", "<DeviceIP>" + D2.toUtf8() + "</DeviceIP><FileName>s2.ps</FileName>");
  ASSERT_TRUE(printer2_.waitForDownloads(1, 20s));
  expectPlain("DSMAddFile", "<DeviceIP>" + D1.toUtf8() + "</DeviceIP><FileName>s2.ps</FileName>");
  (void)listOnce([](const QByteArray& l) {
    return l.contains("<ID>2</ID>\n\t\t<Type>ADD</Type>\n\t\t<Status>COMPLETED");
  });
  expectPlain("DSMCancelOperation", "<OperationID>7</OperationID>");  // unknown: ignored
  expectPlain("DSMClearCompletedOperation");
  EXPECT_EQ(hex(list()), hex(listAnswer({{1, "ADD", "IN_PROGRESS", 50, "-", D2}})));
}

TEST_F(JobsEndToEnd, CloseApplicationWithJobsRunningEndsInSecondsAndGivesEveryRowBack) {
  printer1_.onDownload(nullptr);
  printer2_.onDownload(nullptr);
  expectPlain("DSMAddFile", "<DeviceIP>" + D1.toUtf8() + "</DeviceIP><FileName>s1.pcl</FileName>");
  expectPlain("DSMCopyFile", transfer(S, file("form.ps", kForm.size(), "psForm", 0), {D2}));
  pages_.setReply(D1, "DSMDeletefiles.cgi", Reply{{}, true});  // a page that hangs
  expectPlain("DSMDeleteFile",
              "<DeviceIP>" + D1.toUtf8() + "</DeviceIP>" + file("x.ps", 1, "psForm", 0));
  ASSERT_TRUE(printer1_.waitForDownloads(1, 20s));
  ASSERT_TRUE(printer2_.waitForDownloads(1, 20s));
  ASSERT_TRUE(pages_.waitForHeld(1));

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

}  // namespace Zarvo::dsm

#endif
