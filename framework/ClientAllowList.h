// Which peers the host serves at all: the listener asks at accept time, and a refused peer's
// connection is closed before a byte of it is read.
//
// A refused peer is reported with one "warning" line, at most once a minute per address: a peer
// that keeps knocking must not flood the log (nor fill memory: addresses not seen for a minute
// are forgotten).
#pragma once

#include <QHostAddress>
#include <QList>
#include <QUrl>
#include <chrono>
#include <functional>
#include <map>
#include <mutex>

#include "framework/NetworkAddress.h"

namespace Zarvo {

class ClientAllowList {
 public:
  using Clock = std::function<std::chrono::steady_clock::time_point()>;
  static constexpr std::chrono::seconds kWarningInterval{60};

  // `clock` is the steady clock unless a test gives its own.
  explicit ClientAllowList(Ipv4RangeList allowed, Clock clock = {});

  // True when `peer` is in the list. Otherwise false, with a "warning" line unless one was
  // written for that address within the last minute. Any thread.
  bool admits(const QHostAddress& peer);

  const Ipv4RangeList& allowed() const { return allowed_; }

 private:
  const Ipv4RangeList allowed_;
  const Clock clock_;
  std::mutex mutex_;  // lastWarning_
  // Refused addresses (IPv4 as a number; 0 stands for any peer that is not IPv4) and when each
  // was last reported.
  std::map<quint32, std::chrono::steady_clock::time_point> lastWarning_;
  std::chrono::steady_clock::time_point lastPrune_{};
};

// The clients the host serves when the configuration names none: this machine (127.0.0.0/8) and
// the hosts of the given URLs (the naming service, the host's own address), each resolved once.
// Hosts that do not resolve to an IPv4 address, and 0.0.0.0, add nothing.
Ipv4RangeList loopbackAndHostsOf(const QList<QUrl>& urls);

}  // namespace Zarvo
