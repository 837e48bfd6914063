#include "framework/ManagementService.h"

#include <QCoreApplication>
#include <QMetaObject>

#include "framework/Application.h"

namespace Zarvo {

ManagementService::ManagementService() {
  registerHandler(QStringLiteral("MGMTCloseApplication"), &ManagementService::closeApplication);
}

std::unique_ptr<MGMTCloseApplicationResponse> ManagementService::closeApplication(
    MGMTCloseApplicationRequest&) {
  if (Application* app = Application::instance()) {
    app->requestQuit();  // the loop ends after this answer is on its way
  } else if (QCoreApplication* core = QCoreApplication::instance()) {
    QMetaObject::invokeMethod(core, "quit", Qt::QueuedConnection);
  }
  return std::make_unique<MGMTCloseApplicationResponse>();
}

}  // namespace Zarvo
