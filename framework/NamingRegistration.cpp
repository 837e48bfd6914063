// Registration of this process in the suite's naming service, made once at start after the
// listener is open.
#include "framework/Application.h"
#include "framework/Log.h"

namespace Zarvo {

bool Application::registerInNamingService(const QUrl& namingServiceUrl) {
  ZLOG("info") << "Registration in naming service: " << namingServiceUrl.toString().toLatin1();
  // The inter-service client that carries "NSRegisterService" is not part of this build yet:
  // the process keeps serving on its port, unregistered.
  ZLOG("info") << "Registration failed";
  return false;
}

}  // namespace Zarvo
