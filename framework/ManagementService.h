// The built-in management service "MGMT" that every host process carries, through which the
// suite can close the process remotely.
#pragma once

#include "MGMTCloseApplication_Request.h"
#include "MGMTCloseApplication_Response.h"
#include "framework/LMXPacket.h"
#include "framework/Service.h"

namespace Zarvo {

using MGMTCloseApplicationRequest = LMXRequest<MGMTCloseApplication_Request::c_OrxRequest>;
using MGMTCloseApplicationResponse = LMXResponse<MGMTCloseApplication_Response::c_OrxResponse>;

class ManagementService : public Service {
 public:
  ManagementService();

 private:
  // Asks the event loop to quit and answers Result 0 "OK". The quit is queued to the main
  // thread, so the connection still writes this answer.
  std::unique_ptr<MGMTCloseApplicationResponse> closeApplication(MGMTCloseApplicationRequest&);
};

}  // namespace Zarvo
