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

#include "framework/Packet.h"
#include "framework/Service.h"
#include "http/Listener.h"
#include "http/TimeLimits.h"
#include "service/QtService.h"

class QTcpServer;

namespace Zarvo {

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

// Values read from the configuration file; empty when absent or unreadable.
struct ApplicationConfig {
  QString dispatcherUrl;  // taken only when exactly one element has the name
  QString name;           // the first element of the name
  QString serviceUrl;     // taken only when exactly one element has the name
  bool read = false;      // the file existed and was well-formed
  QString error;          // why it could not be read

  static ApplicationConfig fromFile(const QString& path);
  static ApplicationConfig fromBytes(const QByteArray& bytes);
};

class Application : public QtService<QCoreApplication>, public QObject, public RequestDispatcher {
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

  Application(int argc, char** argv, const QString& serviceName, const QString& configFileName);
  ~Application() override;

  // The process-wide application, or null before construction.
  static Application* instance();

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

  // Sends a request to the service answering its command, a service of this process first;
  // defined in framework/CallService.h. Returns a new response owned by the caller, or null.
  template <class Response>
  static std::unique_ptr<Response> callService(Packet& request, bool wait);

  // Dispatch for the HTTP transport. A command no service registered is answered with
  // result 2; a command whose service has no live instance with result 5.
  PacketPtr processRequest(const QString& command, const QByteArray& body);
  // The listener's side of the same: processRequest written as response bytes (a response
  // that cannot be written becomes result -1 with the reason). Never throws.
  QByteArray answerRequest(const QString& command, const QByteArray& body) override;

  // An immutable snapshot of the command map; safe to read on any thread without the
  // application mutex (which stopService holds while requests finish).
  std::shared_ptr<const CommandMap> commandMap() const;

  QUrl serviceUrl() const;
  QUrl namingServiceUrl() const;
  ThreadGroup* threadGroup() const { return threadGroup_.get(); }
  QTcpServer* listener() const { return listener_; }

  // Registration in the naming service at start; true when registered.
  bool registerInNamingService(const QUrl& namingServiceUrl);

  // Time for pending events between two service stops.
  void setStopEventWindow(int ms) { stopEventWindowMs_ = ms; }
  // Waits of the HTTP connections (defaults: 30000 ms each); set before start.
  void setConnectionLimits(const ConnectionLimits& limits) { connectionLimits_ = limits; }

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
  void readConfiguration();
  bool openListener();

  QUrl serviceUrl_;
  QUrl namingServiceUrl_;
  std::map<QString, ServiceInfoPtr> services_;
  CommandMap commands_;  // written under mutex_, published as a snapshot
  QStringList serviceNames_;
  mutable std::mutex mutex_;
  QString configFileName_;
  std::unique_ptr<ThreadGroup> threadGroup_;

  mutable std::mutex snapshotMutex_;
  std::shared_ptr<const CommandMap> snapshot_;
  QTcpServer* listener_ = nullptr;  // child of the core application
  std::atomic<bool> stopped_{false};
  bool xmlInitialised_ = false;
  int stopEventWindowMs_ = int(limits::kStopEventWindow.count());
  ConnectionLimits connectionLimits_;
  std::mutex releasedMutex_;
  std::vector<Service*> released_;  // last references dropped off the main thread
};

}  // namespace Zarvo
