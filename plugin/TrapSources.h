// Who may report a download's outcome ("SNMPTrap"): a forged trap would decide what a waiting
// download reports. This machine (127.0.0.0/8) always may; besides it the configured TrapSources,
// or, without them, the host of the suite's SNMP service, which forwards the devices' traps.
// That host is learnt from the naming service (the URL it gives for "SNMPGetValues") when the
// first trap from elsewhere arrives, and kept; a lookup that fails refuses the trap and is tried
// again at the next one.
#pragma once

#include <QHostAddress>
#include <mutex>
#include <optional>

#include "framework/NetworkAddress.h"
#include "framework/ServiceClient.h"

namespace Zarvo::dsm {

class TrapSources {
 public:
  // `services` (which must outlive this) is asked only when `configured` is absent.
  TrapSources(Zarvo::ServiceClient& services, std::optional<Ipv4RangeList> configured);

  // Whether a trap from `peer` is taken. Any thread; a lookup blocks the caller.
  bool admits(const QHostAddress& peer);

 private:
  Zarvo::ServiceClient& services_;
  std::mutex mutex_;  // known_; held over a lookup, so concurrent traps ask only once
  std::optional<Ipv4RangeList> known_;
};

}  // namespace Zarvo::dsm
