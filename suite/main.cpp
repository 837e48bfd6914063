// zarvo-suite: the programs around the storage manager in one process, on the project's own
// framework: the naming service, the SNMP and device management services, and the simulated
// printer fleet they front. Run it as "zarvo-suite -exec [--config FILE]"; the configuration
// (default: zarvo-suite.cfg beside the executable) holds the usual "ServiceURL" and, in its
// "Fleet" element, the devices. Without "DispatcherURL" the suite is its own naming service.
#include <QCoreApplication>
#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QTcpServer>
#include <cstdio>
#include <memory>

#include "framework/Application.h"
#include "framework/Log.h"
#include "framework/OrxServiceClient.h"
#include "framework/ProcessFolders.h"
#include "suite/Fleet.h"
#include "suite/SuiteServices.h"

namespace suite = Zarvo::suite;
using Zarvo::OrxServiceClient;
using Zarvo::ProcessFolders;

namespace {

class SuiteApplication : public Zarvo::Application {
 public:
  SuiteApplication(int argc, char** argv, const QString& config, suite::Fleet& fleet)
      : Application(argc, argv, QStringLiteral("zarvo-suite"), config), fleet_(fleet) {}

  void start() override {
    Application::start();
    if (!listener() || !listener()->isListening()) return;  // start already told the loop to quit
    // The naming service lives here: with no other one configured, register with ourselves. The
    // call is dispatched inside the process, so the main thread never waits on its own port.
    if (namingServiceUrl().isEmpty()) registerInNamingService(serviceUrl());
    QString error;
    if (!fleet_.start(&error)) {
      ZLOG("err") << "Fleet not started: " << error;
      QCoreApplication::exit(3);
      return;
    }
    for (const auto& d : fleet_.devices()) {
      ZLOG("info") << "Device " << d->setup().id << " \"" << d->setup().name << "\" on "
                   << d->address() << " print port " << d->printPort() << " web port "
                   << d->webPort() << (d->printPort() == 0 ? " (refusing)" : "");
    }
    ZLOG("info") << "Fleet ready, stored files under " << fleet_.filesDir();
  }

 private:
  suite::Fleet& fleet_;
};

QString executableDir() {
  return QFileInfo(QFile::symLinkTarget(QStringLiteral("/proc/self/exe"))).absolutePath();
}

}  // namespace

int main(int argc, char** argv) {
  // As in the storage manager: connection threads never run an event loop.
  qputenv("QT_NO_GLIB", "1");
  qputenv("QT_ENABLE_REGEXP_JIT", "0");

  // Beside the executable, or where systemd's ConfigurationDirectory= puts it.
  QString config =
      ProcessFolders::find(executableDir()).configurationFile(QStringLiteral("zarvo-suite.cfg"));
  for (int i = 1; i + 1 < argc; ++i) {
    if (QByteArray(argv[i]) == "--config")
      config = QFileInfo(QString::fromLocal8Bit(argv[i + 1])).absoluteFilePath();
  }
  // A missing configuration is no error: the embedded default fleet runs, on a port of the
  // system's choosing, with the suite as its own naming service.
  QByteArray bytes = "<SuiteConfig/>";
  if (QFile file(config); file.open(QIODevice::ReadOnly)) bytes = file.readAll();
  suite::FleetSetup setup;
  QString error;
  if (!suite::parseFleet(bytes, &setup, &error)) {
    std::fprintf(stderr, "zarvo-suite: %s: %s\n", qPrintable(config), qPrintable(error));
    return 2;
  }

  // The process's one client: the application made below reaches other processes through it,
  // and the traps go out through it (it asks the naming service through the application, where
  // the suite's own naming service lives).
  OrxServiceClient& client = *OrxServiceClient::instance();
  auto forwarder = std::make_unique<suite::TrapForwarder>([&client](const suite::DeviceTrap& trap) {
    suite::TrapForwarder::deliverSNMPTrap(client, trap);
  });
  // A relative files folder is taken from the configuration's folder, or from the state folder
  // under systemd (the configuration's is read-only there).
  const QString fleetBase = ProcessFolders::find(QFileInfo(config).absolutePath()).working;
  suite::Fleet fleet(setup, fleetBase, forwarder.get());
  auto app = std::make_unique<SuiteApplication>(argc, argv, config, fleet);
  app->registerServiceFactory(QStringLiteral("NS"),
                              new Zarvo::ServiceFactory<suite::NamingService>());
  app->registerServiceFactory(QStringLiteral("SNMP"),
                              new suite::FleetServiceFactory<suite::SnmpService>(fleet));
  app->registerServiceFactory(
      QStringLiteral("DMS"), new suite::FleetServiceFactory<suite::DeviceManagementService>(fleet));
  app->registerServiceFactory(QStringLiteral("SIM"),
                              new suite::FleetServiceFactory<suite::FleetControlService>(fleet));
  const int code = app->exec();
  // Devices first (no new traps), then the trap lanes, while the application still exists.
  fleet.stop();
  forwarder.reset();
  app.reset();
  return code;
}
