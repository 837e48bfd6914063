// Services and command dispatch: a service answers a fixed set of commands, each bound to a
// member function with typed request and response packets. Every failure on the way to the
// handler becomes a response packet with a result code, so every request gets an answer.
#pragma once

#include <QHostAddress>
#include <QString>
#include <chrono>
#include <condition_variable>
#include <functional>
#include <map>
#include <memory>
#include <mutex>
#include <typeinfo>

#include "framework/Packet.h"
#include "framework/StopToken.h"
#include "http/TimeLimits.h"

namespace Zarvo {

// What a handler throws to end with a chosen result code and message.
class ZarvoException {
 public:
  ZarvoException(int code, QString message) : code_(code), message_(std::move(message)) {}
  int code() const { return code_; }
  const QString& message() const { return message_; }

 private:
  int code_;
  QString message_;
};

class CommandHandler {
 public:
  virtual ~CommandHandler() = default;
  // Each returns a new response packet, or null when the handler gave none.
  virtual PacketPtr handlePacket(Packet& request) = 0;
  virtual PacketPtr handleRequest(const QByteArray& bytes) = 0;
};

// Binds a command to `S::method(Request&)` returning a new Response.
template <class S, class Request, class Response>
class HandlerTmpl : public CommandHandler {
 public:
  using Method = std::unique_ptr<Response> (S::*)(Request&);

  HandlerTmpl(S* service, Method method) : service_(service), method_(method) {}

  PacketPtr handleRequest(const QByteArray& bytes) override {
    Request request;
    request.fromByteArray(bytes);  // WrongPacketFormat reaches the dispatcher: result 3
    return handlePacket(request);
  }

  PacketPtr handlePacket(Packet& packet) override {
    try {
      if (auto* typed = dynamic_cast<Request*>(&packet)) return (service_->*method_)(*typed);
      // A packet of another class made in the process: write it and read it back as Request.
      QByteArray bytes;
      packet.toByteArray(bytes);
      Request copy;
      copy.fromByteArray(bytes);
      return (service_->*method_)(copy);
    } catch (const ZarvoException& e) {
      auto response = std::make_unique<Response>();
      response->setResult(e.code(), e.message());
      return response;
    }
  }

 private:
  S* service_;
  Method method_;
};

class Service {
 public:
  using HandlerMap = std::map<QString, std::shared_ptr<CommandHandler>>;

  Service() = default;
  virtual ~Service() = default;
  Service(const Service&) = delete;
  Service& operator=(const Service&) = delete;

  // Called once the service is instantiated and the process registered; nothing by default.
  virtual void start() {}

  // Dispatch of one request; never null from the dispatch itself (a handler may return null).
  PacketPtr processRequest(const QString& command, const QByteArray& bytes);
  // The same for a request that came over the network from `caller`. A caller that
  // admitsCaller() refuses gets the answer for a command the service does not have (result 2),
  // so it learns nothing, and the refusal is logged on "warning".
  PacketPtr processRequest(const QString& command, const QByteArray& bytes,
                           const QHostAddress& caller);
  PacketPtr processPacket(Packet& packet);

  // Refuses new requests from now on and waits until none is in progress: without a time
  // limit, but ended at once by a stop of `token`. True when no request is in progress any
  // more, false when the stop ended the wait first.
  bool stop(const StopToken& token = StopToken());

  const HandlerMap& handlers() const { return handlers_; }
  int requestsInProgress() const;

  // Longest single wait of stop() between two looks at the count; the end of the last request
  // wakes it at once anyway.
  void setStopPollInterval(std::chrono::milliseconds interval) { stopPoll_ = interval; }

 protected:
  // Called once by stop() after new requests are refused and before it waits for those in
  // progress, without the service's lock. A service whose handlers can wait on its own background
  // work (a retry waiting for a running job) ends that work here, so the stop is not held up by
  // it. Nothing by default.
  virtual void aboutToStop() {}

  // Whether the network peer `caller` (null when the system could not name it) may use
  // `command`; every caller by default. Called on the connection's thread before the body is
  // read into its packet, without the service's lock, concurrently for several requests.
  virtual bool admitsCaller(const QString& command, const QHostAddress& caller) {
    (void)command;
    (void)caller;
    return true;
  }

  template <class S, class Request, class Response>
  void registerHandler(const QString& command, std::unique_ptr<Response> (S::*method)(Request&)) {
    handlers_[command] =
        std::make_shared<HandlerTmpl<S, Request, Response>>(static_cast<S*>(this), method);
  }

 private:
  template <class Call>
  PacketPtr dispatch(const QString& command, Call&& call);

  HandlerMap handlers_;  // filled by the derived constructor, read-only afterwards
  mutable std::mutex mutex_;
  std::condition_variable idle_;  // the last request in progress has ended, or a stop came
  int inProgress_ = 0;
  bool stopping_ = false;
  std::chrono::milliseconds stopPoll_ = limits::kServiceStopPoll;
};

class ServiceFactoryBase {
 public:
  virtual ~ServiceFactoryBase() = default;
  virtual Service* create() = 0;  // the caller owns the new service
};

template <class T>
class ServiceFactory : public ServiceFactoryBase {
 public:
  Service* create() override { return new T(); }
};

// Builds its service with a function: for services that are handed what they use.
//
//   app.registerServiceFactory("DSM", new ServiceFactoryFunction([&app] {
//     return new ZarvoPluginDSM(app);
//   }));
class ServiceFactoryFunction : public ServiceFactoryBase {
 public:
  explicit ServiceFactoryFunction(std::function<Service*()> make) : make_(std::move(make)) {}
  Service* create() override { return make_(); }

 private:
  std::function<Service*()> make_;
};

}  // namespace Zarvo
