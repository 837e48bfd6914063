// The host application: makes the process a host of services. It holds the services by name,
// knows which service answers which command, reads the configuration file, opens the HTTP
// listener, announces the process to the naming service, and takes everything down in order.
#pragma once

#include <QCoreApplication>
#include <QEvent>
#include <QObject>
#include <QStringList>
#include <QUrl>
#include <atomic>
#include <map>
#include <memory>
#include <mutex>
#include <vector>

#include "framework/ClientAllowList.h"
#include "framework/Configuration.h"
#include "framework/ConnectionThreads.h"
#include "framework/Packet.h"
#include "framework/Service.h"
#include "framework/ServiceClient.h"
#include "http/Listener.h"
#include "http/TimeLimits.h"
#include "service/QtService.h"

class QTcpServer;

namespace Zarvo {

class NamingWatch;
class OrxServiceClient;

class ThreadGroup;

// Posted to the application to restart one service (stop, destroy, create, start).
class RestartServiceEvent : public QEvent {
 public:
  static constexpr QEvent::Type kType = QEvent::Type(1001);
  explicit RestartServiceEvent(QString serviceName)
      : QEvent(kType), serviceName_(std::move(serviceName)) {}
  const QString& serviceName() const { return serviceName_; }

 private:
  QString serviceName_;
};

// The application is also the ServiceClient its services are handed: a request goes to a
// service of this process when one has the command, else out through the client it was given.
class Application : public QtService<QCoreApplication>,
                    public QObject,
                    public RequestDispatcher,
                    public ServiceClient {
 public:
  struct ServiceStatusInfo {
    std::unique_ptr<ServiceFactoryBase> factory;
    // The live instance or null. Dispatch holds a copy for the whole call, so a request that
    // races a stop never touches a destroyed service.
    std::shared_ptr<Service> service() const;
    void setService(std::shared_ptr<Service> s);

   private:
    mutable std::mutex mutex_;
    std::shared_ptr<Service> service_;
  };
  using ServiceInfoPtr = std::shared_ptr<ServiceStatusInfo>;
  using CommandMap = std::map<QString, ServiceInfoPtr>;

  // Reaches other processes through the process's OrxServiceClient, whose naming queries then
  // try this process first.
  Application(int argc, char** argv, const QString& serviceName, const QString& configFileName);
  // Reaches other processes through `remote`, which must outlive the application (tests).
  Application(int argc, char** argv, const QString& serviceName, const QString& configFileName,
              ServiceClient& remote);
  ~Application() override;

  // Ends the event loop from any thread, as QCoreApplication::quit() would on the main thread.
  // The request travels as an event handed over under our own lock, so the hand-over is visible
  // to the thread sanitizer (Qt's own queue lock is not).
  void requestQuit();

  // Takes ownership of the factory; the service is instantiated at start.
  void registerServiceFactory(const QString& serviceName, ServiceFactoryBase* factory);

  void start() override;
  void stop() override;
  // Runs the event loop, then the orderly stop if nothing ran it yet (a quit from
  // "MGMTCloseApplication" or a signal still stops the services last-registered first).
  int runApplication() override;

  void createServices();
  void startService(const QString& name);
  void stopService(const QString& name);

  // In-process dispatch: null when no service has the packet's command.
  PacketPtr processPacket(Packet& request);

  // A service of this process answers when one has the command (and gives a packet); otherwise
  // the remote client carries the request.
  [[nodiscard]] Answer call(Packet& request, bool wait) override;
  // Passed on to the remote client (namingServiceUrl() stays what the configuration said).
  void setNamingServiceUrl(const QUrl& url) override;

  // Dispatch of request bytes. A command no service registered is answered with result 2; a
  // command whose service has no live instance with result 5.
  PacketPtr processRequest(const QString& command, const QByteArray& body);
  // The same for a request from the network peer `caller`, whom the service may refuse.
  PacketPtr processRequest(const QString& command, const QByteArray& body,
                           const QHostAddress& caller);
  // The listener's side of the same: processRequest written as response bytes (a response
  // that cannot be written becomes result -1 with the reason). Never throws.
  QByteArray answerRequest(const QString& command, const QByteArray& body,
                           const QHostAddress& peer) override;

  // An immutable snapshot of the command map; safe to read on any thread without the
  // application mutex (which stopService holds while requests finish).
  std::shared_ptr<const CommandMap> commandMap() const;

  QUrl serviceUrl() const;
  QUrl namingServiceUrl() const;
  // What start() read from the configuration file, before it created the services (which take
  // their part of it from here); the defaults before start() and without a file.
  const Configuration& configuration() const { return configuration_; }
  ThreadGroup* threadGroup() const { return threadGroup_.get(); }
  QTcpServer* listener() const { return listener_; }

  // Registration in the naming service at start; true when registered.
  bool registerInNamingService(const QUrl& namingServiceUrl);

  // Time for pending events between two service stops.
  void setStopEventWindow(int ms) { stopEventWindowMs_ = ms; }
  // Waits and bounds of the HTTP connections (defaults: 30000 ms each, 1024 connections, 64 MiB
  // of bodies); set before start. A configuration file's MaxConnections and MaxBodiesInFlight
  // replace the two bounds.
  void setConnectionLimits(const ConnectionLimits& limits) { connectionLimits_ = limits; }
  // How many finished connection threads wait for the next connection, and for how long; set
  // before start.
  void setConnectionThreadLimits(const ConnectionThreads::Limits& limits) {
    connectionThreadLimits_ = limits;
  }
  // Time between two checks that the naming service still names this process (default: the
  // configuration's RegistrationInterval, 30 s); set before start.
  void setRegistrationInterval(std::chrono::milliseconds interval) {
    registrationInterval_ = interval;
  }
  // The process's exit code when it cannot listen.
  static constexpr int kListenFailedExitCode = 1;

 protected:
  void customEvent(QEvent* event) override;

 private:
  void updateCommandMap();  // callers hold mutex_
  // Owns a new service: the last reference is released on the main thread, wherever it is
  // dropped (a dispatch that lost the race with a stop must not destroy the service on a
  // connection thread).
  std::shared_ptr<Service> adoptService(Service* service);
  // Deletes the services queued by adoptService's deleter; main thread only.
  void deleteReleasedServices();
  // Both processRequest: `caller` null for a request made in this process.
  PacketPtr dispatchRequest(const QString& command, const QByteArray& body,
                            const QHostAddress* caller);
  void readConfiguration(const QString& path);
  bool openListener();
  // Where ServiceURL says to listen: its host (0.0.0.0 for every IPv4 address), or 127.0.0.1
  // when the port is the system's choice. False, logged, when the host has no IPv4 address.
  bool listenAddress(QHostAddress* address) const;
  // Starts the watch that registers the process again when the naming service forgot it.
  void watchNamingService();
  // The command whose URL tells whether the naming service still knows this process: the first
  // one not of "MGMT" (every process answers the management commands, so the naming service
  // names any of them for those); empty when there is none.
  QString probeCommand() const;

  // Lock order: mutex_ before a ServiceStatusInfo's own mutex before snapshotMutex_;
  // releasedMutex_ is taken with none of them held. mutex_ is held while a service's stop()
  // waits for its requests in progress, so nothing a request does may take mutex_ (dispatch
  // reads the snapshot and the records only). No service is destroyed while any of these is
  // held: its destructor waits for its threads, and they may still dispatch through us.

  QUrl serviceUrl_;
  QUrl namingServiceUrl_;
  // Whom the listener serves: AllowedClients, or this machine and the hosts of DispatcherURL and
  // ServiceURL. Made at start.
  std::unique_ptr<ClientAllowList> clientAllowList_;
  Ipv4RangeList managers_;  // may close the process over the network, besides this machine
  std::map<QString, ServiceInfoPtr> services_;
  CommandMap commands_;  // written under mutex_, published as a snapshot
  QStringList serviceNames_;
  mutable std::mutex mutex_;  // services_, commands_, serviceNames_
  QString configFileName_;
  Configuration configuration_;
  std::unique_ptr<ThreadGroup> threadGroup_;

  mutable std::mutex snapshotMutex_;  // snapshot_
  std::shared_ptr<const CommandMap> snapshot_;
  QTcpServer* listener_ = nullptr;  // child of the core application
  std::atomic<bool> stopped_{false};
  bool xmlInitialised_ = false;
  int stopEventWindowMs_ = int(limits::kStopEventWindow.count());
  ConnectionLimits connectionLimits_;
  ConnectionThreads::Limits connectionThreadLimits_;
  std::unique_ptr<ConnectionThreads> connectionThreads_;  // outlives threadGroup_'s members
  std::chrono::milliseconds registrationInterval_{30'000};
  std::unique_ptr<NamingWatch> namingWatch_;
  std::mutex releasedMutex_;        // released_, and the hand-over of posted events
  std::vector<Service*> released_;  // last references dropped off the main thread

  ServiceClient& remote_;                       // other processes
  OrxServiceClient* namingClientOf_ = nullptr;  // the client whose naming queries come through us
};

}  // namespace Zarvo
