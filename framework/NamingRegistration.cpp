// Registration of this process in the suite's naming service, made once at start after the
// listener is open: the URL other services reach us at, and every command we answer.
#include "NSRegisterService_Request.h"
#include "NSRegisterService_Response.h"
#include "framework/Application.h"
#include "framework/LMXPacket.h"
#include "framework/Log.h"
#include "framework/ServiceClient.h"

namespace Zarvo {

bool Application::registerInNamingService(const QUrl& namingServiceUrl) {
  ZLOG("info") << "Registration in naming service: " << namingServiceUrl.toEncoded();
  remote_.setNamingServiceUrl(namingServiceUrl);

  LMXRequest<NSRegisterService_Request::c_OrxRequest> request;
  (void)request.set_URL(serviceUrl().toString().toStdU16String());
  // The command map is ordered by name, which is the order the naming service gets them in.
  for (const auto& entry : *commandMap()) {
    (void)request.anon_method().append(entry.first.toStdU16String());
  }
  // Through call(): the suite's naming service may be one of our own services.
  const auto response =
      callService<LMXResponse<NSRegisterService_Response::c_OrxResponse>>(request, true);
  if (response && response->result() == 0) {
    ZLOG("info") << "Registration successful";
    return true;
  }
  ZLOG("info") << "Registration failed";
  return false;
}

}  // namespace Zarvo
