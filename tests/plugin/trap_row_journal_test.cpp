// The journal of borrowed trap-destination rows: what a crash leaves on disk, how it is read back
// (a cut-off last line, a file that cannot be read), and how the rows come back to the devices:
// in the background at start, and before a new download to the same device.
#include "plugin/TrapRowJournal.h"

#include <gtest/gtest.h>

#include <QDir>
#include <QElapsedTimer>
#include <QFile>
#include <QTemporaryDir>

#include "plugin/TrapDestRegistration.h"
#include "tests/fakes/FakeSuiteServices.h"
#include "tests/fakes/Files.h"
#include "tests/fakes/LogLines.h"
#include "tests/fakes/ServiceClients.h"

namespace Zarvo::dsm {
namespace {

using testing_files::readFile;
using testing_files::writeFile;

using testing_suite::FakeSNMPService;
using testing_suite::SnmpTable;

const QString kTable = QStringLiteral("staticTrapDestTable");
const QString kDevice = QStringLiteral("127.0.0.7");
const QStringList kColumns = {"staticTrapDestAddr", "staticTrapDestCommunity",
                              "staticTrapDestStatus"};
// The device's own table: its one row belongs to another manager.
const SnmpTable kOwnTable{kColumns, {{"10.1.1.1", "other's", "valid"}}};
// The same row while this host borrows it.
const SnmpTable kBorrowedTable{kColumns, {{"127.0.0.1", "public", "valid"}}};

TEST(TrapRowJournalFile, WhatAnEarlierRunLeftIsReadBackOrSetAsideNeverDropped) {
  const TrapRow tricky{"127.0.0.9", 3, "10.0.0.1", "a\tb\nc %", "valid"};
  const QByteArray trickyLine = "127.0.0.9\t3\t10.0.0.1\ta%09b%0Ac%20%25\tvalid\n";
  struct Case {
    const char* why;
    QByteArray file;  // empty: no file
    QList<TrapRow> leftOver;
    QByteArray fileAfter;  // as read back
    bool setAside;
  };
  const Case kCases[] = {
      {"no journal: nothing left", {}, {}, {}, false},
      {"two rows, texts of any character",
       "127.0.0.8\t0\t\t\tinvalid\n" + trickyLine,
       {{"127.0.0.8", 0, "", "", "invalid"}, tricky},
       "127.0.0.8\t0\t\t\tinvalid\n" + trickyLine,
       false},
      {"a last line cut off by a crash: its row was never changed, and it is dropped so that the "
       "next row does not run on from it",
       trickyLine + "127.0.0.8\t0\t10.",
       {tricky},
       trickyLine,
       false},
      {"a line that is no row: the whole file is set aside",
       trickyLine + "garbage\n",
       {},
       {},
       true},
      {"a negative row index is no row", "127.0.0.8\t-1\ta\tb\tc\n", {}, {}, true},
  };
  for (const Case& c : kCases) {
    SCOPED_TRACE(c.why);
    QTemporaryDir dir;
    const QString path = dir.filePath("journal");
    if (!c.file.isEmpty()) writeFile(path, c.file);
    const qsizetype from = testing_log::LogLines::get().mark();
    TrapRowJournal journal(path);
    QList<TrapRow> rows;
    for (const auto& entry : journal.leftOvers()) rows << entry.row;
    EXPECT_EQ(rows, c.leftOver);
    EXPECT_EQ(readFile(path), c.fileAfter);
    const QStringList err = testing_log::LogLines::get().since(from, "err");
    const QStringList aside = QDir(dir.path()).entryList({"journal.unreadable-*"});
    EXPECT_EQ(aside.size(), c.setAside ? 1 : 0);
    EXPECT_EQ(err.size(), c.setAside ? 1 : 0);
    if (c.setAside && !aside.isEmpty()) {
      EXPECT_EQ(readFile(dir.filePath(aside.first())), c.file) << "kept as it was";
      EXPECT_TRUE(err.first().contains("unreadable")) << err.first().toStdString();
    }
  }
}

TEST(TrapRowJournalFile, RowsGoToDiskWhenAddedAndLeaveWhenRemoved) {
  QTemporaryDir dir;
  const QString path = dir.filePath("journal");
  TrapRowJournal journal(path);
  const auto first = journal.add({"127.0.0.8", 0, "a", "b", "valid"});
  const auto second = journal.add({"127.0.0.9", 1, "c", "d", "invalid"});
  ASSERT_NE(first, 0u);
  EXPECT_EQ(readFile(path), "127.0.0.8\t0\ta\tb\tvalid\n127.0.0.9\t1\tc\td\tinvalid\n");
  EXPECT_TRUE(journal.leftOvers().isEmpty()) << "this run's rows are its own to give back";
  journal.remove(first);
  EXPECT_EQ(readFile(path), "127.0.0.9\t1\tc\td\tinvalid\n");
  journal.remove(second);
  EXPECT_FALSE(QFile::exists(path)) << "an empty journal leaves no file";
  EXPECT_EQ(journal.size(), 0);
}

class TrapRowRestore : public testing_orx::LoopbackServices {
 protected:
  void SetUp() override {
    route("SNMPGetValues", snmp_.url());
    route("SNMPSetValues", snmp_.url());
    path_ = dir_.filePath("journal");
  }
  // What a crash during a download leaves: the device's row borrowed, its old values journaled.
  void crashDuringADownload() {
    snmp_.setTable(kDevice, kTable, kOwnTable);
    TrapRowJournal journal(path_);
    TrapDestRegistration registration(client(), kDevice, &journal);
    ASSERT_EQ(snmp_.table(kDevice, kTable), kBorrowedTable);
    const QByteArray onDisk = readFile(path_);
    ASSERT_FALSE(onDisk.isEmpty()) << "journaled before the row was changed";
    crashed_ = onDisk;
    // ~registration gives the row back; the crash is replayed below from what was on disk.
  }
  void replayCrash() {
    snmp_.setTable(kDevice, kTable, kBorrowedTable);
    writeFile(path_, crashed_);
  }

  FakeSNMPService snmp_;
  QTemporaryDir dir_;
  QString path_;
  QByteArray crashed_;
};

TEST_F(TrapRowRestore, RowsACrashLeftBorrowedAreGivenBackAtStartAndLeaveTheJournal) {
  crashDuringADownload();
  replayCrash();
  TrapRowJournal journal(path_);
  ASSERT_EQ(journal.leftOvers().size(), 1);
  const qsizetype from = testing_log::LogLines::get().mark();
  {
    TrapRowRestorer restorer(client(), journal, {3, std::chrono::milliseconds(10)});
    ASSERT_TRUE(restorer.start());
    ASSERT_TRUE(restorer.wait(20000));
  }
  EXPECT_EQ(snmp_.table(kDevice, kTable), kOwnTable) << "the other manager's row is back";
  EXPECT_EQ(journal.size(), 0);
  EXPECT_FALSE(QFile::exists(path_));
  const QStringList info = testing_log::LogLines::get().since(from, "info");
  EXPECT_EQ(info.filter("Trap destination table of device 127.0.0.7 restored (row 0)").size(), 1);
}

TEST_F(TrapRowRestore, ARowThatCannotBeGivenBackStaysForTheNextStart) {
  crashDuringADownload();
  replayCrash();
  snmp_.setResult(7, "busy");  // the SNMP service refuses every write
  TrapRowJournal journal(path_);
  const qsizetype from = testing_log::LogLines::get().mark();
  {
    TrapRowRestorer restorer(client(), journal, {2, std::chrono::milliseconds(10)});
    ASSERT_TRUE(restorer.start());
    ASSERT_TRUE(restorer.wait(20000));
  }
  EXPECT_EQ(snmp_.setRequests().size(), 2 + 2) << "the download's two writes, then two attempts";
  EXPECT_EQ(readFile(path_), crashed_);
  EXPECT_EQ(testing_log::LogLines::get().since(from, "err").filter("not restored").size(), 1);
}

// A download to a device whose row an earlier run left borrowed gives that row back first:
// otherwise it would read this host's own stale address as the row's value, and write that back
// when done, losing the other manager's row for good.
TEST_F(TrapRowRestore, ADownloadToADeviceWithALeftOverRowGivesItBackFirst) {
  crashDuringADownload();
  replayCrash();
  TrapRowJournal journal(path_);
  const int writesBefore = snmp_.setRequests().size();
  {
    TrapDestRegistration registration(client(), kDevice, &journal);
    EXPECT_EQ(snmp_.table(kDevice, kTable), kBorrowedTable);
    EXPECT_EQ(journal.leftOvers().size(), 0);
    EXPECT_EQ(journal.size(), 1) << "only the new borrow";
  }
  EXPECT_EQ(snmp_.setRequests().size(), writesBefore + 3) << "given back, borrowed, given back";
  EXPECT_EQ(snmp_.table(kDevice, kTable), kOwnTable);
  EXPECT_FALSE(QFile::exists(path_));
}

}  // namespace
}  // namespace Zarvo::dsm
