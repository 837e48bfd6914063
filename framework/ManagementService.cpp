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
    QMetaObject::invokeMethod(app, &QCoreApplication::quit, Qt::QueuedConnection);
  }
  return std::make_unique<MGMTCloseApplicationResponse>();
}

}  // namespace Zarvo
