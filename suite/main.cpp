// zarvo-suite: the programs around the storage manager in one process, on the project's own
// framework: the naming service, the SNMP and device management services, and the simulated
// printer fleet they front. Run it as "zarvo-suite -exec [--config FILE]"; the configuration
// (default: zarvo-suite.cfg beside the executable) holds the usual "ServiceURL", the SNMP
// service's elements (SnmpConfig.h) and, in its "Fleet" element, the devices. Without
// "DispatcherURL" the suite is its own naming service.
//
// SNMP runs over UDP unless the fleet says snmp="memory": the printers answer as SNMP agents on
// their own addresses, the SNMP service walks and sets their tables with net-snmp, and their
// traps come back to the trap port. All of it shares one SnmpEngine thread.
#include <sys/resource.h>

#include <QCoreApplication>
#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QTcpServer>
#include <QUrl>
#include <cstdio>
#include <memory>

#include "framework/Application.h"
#include "framework/Log.h"
#include "framework/OrxServiceClient.h"
#include "framework/ProcessFolders.h"
#include "suite/Fleet.h"
#include "suite/PrinterAgent.h"
#include "suite/SnmpConfig.h"
#include "suite/SnmpEngine.h"
#include "suite/SuiteServices.h"
#include "suite/TrapReceiver.h"

namespace suite = Zarvo::suite;
namespace snmp = Zarvo::suite::snmp;
using Zarvo::OrxServiceClient;
using Zarvo::ProcessFolders;

namespace {

QString executableDir() {
  return QFileInfo(QFile::symLinkTarget(QStringLiteral("/proc/self/exe"))).absolutePath();
}

// The MIB beside the executable (the build tree's bin/mibs), else where the package installs it.
QString defaultMibDirectory() {
  const QDir beside(QDir(executableDir()).filePath(QStringLiteral("mibs")));
  return beside.exists() ? beside.path() : QStringLiteral(ZARVO_INSTALLED_MIB_DIR);
}

// Descriptors a fleet needs at most: a print port, a web port and an SNMP socket per device, a
// connection per pool thread, and the suite's own.
rlim_t descriptorsNeeded(const suite::FleetSetup& setup) {
  return rlim_t(setup.devices.size()) * 3 + rlim_t(setup.connectionThreads) + 256;
}

// Raises the open-files limit to what the system allows; says so on "err" when even that is
// too low for the fleet (the suite still starts: a small test of a big fleet is allowed to fail).
void raiseDescriptorLimit(rlim_t needed) {
  rlimit limit{};
  if (::getrlimit(RLIMIT_NOFILE, &limit) != 0) return;
  if (limit.rlim_cur < limit.rlim_max) {
    limit.rlim_cur = limit.rlim_max;
    ::setrlimit(RLIMIT_NOFILE, &limit);
    ::getrlimit(RLIMIT_NOFILE, &limit);
  }
  if (limit.rlim_cur < needed) {
    ZLOG("err") << "Open files: the limit is " << qint64(limit.rlim_cur) << " (hard "
                << qint64(limit.rlim_max) << "), the fleet needs about " << qint64(needed)
                << "; raise it (ulimit -Hn) or run fewer devices";
  }
}

// Everything the suite runs beside the framework's services, in the order it must start and
// stop: the SNMP loop first and last, the trap port before the printers (they send to it).
struct SuiteRuntime {
  suite::FleetSetup fleetSetup;
  suite::SnmpSetup snmpSetup;
  QString configDir;
  QString filesBase;  // a relative filesDir is taken from here

  std::unique_ptr<snmp::SnmpEngine> engine;
  std::unique_ptr<snmp::SnmpMib> mib;
  std::unique_ptr<snmp::PrinterSnmpContext> printers;
  std::unique_ptr<snmp::SnmpClient> client;
  std::unique_ptr<suite::TrapForwarder> forwarder;
  std::unique_ptr<suite::Fleet> fleet;
  std::unique_ptr<snmp::TrapReceiver> receiver;
  std::unique_ptr<suite::SnmpBackend> backend;

  // Loads the MIB and wires the parts; false with `error` when the MIB cannot be read.
  bool build(OrxServiceClient& orx, QString* error) {
    forwarder = std::make_unique<suite::TrapForwarder>([&orx](const suite::DeviceTrap& trap) {
      suite::TrapForwarder::deliverSNMPTrap(orx, trap);
    });
    if (fleetSetup.snmp == suite::SnmpMode::Memory) {
      fleet = std::make_unique<suite::Fleet>(fleetSetup, filesBase, forwarder.get());
      backend = std::make_unique<suite::MemoryBackend>(*fleet);
      return true;
    }
    const QString mibDir = snmpSetup.mibDirectory.isEmpty()
                               ? defaultMibDirectory()
                               : QDir(configDir).absoluteFilePath(snmpSetup.mibDirectory);
    mib = snmp::SnmpMib::load(mibDir, QStringLiteral("ZARVO-STORAGE-MIB"), fleetSetup.enterpriseArc,
                              error);
    if (!mib) return false;
    for (const snmp::MibTable& map : snmpSetup.tableMaps) mib->addTable(map);
    const auto layout = snmp::PrinterLayout::fromMib(*mib, error);
    if (!layout) return false;
    engine = std::make_unique<snmp::SnmpEngine>();
    printers.reset(
        new snmp::PrinterSnmpContext{*engine, *layout, snmpSetup.privacy, {snmpSetup.trapPort}});
    snmp::SnmpLimits limits;
    limits.timeout = snmpSetup.timeout;
    limits.retries = snmpSetup.retries;
    limits.maxRows = snmpSetup.walkRows;
    limits.walkTime = snmpSetup.walkTime;
    limits.maxRepetitions = snmpSetup.bulkRows;
    client = std::make_unique<snmp::SnmpClient>(*engine, limits);
    fleet = std::make_unique<suite::Fleet>(fleetSetup, filesBase, forwarder.get(),
                                           suite::DeviceLimits(), printers.get());
    receiver = std::make_unique<snmp::TrapReceiver>(
        *engine, [this](const QString& address) { return fleet->isDevice(address); }, *forwarder);
    backend = std::make_unique<suite::WireBackend>(*client, *mib, *fleet, snmpSetup.privacy);
    return true;
  }

  bool start(const QString& serviceHost, QString* error) {
    if (receiver) {
      QString address = snmpSetup.trapAddress;
      if (address.isEmpty()) {
        address = serviceHost.count('.') == 3 ? serviceHost : QStringLiteral("0.0.0.0");
      }
      if (!receiver->start(address, snmpSetup.trapPort, error)) return false;
      printers->trapPort = receiver->port();
      ZLOG("info") << "Trap receiver on " << address << ":" << receiver->port();
    }
    return fleet->start(error);
  }

  // Printers first (no new traps), then the trap port and the delivery threads, while the
  // application still exists; the SNMP loop goes with the runtime.
  void stop() {
    if (fleet) fleet->stop();
    if (receiver) receiver->stop();
    forwarder.reset();
  }
};

class SuiteApplication : public Zarvo::Application {
 public:
  SuiteApplication(int argc, char** argv, const QString& config, SuiteRuntime& runtime)
      : Application(argc, argv, QStringLiteral("zarvo-suite"), config), runtime_(runtime) {}

  void start() override {
    Application::start();
    if (!listener() || !listener()->isListening()) return;  // start already told the loop to quit
    // The naming service lives here: with no other one configured, register with ourselves. The
    // call is dispatched inside the process, so the main thread never waits on its own port.
    if (namingServiceUrl().isEmpty()) registerInNamingService(serviceUrl());
    QString error;
    if (!runtime_.start(QUrl(serviceUrl()).host(), &error)) {
      ZLOG("err") << "Fleet not started: " << error;
      QCoreApplication::exit(3);
      return;
    }
    const suite::Fleet& fleet = *runtime_.fleet;
    for (const auto& d : fleet.devices()) {
      ZLOG("info") << "Device " << d->setup().id << " \"" << d->setup().name << "\" on "
                   << d->address() << " print port " << d->printPort() << " web port "
                   << d->webPort() << " SNMP port " << d->snmpPort()
                   << (d->printPort() == 0 ? " (refusing)" : "");
    }
    for (const suite::DeviceSetup& s : fleet.setups()) {
      if (!s.simulated) {
        ZLOG("info") << "Printer " << s.id << " \"" << s.name << "\" at " << s.address
                     << " SNMP port " << s.snmpPort << " (real)";
      }
    }
    ZLOG("info") << "Fleet ready (" << qint64(fleet.devices().size()) << " devices, SNMP "
                 << (fleet.snmpOverUdp() ? "over UDP" : "in memory") << "), stored files under "
                 << fleet.filesDir();
  }

 private:
  SuiteRuntime& runtime_;
};

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
  SuiteRuntime runtime;
  runtime.configDir = QFileInfo(config).absolutePath();
  // The configuration's folder, or the state folder under systemd (the configuration's is
  // read-only there).
  runtime.filesBase = ProcessFolders::find(runtime.configDir).working;
  QString error;
  if (!suite::parseFleet(bytes, &runtime.fleetSetup, &error)) {
    std::fprintf(stderr, "zarvo-suite: %s: %s\n", qPrintable(config), qPrintable(error));
    return 2;
  }
  runtime.snmpSetup = suite::parseSnmpSetup(bytes);
  raiseDescriptorLimit(descriptorsNeeded(runtime.fleetSetup));

  // The process's one client: the application made below reaches other processes through it,
  // and the traps go out through it (it asks the naming service through the application, where
  // the suite's own naming service lives).
  OrxServiceClient& client = *OrxServiceClient::instance();
  if (!runtime.build(client, &error)) {
    std::fprintf(stderr, "zarvo-suite: %s\n", qPrintable(error));
    return 2;
  }
  auto app = std::make_unique<SuiteApplication>(argc, argv, config, runtime);
  app->registerServiceFactory(QStringLiteral("NS"),
                              new Zarvo::ServiceFactory<suite::NamingService>());
  app->registerServiceFactory(QStringLiteral("SNMP"),
                              new suite::SnmpServiceFactory(*runtime.backend));
  app->registerServiceFactory(
      QStringLiteral("DMS"),
      new suite::FleetServiceFactory<suite::DeviceManagementService>(*runtime.fleet));
  app->registerServiceFactory(
      QStringLiteral("SIM"),
      new suite::FleetServiceFactory<suite::FleetControlService>(*runtime.fleet));
  const int code = app->exec();
  runtime.stop();
  app.reset();
  return code;
}
