#include "framework/ClientAllowList.h"

#include <QUrl>

#include "framework/Log.h"

namespace Zarvo {

ClientAllowList::ClientAllowList(Ipv4RangeList allowed, Clock clock)
    : allowed_(std::move(allowed)),
      clock_(clock ? std::move(clock) : Clock([] { return std::chrono::steady_clock::now(); })) {}

bool ClientAllowList::admits(const QHostAddress& peer) {
  const auto address = Ipv4Address::fromHostAddress(peer);
  if (address && allowed_.contains(*address)) return true;

  const quint32 key = address ? address->toUInt() : 0;
  const auto now = clock_();
  {
    std::lock_guard<std::mutex> lock(mutex_);
    // Forgetting what is older than the interval changes nothing about the lines written; done
    // once an interval, so a burst of refusals does not walk the map each time.
    if (now - lastPrune_ >= kWarningInterval) {
      for (auto it = lastWarning_.begin(); it != lastWarning_.end();) {
        it = now - it->second >= kWarningInterval ? lastWarning_.erase(it) : std::next(it);
      }
      lastPrune_ = now;
    }
    const auto it = lastWarning_.find(key);
    if (it != lastWarning_.end() && now - it->second < kWarningInterval) return false;
    lastWarning_[key] = now;
  }
  ZLOG("warning") << "Connection from " << peer.toString() << " closed: not in AllowedClients";
  return false;
}

Ipv4RangeList loopbackAndHostsOf(const QList<QUrl>& urls) {
  Ipv4RangeList list{kLoopbackRange};
  for (const QUrl& url : urls) {
    if (!url.isValid() || url.isEmpty()) continue;
    const auto host = resolveIpv4(url.host());
    if (!host || host->toUInt() == 0 || host->isLoopback()) continue;
    list.append(Ipv4Range(*host, 32));
  }
  return list;
}

}  // namespace Zarvo
