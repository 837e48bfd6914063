// TrapRowJournal: the rows of devices' trap-destination tables this host has borrowed and not yet
// given back, kept on disk so that a crash cannot leave them borrowed for ever.
//
// A download borrows a row (TrapDestRegistration) and writes its old values back afterwards. A
// process killed in between would leave the device sending its traps to this host for good and,
// when the row belonged to another manager, lose that manager's row. So before a row is changed
// its old values are appended here and flushed to disk; once they are written back they leave the
// journal. At start the rows an earlier run left behind are restored in the background
// (TrapRowRestorer), and a new download to such a device restores its row first.
//
// The file is text, one row per line: device, index, address, community, status, tab-separated
// and percent-encoded. A last line without its line end is a write cut off by a crash before the
// row was changed, and is ignored. A file that cannot be read otherwise is renamed aside
// ("<file>.unreadable-<time>") with an "err" line, never dropped silently.
#pragma once

#include <QDeadlineTimer>
#include <QList>
#include <QString>
#include <chrono>
#include <condition_variable>
#include <map>
#include <mutex>
#include <set>

#include "framework/Thread.h"

namespace Zarvo {
class ServiceClient;
}

namespace Zarvo::dsm {

// A row of a device's "staticTrapDestTable" as it was before this host borrowed it.
struct TrapRow {
  QString device;  // the device address
  int index = -1;  // the row, counted from 0
  QString address;
  QString community;
  QString status;

  bool operator==(const TrapRow& o) const {
    return device == o.device && index == o.index && address == o.address &&
           community == o.community && status == o.status;
  }
};

// Writes `row`'s values back into the device's table through the SNMP service; true when the
// service reported success.
bool restoreTrapRow(Zarvo::ServiceClient& services, const TrapRow& row);

class TrapRowJournal {
 public:
  using Id = quint64;  // 0: none
  struct Entry {
    Id id = 0;
    TrapRow row;
  };

  // The journal in the file at `path`; reads the rows an earlier run left there (leftOvers()).
  explicit TrapRowJournal(QString path);
  TrapRowJournal(const TrapRowJournal&) = delete;
  TrapRowJournal& operator=(const TrapRowJournal&) = delete;

  const QString& path() const { return path_; }

  // Before `row` is changed on the device: appends it and flushes it to disk. 0 when it could
  // not be written (logged on "err"; the caller goes on without the journal's protection).
  Id add(const TrapRow& row);
  // The row's values are back on the device: it leaves the journal (and the file).
  void remove(Id id);

  // The rows an earlier run left behind and nobody has restored yet.
  QList<Entry> leftOvers() const;
  // Takes a left-over row for the caller to restore; false when it is gone or another has it.
  bool claim(Id id);
  // A claimed row could not be restored: it stays in the journal, free for another to try.
  void unclaim(Id id);
  // Restores the left-over rows of `device` before it is used again: each one not claimed is
  // restored here (one attempt), and one that another is restoring is waited for, at most until
  // `deadline`. True when none of the device's left-over rows is still pending.
  bool settle(Zarvo::ServiceClient& services, const QString& device, QDeadlineTimer deadline);

  // Rows in the journal now (left-over and current).
  int size() const;

 private:
  void load();
  // Writes every row still held, replacing the file (or removing it when none is left).
  bool rewrite();

  const QString path_;
  mutable std::mutex mutex_;
  std::condition_variable unclaimed_;
  std::map<Id, TrapRow> rows_;  // every row in the journal, in the order they came
  std::set<Id> leftOver_;       // those an earlier run left
  std::set<Id> claimed_;
  Id nextId_ = 1;
};

// Restores, in the background, the rows an earlier run left in the journal: each with a bounded
// number of attempts, one "info" line per device restored, an "err" line for a row that could
// not be (it stays in the journal for the next start). A plain-owned thread: destroying it stops
// it (a restore under way ends its exchange) and waits for it.
class TrapRowRestorer : public Zarvo::Thread {
 public:
  struct Limits {
    int attempts = 5;
    std::chrono::milliseconds pause{10'000};  // between two attempts at one row
  };
  TrapRowRestorer(Zarvo::ServiceClient& services, TrapRowJournal& journal, Limits limits);
  ~TrapRowRestorer() override;

 protected:
  void run() override;

 private:
  Zarvo::ServiceClient& services_;
  TrapRowJournal& journal_;
  const Limits limits_;
};

}  // namespace Zarvo::dsm
