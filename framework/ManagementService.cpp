#include "framework/ManagementService.h"

namespace Zarvo {

// The "MGMTCloseApplication" handler joins once its message classes exist.
ManagementService::ManagementService() = default;

}  // namespace Zarvo
