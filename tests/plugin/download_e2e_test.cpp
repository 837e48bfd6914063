// Downloads inside the running process, end to end: the executable's "DSMAddFile" job sends a
// stored font to a fake printer on 127.0.0.41:9100, the printer's confirmation goes as a trap
// through the SNMP fake to "SNMPTrap" over HTTP, and the device's trap-destination table,
// borrowed for each download, is as it was afterwards: after a success, after a failed download,
// and when the process is told to stop in the middle.
#include <gtest/gtest.h>
#include <signal.h>

#include <chrono>
#include <functional>

#include "tests/fakes/Bytes.h"
#include "tests/fakes/FakePrinter.h"
#include "tests/fakes/FakeSuiteServices.h"
#include "tests/fakes/HttpProbe.h"
#include "tests/plugin/DsmEndToEnd.h"

#ifdef ZARVO_EXECUTABLE

namespace Zarvo::dsm {
namespace {

using namespace std::chrono_literals;
using testing_bytes::hex;
using testing_dsm::detailsAnswer;
using testing_dsm::kEnterprise;
using testing_dsm::kStatusOid;
using testing_dsm::listAnswer;
using testing_dsm::request;
using testing_http::exchange;
using testing_http::post;
using testing_printer::FakePrinter;
using testing_suite::FakeSNMPService;
using testing_suite::SnmpTable;

const QString kDevice = QStringLiteral("127.0.0.41");
const QString kTable = testing_dsm::kTrapTable;
const QByteArray kFont("\x1b)s11W font bytes");

// Every row in use: the download borrows the first and must write it back as it was.
const SnmpTable kTableBefore{
    {"staticTrapDestAddr", "staticTrapDestCommunity", "staticTrapDestStatus"},
    {{"10.9.8.7", "s3cret & <x>", "valid"}, {"10.9.8.6", "c2", "valid"}}};

class Download : public testing_dsm::DsmEndToEnd {
 protected:
  void SetUp() override {
    DsmEndToEnd::SetUp();
    if (IsSkipped()) return;
    snmp_.setTable(kDevice, kTable, kTableBefore);
    startHost();
  }
  // A fresh process with the font "font.sft" in its store.
  void startHost() { DsmEndToEnd::startHost({{"font.sft", kFont}}); }

  // Operation `id`: an add of "font.sft" to the device.
  void startDownload() {
    expectPlain("DSMAddFile",
                "<DeviceIP>" + kDevice.toUtf8() + "</DeviceIP><FileName>font.sft</FileName>");
  }
  // The details of a finished add of "font.sft": the file's result and its text.
  static QByteArray finished(const char* status, bool ok, const char* text) {
    return detailsAnswer("ADD", status, "-", kDevice,
                         {{"font.sft", int(kFont.size()), "pclFont", "-", kDevice, ok, text}});
  }
};

TEST_F(Download, TheOutcomeReachesTheOperationAndTheRowIsGivenBack) {
  struct Case {
    const char* why;
    const char* status;  // the device's confirmation through the trap; null: refuses
    const char* operation;
    bool ok;
    const char* text;
  };
  const Case kCases[] = {
      {"stored", "completed", "COMPLETED", true, "completed"},
      {"the device's failure text, unchanged", "Flash full", "FAILED", false, "Flash full"},
      {"a refused connection", nullptr, "FAILED", false, "DeviceDosntResponse"},
  };
  int n = 0;
  for (const Case& c : kCases) {
    SCOPED_TRACE(c.why);
    {
      FakePrinter printer(kDevice, 9100);
      if (c.status) {
        confirmAlways(printer, c.status);
      } else {
        printer.refuse();
      }
      startDownload();
      EXPECT_EQ(hex(settled()), hex(listAnswer({{n, "ADD", c.operation, 100, "-", kDevice}})));
      EXPECT_EQ(hex(details(n)), hex(finished(c.operation, c.ok, c.text)));
      ASSERT_EQ(printer.downloads().size(), c.status ? 1 : 0);
      if (c.status) {
        EXPECT_TRUE(printer.downloads()[0].bytes.contains(" font bytes"));
      }
    }
    // Each case is one operation; the finished one is cleared so the list shows only the next.
    expectPlain("DSMClearCompletedOperation");
    ++n;
    // Both writes of the borrowed row went out: this host's address first, then the old values.
    const QList<QByteArray> sets = snmp_.setRequests();
    ASSERT_EQ(sets.size(), 2 * n);
    EXPECT_TRUE(sets[2 * n - 2].contains("<Value>127.0.0.1</Value>"));
    EXPECT_TRUE(sets[2 * n - 1].contains("<Value>10.9.8.7</Value>"));
    EXPECT_EQ(snmp_.table(kDevice, kTable), kTableBefore) << "the device's table as it was";
  }
}

TEST_F(Download, StoppingTheProcessMidDownloadGivesTheRowBackAndExitsPromptly) {
  struct Case {
    const char* why;
    std::function<void(testing_exe::RunningHost&)> stop;
  };
  const Case kCases[] = {
      {"MGMTCloseApplication",
       [](testing_exe::RunningHost& h) {
         (void)exchange(h.port(), post("/MGMTCloseApplication", request("MGMTCloseApplication")));
       }},
      {"SIGTERM",
       [](testing_exe::RunningHost& h) { ::kill(pid_t(h.process().processId()), SIGTERM); }},
  };
  bool first = true;
  for (const Case& stop : kCases) {
    SCOPED_TRACE(stop.why);
    if (!first) {
      snmp_.setTable(kDevice, kTable, kTableBefore);
      startHost();  // one process per way of stopping
    }
    first = false;
    const qsizetype setsBefore = snmp_.setRequests().size();
    FakePrinter printer(kDevice, 9100);  // takes the file, never confirms
    startDownload();
    ASSERT_TRUE(printer.waitForDownloads(1, 20s));

    // A confirmation for a device without a download is answered and dropped.
    const QByteArray other = FakeSNMPService::sendTrap(naming_.url(), "127.0.0.42", kEnterprise,
                                                       {{kStatusOid, "completed"}});
    EXPECT_TRUE(other.contains("<Result>0</Result>")) << other.toStdString();
    EXPECT_TRUE(other.contains("<Details>OK</Details>")) << other.toStdString();
    // Taken for this download, it would end it: the row would be given back at once.
    EXPECT_FALSE(snmp_.server().waitForRequests("SNMPSetValues", int(setsBefore) + 2, 300));
    EXPECT_EQ(hex(list()), hex(listAnswer({{0, "ADD", "IN_PROGRESS", 50, "-", kDevice}})))
        << "still waiting for its own device";
    EXPECT_EQ(hex(details(0)), hex(finished("IN_PROGRESS", false, "completed")))
        << "no result yet: the other device's confirmation was not taken for this one";

    const auto start = Clock::now();
    stop.stop(*host_);
    ASSERT_TRUE(host_->process().waitForFinished(15000));
    EXPECT_LT(Clock::now() - start, 10s);
    EXPECT_EQ(host_->process().exitStatus(), QProcess::NormalExit);
    EXPECT_EQ(snmp_.setRequests().size(), setsBefore + 2);
    EXPECT_EQ(snmp_.table(kDevice, kTable), kTableBefore) << "the device's table as it was";
  }
}

}  // namespace

}  // namespace Zarvo::dsm

#endif
