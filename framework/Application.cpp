#include "framework/Application.h"

#include <QDir>
#include <QStringEncoder>
#include <QTcpServer>
#include <QThread>
#include <cstdlib>
#include <utility>
#include <xalanc/XalanTransformer/XalanTransformer.hpp>
#include <xercesc/util/PlatformUtils.hpp>

#include "framework/Log.h"
#include "framework/ManagementService.h"
#include "framework/NamingWatch.h"
#include "framework/OrxServiceClient.h"
#include "framework/ProcessFolders.h"
#include "framework/Thread.h"
#include "http/Listener.h"

namespace Zarvo {

namespace {
std::atomic<Application*> gInstance{nullptr};

// Runs before the shell base is built (which would assert on a second service object): a second
// application ends the process with -1 and one clear line.
const QString& singleInstanceGuard(const QString& serviceName) {
  setupLogging();
  if (gInstance.load() != nullptr) {
    ZLOG("err") << "Only single instance of Application object allowed.";
    std::exit(-1);
  }
  return serviceName;
}

// Posted when a service's last reference was dropped off the main thread.
constexpr QEvent::Type kReleasedServicesEvent = QEvent::Type(1003);
// Posted by requestQuit().
const QEvent::Type kQuitEvent = QEvent::Type(QEvent::registerEventType());

// The document of a service that returned no packet: UTF-16LE without byte-order mark.
QByteArray emptyResponseDocument() {
  static const QByteArray bytes = [] {
    QStringEncoder toUtf16Le(QStringConverter::Utf16LE);
    return QByteArray(toUtf16Le(QStringLiteral(
        "<?xml version=\"1.0\" encoding=\"UTF-16\" standalone=\"no\" ?><OrxResponse/>")));
  }();
  return bytes;
}
}  // namespace

std::shared_ptr<Service> Application::ServiceStatusInfo::service() const {
  std::lock_guard<std::mutex> lock(mutex_);
  return service_;
}

void Application::ServiceStatusInfo::setService(std::shared_ptr<Service> s) {
  std::shared_ptr<Service> old;
  {
    std::lock_guard<std::mutex> lock(mutex_);
    old = std::exchange(service_, std::move(s));
  }
  // Released without the lock: a last reference destroys the service, which waits for its
  // threads, and they may be reading this record to dispatch.
}

Application::Application(int argc, char** argv, const QString& serviceName,
                         const QString& configFileName)
    : Application(argc, argv, serviceName, configFileName, *OrxServiceClient::instance()) {
  // The process's client asks the naming service through us: the suite's own naming service
  // lives in this process.
  namingClientOf_ = static_cast<OrxServiceClient*>(&remote_);
  namingClientOf_->setNamingClient(this);
}

Application::Application(int argc, char** argv, const QString& serviceName,
                         const QString& configFileName, ServiceClient& remote)
    : QtService<QCoreApplication>(argc, argv, singleInstanceGuard(serviceName)),
      configFileName_(configFileName),
      remote_(remote) {
  Application* expected = nullptr;
  if (!gInstance.compare_exchange_strong(expected, this)) {
    ZLOG("err") << "Only single instance of Application object allowed.";
    std::exit(-1);
  }
  registerServiceFactory(QStringLiteral("MGMT"), new ServiceFactoryFunction([this] {
                           return new ManagementService([this] { requestQuit(); }, managers_);
                         }));
  threadGroup_ = std::make_unique<ThreadGroup>();
}

Application::~Application() {
  namingWatch_.reset();  // before anything it calls into goes
  if (namingClientOf_) namingClientOf_->setNamingClient(nullptr);
  threadGroup_.reset();  // stops and joins every connection thread
  connectionThreads_.reset();
  std::vector<std::shared_ptr<Service>> services;
  {
    std::lock_guard<std::mutex> lock(mutex_);
    for (auto& entry : services_) {
      services.push_back(entry.second->service());
      entry.second->setService(nullptr);
    }
  }
  services.clear();          // destroyed without our locks (see the lock order)
  deleteReleasedServices();  // whatever connections released after the last pass of the loop
  if (xmlInitialised_) {
    xalanc::XalanTransformer::terminate();
    xercesc::XMLPlatformUtils::Terminate();
  }
  Application* self = this;
  gInstance.compare_exchange_strong(self, nullptr);
}

void Application::registerServiceFactory(const QString& serviceName, ServiceFactoryBase* factory) {
  std::lock_guard<std::mutex> lock(mutex_);
  auto& record = services_[serviceName];
  if (!record) {
    record = std::make_shared<ServiceStatusInfo>();
    serviceNames_ << serviceName;
  }
  record->factory.reset(factory);
}

void Application::start() {
  ZLOG("info") << "Zarvo Application started: " << serviceName().toUtf8();
  // The store, uploads and journals are kept relative to the working folder; a relative
  // configuration file name is found in the configuration folder. Both are the executable's
  // folder unless systemd (or the caller) names others.
  const ProcessFolders folders = ProcessFolders::find(QCoreApplication::applicationDirPath());
  if (!QDir::setCurrent(folders.working))
    ZLOG("err") << "Cannot make " << folders.working.toUtf8() << " the working folder";
  xercesc::XMLPlatformUtils::Initialize();
  xalanc::XalanTransformer::initialize();
  xmlInitialised_ = true;

  // Read before the services are made: they take their settings from it.
  if (!configFileName_.isEmpty()) readConfiguration(folders.configurationFile(configFileName_));
  // The suite's hosts are resolved once, here: a name that later resolves elsewhere does not
  // move who may talk to us.
  managers_ = loopbackAndHostsOf({namingServiceUrl_});
  clientAllowList_ = std::make_unique<ClientAllowList>(
      configuration_.allowedClients.value_or(loopbackAndHostsOf({namingServiceUrl_, serviceUrl_})));
  createServices();
  if (!openListener()) {
    // A process that cannot serve did not start: its exit code says so.
    QCoreApplication::exit(kListenFailedExitCode);
    return;
  }
  if (namingServiceUrl_.isValid() && !namingServiceUrl_.isEmpty()) {
    registerInNamingService(namingServiceUrl_);
    watchNamingService();
  }
  const QStringList names = [this] {
    std::lock_guard<std::mutex> lock(mutex_);
    return serviceNames_;
  }();
  for (const QString& name : names) startService(name);
}

void Application::readConfiguration(const QString& path) {
  configuration_ = Configuration::fromFile(path);
  if (!configuration_.read) {
    ZLOG("err") << "Configuration not read, " << configuration_.error;
    return;
  }
  namingServiceUrl_ = QUrl(configuration_.dispatcherUrl.trimmed());
  if (!configuration_.serviceUrl.isEmpty()) serviceUrl_ = QUrl(configuration_.serviceUrl.trimmed());
  connectionLimits_.maxConnections = configuration_.maxConnections;
  connectionLimits_.maxBodiesInFlight = configuration_.maxBodiesInFlight;
  registrationInterval_ = std::chrono::seconds(configuration_.registrationInterval);
}

void Application::watchNamingService() {
  namingWatch_ = std::make_unique<NamingWatch>(
      *this, serviceUrl_, [this] { return probeCommand(); },
      [this] { return registerInNamingService(namingServiceUrl_); }, registrationInterval_);
  if (!namingWatch_->start()) {
    ZLOG("err") << "Error starting the naming-service watch: the process is not registered "
                   "again should the naming service forget it";
    namingWatch_.reset();
  }
}

QString Application::probeCommand() const {
  const auto map = commandMap();
  std::shared_ptr<ServiceStatusInfo> management;
  {
    std::lock_guard<std::mutex> lock(mutex_);
    auto it = services_.find(QStringLiteral("MGMT"));
    if (it != services_.end()) management = it->second;
  }
  for (const auto& entry : *map) {
    if (entry.second != management) return entry.first;
  }
  return map->empty() ? QString() : map->begin()->first;
}

bool Application::listenAddress(QHostAddress* address) const {
  const bool fixedPort = serviceUrl_.isValid() && !serviceUrl_.isEmpty();
  const QString host = fixedPort ? serviceUrl_.host() : QString();
  if (host.isEmpty()) {
    *address = QHostAddress(QHostAddress::LocalHost);
  } else if (host == QLatin1String("0.0.0.0")) {
    *address = QHostAddress(QHostAddress::AnyIPv4);
  } else if (const auto resolved = resolveIpv4(host)) {
    *address = resolved->toHostAddress();
  } else {
    ZLOG("err") << "ServiceURL host " << host << " has no IPv4 address to listen on";
    return false;
  }
  return true;
}

bool Application::openListener() {
  const bool fixedPort = serviceUrl_.isValid() && !serviceUrl_.isEmpty();
  // A URL without a port means the HTTP default.
  const quint16 port = fixedPort ? quint16(serviceUrl_.port(80)) : 0;
  QHostAddress address;
  if (!listenAddress(&address)) {
    if (fixedPort) {
      ZLOG("err") << "Error listening port: " << port;
    } else {
      ZLOG("err") << "Error listening automatically bound port";
    }
    return false;
  }
  connectionThreads_ =
      std::make_unique<ConnectionThreads>(threadGroup_.get(), connectionThreadLimits_);
  auto starter = [threads = connectionThreads_.get()](std::function<void()> serve,
                                                      uint stackSize) {
    if (threads->run(std::move(serve), stackSize)) return true;
    ZLOG("err") << "Error starting a connection thread: the connection is closed";
    return false;
  };
  ClientAllowList* allowList = clientAllowList_.get();  // made by start(), lives as long as we do
  listener_ = createListener(
      *this, std::move(starter), QCoreApplication::instance(), address, port, connectionLimits_,
      [allowList](const QHostAddress& peer) { return allowList->admits(peer); });
  QObject::connect(listener_, &QTcpServer::acceptError, listener_,
                   [listener = listener_](QAbstractSocket::SocketError) {
                     ZLOG("err") << "Error accepting a connection: "
                                 << listener->errorString().toUtf8();
                   });
  ZLOG("info") << "Accepting connections from: " << allowList->allowed().toString();
  if (!listener_->isListening()) {
    if (fixedPort) {
      ZLOG("err") << "Error listening port: " << port;
    } else {
      ZLOG("err") << "Error listening automatically bound port";
    }
    ZLOG("err") << "Cannot listen on " << address.toString() << ":" << port << ": "
                << listener_->errorString().toUtf8();
    return false;
  }
  if (fixedPort) {
    ZLOG("info") << "Listening incomming requests on port: " << port;
    return true;
  }
  const quint16 bound = listener_->serverPort();
  ZLOG("info") << "Listening incomming requests on port: " << bound;
  // The address itself: a peer resolving "localhost" to ::1 would miss an IPv4 listener.
  serviceUrl_ = QUrl(QStringLiteral("http://127.0.0.1:%1/").arg(bound));
  return true;
}

void Application::stop() {
  if (stopped_.exchange(true)) return;  // runs once, whoever asks first
  namingWatch_.reset();  // no registration while the services go
  const QStringList names = [this] {
    std::lock_guard<std::mutex> lock(mutex_);
    return serviceNames_;
  }();
  for (auto it = names.crbegin(); it != names.crend(); ++it) {
    stopService(*it);
    QCoreApplication::processEvents(QEventLoop::AllEvents, stopEventWindowMs_);
  }
}

int Application::runApplication() {
  const int result = QtService<QCoreApplication>::runApplication();
  stop();
  return result;
}

void Application::createServices() {
  std::lock_guard<std::mutex> lock(mutex_);
  for (const QString& name : serviceNames_) {
    ServiceStatusInfo& record = *services_[name];
    if (!record.service()) record.setService(adoptService(record.factory->create()));
  }
  updateCommandMap();
}

void Application::startService(const QString& name) {
  std::shared_ptr<Service> service;
  {
    std::lock_guard<std::mutex> lock(mutex_);
    auto it = services_.find(name);
    if (it == services_.end()) return;
    service = it->second->service();
    if (!service) {
      service = adoptService(it->second->factory->create());
      it->second->setService(service);
      updateCommandMap();
    }
  }
  service->start();
}

void Application::stopService(const QString& name) {
  std::shared_ptr<Service> service;
  {
    std::lock_guard<std::mutex> lock(mutex_);
    auto it = services_.find(name);
    if (it == services_.end()) return;
    service = it->second->service();
    if (service) {
      service->stop();  // waits for the requests in progress
      it->second->setService(nullptr);
    }
    updateCommandMap();
  }
  service.reset();  // destroyed here unless a dispatch that lost the race still holds it
}

std::shared_ptr<Service> Application::adoptService(Service* service) {
  return std::shared_ptr<Service>(service, [this](Service* s) {
    if (QThread::currentThread() == thread()) {
      delete s;
      return;
    }
    // The list and a data-less event are handed over under releasedMutex_, which customEvent
    // takes before anything else: a lock the thread sanitizer sees (it does not see Qt's).
    // The destructor deletes what the loop did not.
    std::lock_guard<std::mutex> handover(releasedMutex_);
    released_.push_back(s);
    QCoreApplication::postEvent(this, new QEvent(kReleasedServicesEvent));
  });
}

void Application::requestQuit() {
  std::lock_guard<std::mutex> handover(releasedMutex_);  // see adoptService
  QCoreApplication::postEvent(this, new QEvent(kQuitEvent));
}

void Application::deleteReleasedServices() {
  std::vector<Service*> due;
  {
    std::lock_guard<std::mutex> lock(releasedMutex_);
    due.swap(released_);
  }
  for (Service* s : due) delete s;
}

void Application::updateCommandMap() {
  for (const auto& entry : services_) {
    const std::shared_ptr<Service> service = entry.second->service();
    if (!service) continue;
    for (const auto& handler : service->handlers()) commands_[handler.first] = entry.second;
  }
  auto snapshot = std::make_shared<const CommandMap>(commands_);
  std::lock_guard<std::mutex> lock(snapshotMutex_);
  snapshot_ = std::move(snapshot);
}

std::shared_ptr<const Application::CommandMap> Application::commandMap() const {
  std::lock_guard<std::mutex> lock(snapshotMutex_);
  return snapshot_ ? snapshot_ : std::make_shared<const CommandMap>();
}

PacketPtr Application::processPacket(Packet& request) {
  QString command;
  try {
    command = request.command();
  } catch (const WrongPacketFormat&) {
    return nullptr;
  }
  const auto map = commandMap();
  auto it = map->find(command);
  if (it == map->end()) return nullptr;
  const std::shared_ptr<Service> service = it->second->service();
  if (!service) return std::make_unique<ResponsePacket>(Failure::servicePaused());
  return service->processPacket(request);
}

ServiceClient::Answer Application::call(Packet& request, bool wait) {
  // A service of this process answers without touching the network.
  if (PacketPtr local = processPacket(request)) return {std::move(local), QByteArray()};
  return remote_.call(request, wait);
}

void Application::setNamingServiceUrl(const QUrl& url) { remote_.setNamingServiceUrl(url); }

PacketPtr Application::processRequest(const QString& command, const QByteArray& body) {
  return dispatchRequest(command, body, nullptr);
}

PacketPtr Application::processRequest(const QString& command, const QByteArray& body,
                                      const QHostAddress& caller) {
  return dispatchRequest(command, body, &caller);
}

PacketPtr Application::dispatchRequest(const QString& command, const QByteArray& body,
                                       const QHostAddress* caller) {
  const auto map = commandMap();
  auto it = map->find(command);
  if (it == map->end()) return std::make_unique<ResponsePacket>(Failure::cantHandle(command));
  const std::shared_ptr<Service> service = it->second->service();
  if (!service) return std::make_unique<ResponsePacket>(Failure::servicePaused());
  return caller ? service->processRequest(command, body, *caller)
                : service->processRequest(command, body);
}

QByteArray Application::answerRequest(const QString& command, const QByteArray& body,
                                      const QHostAddress& peer) {
  PacketPtr response;
  try {
    response = processRequest(command, body, peer);
  } catch (...) {
    response = std::make_unique<ResponsePacket>(Failure::handlerException());
  }
  if (!response) return emptyResponseDocument();
  QByteArray bytes;
  try {
    response->toByteArray(bytes);
  } catch (const WrongPacketFormat& e) {
    bytes.clear();
    // The packet's own reason says more than the generic text.
    ResponsePacket(int(ResultCode::kHandlerException), e.message()).toByteArray(bytes);
  } catch (...) {
    bytes.clear();
    ResponsePacket(Failure::handlerException()).toByteArray(bytes);
  }
  return bytes;
}

QUrl Application::serviceUrl() const { return serviceUrl_; }
QUrl Application::namingServiceUrl() const { return namingServiceUrl_; }

void Application::customEvent(QEvent* event) {
  { std::lock_guard<std::mutex> handover(releasedMutex_); }  // see adoptService
  if (event->type() == kReleasedServicesEvent) {
    deleteReleasedServices();
    return;
  }
  if (event->type() == kQuitEvent) {
    QCoreApplication::quit();
    return;
  }
  if (event->type() != RestartServiceEvent::kType) return;
  const QString name = static_cast<RestartServiceEvent*>(event)->serviceName();
  stopService(name);
  startService(name);
}

}  // namespace Zarvo
