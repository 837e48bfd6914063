// Entry point of the storage-manager host process.
#include "framework/Application.h"

int main(int argc, char** argv) {
  Zarvo::Application app(argc, argv, QStringLiteral("ZarvoPluginDSM"),
                         QStringLiteral("ZarvoPluginDSM.cfg"));
  return app.exec();
}
