// The built-in management service "MGMT" that every host process carries, through which the
// suite can close the process remotely.
#pragma once

#include "framework/Service.h"

namespace Zarvo {

class ManagementService : public Service {
 public:
  ManagementService();
};

}  // namespace Zarvo
