#include "plugin/TrapSources.h"

#include "NSFindService_Request.h"
#include "NSFindService_Response.h"
#include "framework/LMXPacket.h"
#include "framework/Log.h"

namespace Zarvo::dsm {

TrapSources::TrapSources(Zarvo::ServiceClient& services, std::optional<Ipv4RangeList> configured)
    : services_(services), known_(std::move(configured)) {}

bool TrapSources::admits(const QHostAddress& peer) {
  const auto address = Ipv4Address::fromHostAddress(peer);
  if (!address) return false;
  if (address->isLoopback()) return true;
  std::lock_guard<std::mutex> lock(mutex_);
  if (!known_) {
    Zarvo::LMXRequest<NSFindService_Request::c_OrxRequest> request;
    (void)request.set_Command(u"SNMPGetValues");
    using FindResponse = Zarvo::LMXResponse<NSFindService_Response::c_OrxResponse>;
    const auto answer = services_.callService<FindResponse>(request, true);
    if (!answer || answer->result() != 0) {
      ZLOG("warning") << "Trap sources unknown: the naming service names no SNMP service";
      return false;
    }
    const QUrl url(QString::fromStdU16String(answer->get_ServiceURL()).trimmed());
    const auto host = resolveIpv4(url.host());
    if (!host) {
      ZLOG("warning") << "Trap sources unknown: the SNMP service's host " << url.host()
                      << " has no IPv4 address";
      return false;
    }
    known_ = Ipv4RangeList{Ipv4Range(*host, 32)};
  }
  return known_->contains(*address);
}

}  // namespace Zarvo::dsm
