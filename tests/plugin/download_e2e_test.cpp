// Downloads inside the running process, end to end: the executable (with a stand-in for the file
// jobs that starts one download per request) sends to a fake printer on 127.0.0.41:9100, the
// printer's confirmation goes as a trap through the SNMP fake to "SNMPTrap" over HTTP, and the
// device's trap-destination table, borrowed for each download, is as it was afterwards: after a
// success, after a failed download, and when the process is told to stop in the middle.
#include <gtest/gtest.h>
#include <signal.h>

#include <QDir>
#include <QFile>
#include <chrono>
#include <functional>

#include "tests/fakes/FakeNamingService.h"
#include "tests/fakes/FakePrinter.h"
#include "tests/fakes/FakeSuiteServices.h"
#include "tests/fakes/HttpProbe.h"
#include "tests/fakes/RunningHost.h"

#ifdef ZARVO_DOWNLOAD_HOST

namespace {

using namespace std::chrono_literals;
using testing_http::Answer;
using testing_http::exchange;
using testing_http::post;
using testing_orx::FakeNamingService;
using testing_printer::FakePrinter;
using testing_suite::FakeSNMPService;
using testing_suite::SnmpTable;
using Clock = std::chrono::steady_clock;

const QString kDevice = QStringLiteral("127.0.0.41");
const QString kTable = QStringLiteral("staticTrapDestTable");
const QString kArc = QStringLiteral(".1.3.6.1.4.1.32473");
const QString kEnterprise = kArc + ".11.5.11.83.1.2.1";
const QString kStatusOid = kArc + ".11.5.11.83.1.1.1.5";

// Every row in use: the download borrows the first and must write it back as it was.
const SnmpTable kTableBefore{
    {"staticTrapDestAddr", "staticTrapDestCommunity", "staticTrapDestStatus"},
    {{"10.9.8.7", "s3cret & <x>", "valid"}, {"10.9.8.6", "c2", "valid"}}};

QByteArray addRequest(const QString& device, const QString& file) {
  return "<?xml version=\"1.0\" encoding=\"UTF-8\"?><OrxRequest command=\"DSMAddFile\"><DeviceIP>" +
         device.toUtf8() + "</DeviceIP><FileName>" + file.toUtf8() + "</FileName></OrxRequest>";
}

class Download : public ::testing::Test {
 protected:
  void SetUp() override {
#if defined(__SANITIZE_THREAD__)
    // The thread checker cannot follow the fork that starts the executable from this
    // multi-threaded test (it stops the child); the sender's own threads are checked by the
    // sender tests, the process's by the host's own tests.
    GTEST_SKIP() << "the executable cannot be started under ThreadSanitizer";
#endif
    naming_.setServiceUrl("SNMPGetValues", snmp_.url().toString());
    naming_.setServiceUrl("SNMPSetValues", snmp_.url().toString());
    snmp_.setTable(kDevice, kTable, kTableBefore);
    startHost();
  }
  void TearDown() override {
    if (HasFailure() && host_) std::cerr << host_->output().toStdString();
  }
  // A fresh process with the file "font.sft" in its store.
  void startHost() {
    if (host_ && HasFailure()) std::cerr << host_->output().toStdString();
    host_ = std::make_unique<testing_exe::RunningHost>(
        ZARVO_DOWNLOAD_HOST,
        "<c><DispatcherURL>" + naming_.url().toString().toUtf8() + "</DispatcherURL></c>");
    ASSERT_TRUE(host_->dir().mkpath("Files"));
    QFile f(host_->dir().filePath("Files/font.sft"));
    ASSERT_TRUE(f.open(QIODevice::WriteOnly));
    f.write("\x1b)s64W font bytes");
    f.close();
    ASSERT_TRUE(host_->start()) << host_->output().toStdString();
    naming_.setServiceUrl("SNMPTrap", QString("http://127.0.0.1:%1/").arg(host_->port()));
  }

  // The device confirms a whole download with `status` through the SNMP service's trap.
  void confirmWith(FakePrinter& printer, const QString& status) {
    printer.onDownload([this, status](const FakePrinter::Download&) {
      (void)FakeSNMPService::sendTrap(naming_.url(), kDevice, kEnterprise, {{kStatusOid, status}});
    });
  }
  void startDownload() {
    const Answer a = exchange(host_->port(), post("/DSMAddFile", addRequest(kDevice, "font.sft")));
    ASSERT_TRUE(a.ok);
  }
  // The outcome line of the download, once it is written (empty after `limit`).
  QString outcome(std::chrono::milliseconds limit) {
    const QByteArray prefix = "Test download font.sft to " + kDevice.toUtf8() + ": ";
    const auto end = Clock::now() + limit;
    do {
      const QByteArray out = host_->output();
      const qsizetype at = out.indexOf(prefix);
      if (at >= 0) {
        const qsizetype eol = out.indexOf('\n', at);
        if (eol > at)
          return QString::fromUtf8(out.mid(at + prefix.size(), eol - at - prefix.size()));
      }
      host_->process().waitForReadyRead(50);
    } while (Clock::now() < end);
    return QString();
  }
  // Both writes of the borrowed row went out: this host's address first, then the old values.
  void expectRowBorrowedAndRestored() {
    const QList<QByteArray> sets = snmp_.setRequests();
    ASSERT_EQ(sets.size(), 2);
    EXPECT_TRUE(QString::fromUtf8(sets[0]).contains("<Value>127.0.0.1</Value>"));
    EXPECT_TRUE(QString::fromUtf8(sets[1]).contains("<Value>10.9.8.7</Value>"));
    EXPECT_EQ(snmp_.table(kDevice, kTable), kTableBefore) << "the device's table as it was";
  }

  FakeNamingService naming_;
  FakeSNMPService snmp_;
  std::unique_ptr<testing_exe::RunningHost> host_;
};

TEST_F(Download, TheDevicesStatusReachesTheDownloadThroughTheTrap) {
  struct Case {
    const char* why;
    QString status;
    QString expected;
  };
  const Case kCases[] = {
      {"stored", "completed", "true completed"},
      {"the device's failure text, unchanged", "Flash full", "false Flash full"},
  };
  int n = 0;
  for (const Case& c : kCases) {
    SCOPED_TRACE(c.why);
    {
      FakePrinter printer(kDevice, 9100);
      confirmWith(printer, c.status);
      startDownload();
      const QString prefix = QString("Test download font.sft to %1: ").arg(kDevice);
      // Earlier cases' lines are skipped by counting them.
      const auto end = Clock::now() + 20s;
      while (host_->output().count(prefix.toUtf8()) <= n && Clock::now() < end) {
        host_->process().waitForReadyRead(50);
      }
      const QList<QByteArray> lines = host_->output().split('\n');
      QString last;
      for (const QByteArray& l : lines) {
        if (l.contains(prefix.toUtf8())) last = QString::fromUtf8(l.mid(l.indexOf(": ") + 2));
      }
      EXPECT_EQ(last, c.expected);
      ASSERT_EQ(printer.downloads().size(), 1);
      EXPECT_TRUE(printer.downloads()[0].bytes.contains(" font bytes"));
    }
    ++n;
    EXPECT_EQ(snmp_.table(kDevice, kTable), kTableBefore);
    EXPECT_EQ(snmp_.setRequests().size(), 2 * n);
  }
}

TEST_F(Download, AFailedDownloadStillGivesTheRowBack) {
  FakePrinter printer(kDevice, 9100);
  printer.refuse();
  startDownload();
  EXPECT_EQ(outcome(20s), "false DeviceDosntResponse");
  expectRowBorrowedAndRestored();
}

TEST_F(Download, StoppingTheProcessMidDownloadGivesTheRowBackAndExitsPromptly) {
  struct Case {
    const char* why;
    std::function<void(testing_exe::RunningHost&)> stop;
  };
  const Case kCases[] = {
      {"MGMTCloseApplication",
       [](testing_exe::RunningHost& h) {
         (void)exchange(h.port(), post("/MGMTCloseApplication",
                                       "<?xml version=\"1.0\" encoding=\"UTF-8\"?>"
                                       "<OrxRequest command=\"MGMTCloseApplication\"/>"));
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
    EXPECT_EQ(outcome(300ms), QString()) << "still waiting for its own device";

    const auto start = Clock::now();
    stop.stop(*host_);
    ASSERT_TRUE(host_->process().waitForFinished(15000));
    EXPECT_LT(Clock::now() - start, 10s);
    EXPECT_EQ(outcome(1s), "false Timeout");
    EXPECT_EQ(snmp_.setRequests().size(), setsBefore + 2);
    EXPECT_EQ(snmp_.table(kDevice, kTable), kTableBefore) << "the device's table as it was";
  }
}

}  // namespace

#endif
