#include "framework/ManagementService.h"

#include <QCoreApplication>
#include <QMetaObject>

namespace Zarvo {

ManagementService::ManagementService() {
  registerHandler(QStringLiteral("MGMTCloseApplication"), &ManagementService::closeApplication);
}

std::unique_ptr<MGMTCloseApplicationResponse> ManagementService::closeApplication(
    MGMTCloseApplicationRequest&) {
  if (QCoreApplication* app = QCoreApplication::instance()) {
    // By name: a functor call would allocate a slot object here and have Qt free it on either
    // thread under Qt's own reference count, which the thread sanitizer cannot see.
    QMetaObject::invokeMethod(app, "quit", Qt::QueuedConnection);
  }
  return std::make_unique<MGMTCloseApplicationResponse>();
}

}  // namespace Zarvo
