// File jobs to several printers through the running executable with its default of 16
// downloads at once: printers on 127.21.0.N:9100 that confirm through the SNMP service's trap,
// one of them silent (it takes the bytes and never confirms), the source's web pages on port 80.
// A copy and a move of two files to five printers: the other four confirm while the silent one
// waits, the details keep the task order, a cancel ends the silent one's wait at once and a move
// keeps its source; with every printer confirming, a move deletes each source file once. Two
// jobs to one printer still take turns.
//
// Ports 80 and 9100 need root, as the other end-to-end tests beside these do.
#include <gtest/gtest.h>

#include <chrono>
#include <memory>
#include <thread>
#include <vector>

#include "tests/fakes/Bytes.h"
#include "tests/fakes/FakeCgiDevices.h"
#include "tests/fakes/FakePrinter.h"
#include "tests/fakes/FakeSuiteServices.h"
#include "tests/plugin/DsmEndToEnd.h"

#ifdef ZARVO_EXECUTABLE

namespace Zarvo::dsm {
namespace {

using namespace std::chrono_literals;
using testing_bytes::hex;
using testing_devices::FakeCgiDevices;
using testing_dsm::detailsAnswer;
using testing_dsm::FileRow;
using testing_dsm::listAnswer;
using testing_printer::FakePrinter;
using testing_suite::SnmpTable;

const QString S = QStringLiteral("127.21.0.2");  // the source's web pages
const QStringList kPrinters = {"127.21.0.3", "127.21.0.4", "127.21.0.5", "127.21.0.6",
                               "127.21.0.7"};
const QString kSilent = kPrinters[2];
const QString kDestinations = kPrinters.join(';');
const QByteArray kForm("%!PS\n(form) show\n");
const QByteArray kFont("\x1b)s4Wfont");
const SnmpTable kTableBefore{
    {"staticTrapDestAddr", "staticTrapDestCommunity", "staticTrapDestStatus"},
    {{"10.9.8.7", "c1", "valid"}}};

// b.pcl (unless `formOnly`) and a.ps from S to `to`.
QByteArray transfer(const QStringList& to, bool formOnly = false) {
  QByteArray body = "<Source><DeviceIP>" + S.toUtf8() + "</DeviceIP>";
  if (!formOnly) {
    body += "<File><FileName>b.pcl</FileName><FileSize>" + QByteArray::number(kFont.size()) +
            "</FileSize><FileType>pclFont</FileType><FileStorageFileID>5</FileStorageFileID>"
            "</File>";
  }
  body += "<File><FileName>a.ps</FileName><FileSize>" + QByteArray::number(kForm.size()) +
          "</FileSize><FileType>psForm</FileType><FileStorageFileID>0</FileStorageFileID>"
          "</File></Source><Destinations>";
  for (const QString& d : to) body += "<DeviceIP>" + d.toUtf8() + "</DeviceIP>";
  return body + "</Destinations>";
}

// The details rows of a two-file job to kPrinters in task order (destination by destination,
// a.ps before b.pcl), each from `text(file, printer)`: (result, details).
template <class Text>
QList<FileRow> rows(Text text) {
  QList<FileRow> out;
  for (const QString& p : kPrinters) {
    for (const bool form : {true, false}) {
      const auto [ok, details] = text(form, p);
      out.append({form ? "a.ps" : "b.pcl", int(form ? kForm.size() : kFont.size()),
                  form ? "psForm" : "pclFont", S, p, ok, details});
    }
  }
  return out;
}

class FleetJobs : public testing_dsm::DsmEndToEnd {
 protected:
  FleetJobs() : pages_({S}, 80) {
    for (const QString& p : kPrinters) {
      printers_.push_back(std::make_unique<FakePrinter>(p, 9100));
      snmp_.setTable(p, testing_dsm::kTrapTable, kTableBefore);
      if (p != kSilent) confirmAlways(*printers_.back(), "completed");
    }
    pages_.putFile(S, "a.ps", kForm);
    pages_.putFile(S, "b.pcl", kFont);
  }
  void SetUp() override {
    DsmEndToEnd::SetUp();
    if (IsSkipped()) return;
    startHost({});  // ParallelDownloads as configured by default
  }
  FakePrinter& printer(const QString& address) {
    return *printers_[std::size_t(kPrinters.indexOf(address))];
  }
  // Polls (bounded) until the list shows `progress` for operation `id` in progress.
  bool listShows(int id, const char* status, int progress, const QString& destination) {
    const QByteArray wanted = listAnswer({{id, "COPY", status, progress, S, destination}});
    const QByteArray wantedMove = listAnswer({{id, "MOVE", status, progress, S, destination}});
    const auto end = Clock::now() + 20s;
    while (Clock::now() < end) {
      const QByteArray l = list();
      if (l == wanted || l == wantedMove) return true;
      std::this_thread::sleep_for(10ms);
    }
    return false;
  }

  FakeCgiDevices pages_;
  std::vector<std::unique_ptr<FakePrinter>> printers_;
};

TEST_F(FleetJobs, OneSilentPrinterWaitsAloneAndACancelEndsItsWait) {
  int run = 0;
  for (const char* command : {"DSMCopyFile", "DSMMoveFile"}) {
    SCOPED_TRACE(command);
    ++run;
    const char* type = QByteArray(command) == "DSMCopyFile" ? "COPY" : "MOVE";
    expectPlain(command, transfer(kPrinters));
    // a.ps went to all five at once; four confirmed, the silent one holds the file back:
    // 4 of 10 tasks ended and one under way, ((2 x 4 + 1) x 100 / 10) / 2.
    ASSERT_TRUE(listShows(0, "IN_PROGRESS", 45, kDestinations)) << list().toStdString();
    EXPECT_EQ(hex(details(0)), hex(detailsAnswer(type, "IN_PROGRESS", S, kDestinations,
                                                 rows([](bool form, const QString& p) {
                                                   return std::pair<bool, const char*>(
                                                       form && p != kSilent, "completed");
                                                 }))))
        << "the tasks in their order: destination by destination";
    for (const QString& p : kPrinters) EXPECT_EQ(printer(p).downloads().size(), run);

    const auto start = Clock::now();
    expectPlain("DSMCancelOperation", "<OperationID>0</OperationID>");
    ASSERT_TRUE(listShows(0, "CANCELED", 50, kDestinations)) << list().toStdString();
    EXPECT_LT(Clock::now() - start, 5s) << "well before the 300 s confirmation limit";
    EXPECT_EQ(
        hex(details(0)),
        hex(detailsAnswer(type, "CANCELED", S, kDestinations, rows([](bool form, const QString& p) {
                            if (!form) return std::pair<bool, const char*>(false, "completed");
                            return p == kSilent ? std::pair<bool, const char*>(false, "Timeout")
                                                : std::pair<bool, const char*>(true, "completed");
                          }))))
        << "the cut download reads as unconfirmed; b.pcl never went";
    EXPECT_TRUE(pages_.hasFile(S, "a.ps")) << "a move keeps a file one printer lacks";
    EXPECT_TRUE(pages_.requests(S, "DSMDeletefiles.cgi").isEmpty());
    EXPECT_EQ(snmp_.table(kSilent, testing_dsm::kTrapTable), kTableBefore)
        << "the silent printer's borrowed row is given back";
    startHost({});  // the next command in a fresh process, as operation 0 again
  }
}

TEST_F(FleetJobs, AMoveDeletesEachSourceFileOnceEveryPrinterTookIt) {
  confirmAlways(printer(kSilent), "completed");
  expectPlain("DSMMoveFile", transfer(kPrinters));
  ASSERT_TRUE(listShows(0, "COMPLETED", 100, kDestinations)) << list().toStdString();
  const auto deletes = pages_.requests(S, "DSMDeletefiles.cgi");
  ASSERT_EQ(deletes.size(), 2) << "once per file";
  EXPECT_EQ(deletes[0].fields[0].second, "a.ps");
  EXPECT_EQ(deletes[1].fields[0].second, "b.pcl");
  EXPECT_FALSE(pages_.hasFile(S, "a.ps"));
  EXPECT_FALSE(pages_.hasFile(S, "b.pcl"));
  for (const QString& p : kPrinters) EXPECT_EQ(printer(p).downloads().size(), 2) << p.toStdString();
}

TEST_F(FleetJobs, TwoJobsToOnePrinterTakeTurns) {
  FakePrinter& silent = printer(kSilent);  // confirmed by hand below
  expectPlain("DSMCopyFile", transfer({kSilent}, true));
  ASSERT_TRUE(silent.waitForDownloads(1, 20s));
  expectPlain("DSMCopyFile", transfer({kSilent}, true));
  // The second job has its file and is at the printer's door, waiting for the first one.
  const auto end = Clock::now() + 20s;
  while (pages_.requests(S, "DSMGetFiles.cgi").size() < 2 && Clock::now() < end) {
    std::this_thread::sleep_for(5ms);
  }
  ASSERT_EQ(pages_.requests(S, "DSMGetFiles.cgi").size(), 2);

  const auto confirmed = Clock::now();
  (void)testing_suite::FakeSNMPService::sendTrap(naming_.url(), kSilent, testing_dsm::kEnterprise,
                                                 {{testing_dsm::kStatusOid, "completed"}});
  ASSERT_TRUE(silent.waitForDownloads(2, 20s));
  EXPECT_GE(silent.downloads()[1].accepted, confirmed)
      << "the second download began only after the first was confirmed";
  confirmAlways(silent, "completed");
  (void)testing_suite::FakeSNMPService::sendTrap(naming_.url(), kSilent, testing_dsm::kEnterprise,
                                                 {{testing_dsm::kStatusOid, "completed"}});
  EXPECT_EQ(hex(settled()), hex(listAnswer({{0, "COPY", "COMPLETED", 100, S, kSilent},
                                            {1, "COPY", "COMPLETED", 100, S, kSilent}})));
}

}  // namespace
}  // namespace Zarvo::dsm

#endif
