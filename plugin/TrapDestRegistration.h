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
#pragma once

#include <QString>

#include "framework/ServiceClient.h"
#include "plugin/TrapRegistration.h"

namespace Zarvo::dsm {

class TrapDestRegistration : public TrapRegistration {
 public:
  TrapDestRegistration(Zarvo::ServiceClient& services, const QString& deviceAddress);
  ~TrapDestRegistration() override;

  // The factory a sender is given: one registration per download, through `services`.
  static TrapRegistrationFactory factory(Zarvo::ServiceClient& services);
  TrapDestRegistration(const TrapDestRegistration&) = delete;
  TrapDestRegistration& operator=(const TrapDestRegistration&) = delete;

  // The row taken over, counted from 0; -1 while nothing is registered.
  [[nodiscard]] int row() const { return row_; }

 private:
  void write(const QString& address, const QString& community, const QString& status) const;

  Zarvo::ServiceClient& services_;
  const QString deviceAddress_;
  int row_ = -1;
  QString savedAddress_;
  QString savedStatus_;
  QString savedCommunity_;
};

}  // namespace Zarvo::dsm
