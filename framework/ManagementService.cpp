#include "framework/ManagementService.h"

namespace Zarvo {

ManagementService::ManagementService(std::function<void()> quit, Ipv4RangeList managers)
    : quit_(std::move(quit)), managers_(std::move(managers)) {
  registerHandler(QStringLiteral("MGMTCloseApplication"), &ManagementService::closeApplication);
}

bool ManagementService::admitsCaller(const QString&, const QHostAddress& caller) {
  const auto address = Ipv4Address::fromHostAddress(caller);
  return address && (address->isLoopback() || managers_.contains(*address));
}

std::unique_ptr<MGMTCloseApplicationResponse> ManagementService::closeApplication(
    MGMTCloseApplicationRequest&) {
  quit_();  // queued to the main thread: this answer is still written
  return std::make_unique<MGMTCloseApplicationResponse>();
}

}  // namespace Zarvo
