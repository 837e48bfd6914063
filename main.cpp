// Entry point of the storage-manager host process.
#include <malloc.h>

#include <QtGlobal>

#include "framework/Application.h"
#include "framework/Service.h"
#include "plugin/ZarvoPluginDSM.h"

int main(int argc, char** argv) {
  // Every connection is a short-lived thread. Qt's GLib event dispatcher costs each of them an
  // eventfd and several wake-ups, and the JIT of the HTTP head patterns faults in fresh stack
  // pages on each: both measured at about 10% of the server's CPU per request, for nothing a
  // connection needs (it never runs an event loop; the patterns are tiny).
  qputenv("QT_NO_GLIB", "1");
  qputenv("QT_ENABLE_REGEXP_JIT", "0");
  // Request bodies and the values read from them run to megabytes. Once such a block has been
  // freed, glibc raises its threshold for mapping blocks of their own and serves the next ones
  // from heaps that it keeps after use: a burst of large requests left the process holding
  // hundreds of megabytes. A fixed threshold maps every large block and returns it on free.
  mallopt(M_MMAP_THRESHOLD, 256 * 1024);
  // The application reaches other processes through the process's one OrxServiceClient; the
  // storage manager reaches the suite through the application (its own services first).
  Zarvo::Application app(argc, argv, QStringLiteral("ZarvoPluginDSM"),
                         QStringLiteral("ZarvoPluginDSM.cfg"));
  app.registerServiceFactory(QStringLiteral("DSM"), new Zarvo::ServiceFactoryFunction([&app] {
                               return new Zarvo::dsm::ZarvoPluginDSM(app, app.configuration());
                             }));
  return app.exec();
}
