// The built-in management service "MGMT" that every host process carries, through which the
// suite can close the process remotely.
#pragma once

#include <functional>

#include "MGMTCloseApplication_Request.h"
#include "MGMTCloseApplication_Response.h"
#include "framework/LMXPacket.h"
#include "framework/NetworkAddress.h"
#include "framework/Service.h"

namespace Zarvo {

using MGMTCloseApplicationRequest = LMXRequest<MGMTCloseApplication_Request::c_OrxRequest>;
using MGMTCloseApplicationResponse = LMXResponse<MGMTCloseApplication_Response::c_OrxResponse>;

class ManagementService : public Service {
 public:
  // `quit` ends the process's event loop from any thread, after the caller's answer is written
  // (the application's requestQuit()). Over the network only this machine (127.0.0.0/8) and
  // `managers` (the naming service's host) may close the process.
  explicit ManagementService(std::function<void()> quit, Ipv4RangeList managers = Ipv4RangeList());

 protected:
  bool admitsCaller(const QString& command, const QHostAddress& caller) override;

 private:
  // Asks the event loop to quit and answers Result 0 "OK".
  std::unique_ptr<MGMTCloseApplicationResponse> closeApplication(MGMTCloseApplicationRequest&);

  const std::function<void()> quit_;
  const Ipv4RangeList managers_;
};

}  // namespace Zarvo
