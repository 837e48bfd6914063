#include "framework/ManagementService.h"

namespace Zarvo {

ManagementService::ManagementService(std::function<void()> quit) : quit_(std::move(quit)) {
  registerHandler(QStringLiteral("MGMTCloseApplication"), &ManagementService::closeApplication);
}

std::unique_ptr<MGMTCloseApplicationResponse> ManagementService::closeApplication(
    MGMTCloseApplicationRequest&) {
  quit_();  // queued to the main thread: this answer is still written
  return std::make_unique<MGMTCloseApplicationResponse>();
}

}  // namespace Zarvo
