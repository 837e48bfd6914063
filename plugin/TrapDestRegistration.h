// TrapDestRegistration: for the time of one download, makes this host a trap destination of the
// device, so that the device's confirmation trap reaches us (through the suite's SNMP service).
//
// Construction reads the device's "staticTrapDestTable" ("SNMPGetValues"), takes over one row
// (the first "invalid" one, else the first row) and writes this host's address towards the
// device into it ("SNMPSetValues"); destruction writes the row's old values back. The device's
// table is so left as it was found, whatever became of the download.
//
// Nothing is registered (and nothing undone) when the table cannot be read, has no status column
// or no rows, or when this host has no address towards the device: a trap destination left empty
// would be written to the device for nothing.
//
// Both exchanges go to the SNMP service through the client it is given, which must outlive it.
//
// With a journal, the row's old values are on disk before the row is changed and leave it once
// they are written back, so a crash in between cannot leave the row borrowed for ever; and a row
// of the device that an earlier run left borrowed is given back first.
#pragma once

#include <QString>

#include "framework/ServiceClient.h"
#include "plugin/TrapRegistration.h"
#include "plugin/TrapRowJournal.h"

namespace Zarvo::dsm {

class TrapDestRegistration : public TrapRegistration {
 public:
  // `journal` (none: nullptr) must outlive the registration.
  TrapDestRegistration(Zarvo::ServiceClient& services, const QString& deviceAddress,
                       TrapRowJournal* journal = nullptr);
  ~TrapDestRegistration() override;

  // The factory a sender is given: one registration per download, through `services`, kept in
  // `journal` when there is one.
  static TrapRegistrationFactory factory(Zarvo::ServiceClient& services,
                                         TrapRowJournal* journal = nullptr);
  TrapDestRegistration(const TrapDestRegistration&) = delete;
  TrapDestRegistration& operator=(const TrapDestRegistration&) = delete;

  // The row taken over, counted from 0; -1 while nothing is registered.
  [[nodiscard]] int row() const { return row_; }

 private:
  Zarvo::ServiceClient& services_;
  const QString deviceAddress_;
  TrapRowJournal* const journal_;
  TrapRowJournal::Id journalId_ = 0;
  int row_ = -1;
  QString savedAddress_;
  QString savedStatus_;
  QString savedCommunity_;
};

}  // namespace Zarvo::dsm
