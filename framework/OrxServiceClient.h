// The client side of service discovery: OrxServiceClient asks the suite's naming service which
// URL answers a command, remembers the answer, and carries one request packet to that URL over
// HTTP, trying again (and asking afresh) when the service cannot be reached. It is the production
// ServiceClient behind the application; a process has one (instance()), made when the
// application is built, and tests build their own.
//
// Every exchange runs on the calling thread with a blocking socket of its own, so it works on
// connection and job threads that have no event loop. Every wait is bounded, and so is what a
// peer may send back: a response head past the parser's limits, a body past the cap or a
// response that trickles in past the total read time all end the exchange with
// CommunicationError. The pause between two attempts ends at once when the calling
// Zarvo::Thread is asked to stop.
//
// Callers normally use ServiceClient::callService; call() turns the
// exceptions here into response packets with result codes.
#pragma once

#include <QByteArray>
#include <QString>
#include <QUrl>
#include <atomic>
#include <chrono>
#include <exception>
#include <functional>
#include <map>
#include <mutex>

#include "framework/ServiceClient.h"
#include "http/HTTPParser.h"
#include "http/TimeLimits.h"

namespace Zarvo {

class StopToken;

class OrxServiceClient : public Zarvo::ServiceClient {
 public:
  // No TCP connection within the connect limit (or the host cannot be resolved).
  class ConnectionError : public std::exception {
   public:
    const char* what() const noexcept override { return "connection to service failed"; }
  };
  // The naming service gave no URL for the command.
  class UnknownCommand : public std::exception {
   public:
    const char* what() const noexcept override { return "no service for command"; }
  };
  // A write or read of the exchange failed, timed out, or the response broke a limit.
  class CommunicationError : public std::exception {
   public:
    const char* what() const noexcept override { return "communication with service failed"; }
  };

  // Time limits and size caps of one exchange, and the pause between two attempts. The defaults
  // are the production values; tests pass shorter ones in.
  struct Limits {
    std::chrono::milliseconds connectWait = Zarvo::limits::kServiceConnect;
    // Each wait for the socket to take more bytes.
    std::chrono::milliseconds writeWait = Zarvo::limits::kWriteWait;
    std::chrono::milliseconds readWait = Zarvo::limits::kClientReadWait;  // each wait for bytes
    // The whole response, head and body: a peer sending a byte now and then cannot hold the
    // calling thread for longer than this.
    std::chrono::milliseconds readTotal = Zarvo::limits::kClientReadTotal;
    qint64 maxBody = 64 * 1024 * 1024;  // bytes; a larger announced body is refused unread
    HTTPParser::Limits head;            // the same caps our server applies to request heads
    std::chrono::milliseconds retryDelay = Zarvo::limits::kRetryPause;
  };

  static constexpr int kAttempts = 5;

  // The process's client, created on first use; never destroyed before exit. Only the code that
  // wires a process together asks for it (the application's constructor, a program's main);
  // everything else is handed the client it uses.
  static OrxServiceClient* instance();

  OrxServiceClient();  // the production limits
  explicit OrxServiceClient(const Limits& limits);
  OrxServiceClient(const OrxServiceClient&) = delete;
  OrxServiceClient& operator=(const OrxServiceClient&) = delete;

  // The request's bytes to the service of its command (SendRequest), the three exceptions
  // turned into results 1, 2 and 6, and a request that cannot be written into result 3.
  [[nodiscard]] Answer call(Zarvo::Packet& request, bool wait) override;

  void setNamingServiceUrl(const QUrl& url) override;
  [[nodiscard]] QUrl namingServiceUrl() const;

  // The client "NSFindService" is sent through; null (the default) for this one. The application
  // puts itself here, so that a naming service living in the same process is asked without the
  // network. Whoever sets it clears it before the other client goes away.
  void setNamingClient(Zarvo::ServiceClient* client);

  // The URL of the service answering `command`: the naming service's own URL for its commands,
  // else the cached answer unless `refresh`, else a fresh "NSFindService" answer (then cached).
  // Throws UnknownCommand when the naming service cannot be asked or names no URL.
  [[nodiscard]] QUrl findServiceUrl(const QString& command, bool refresh);

  // Sends `bytes` to the service of `command`, up to kAttempts times while the service cannot be
  // found or reached, pausing retryDelay between attempts. Returns the response body, or empty
  // bytes when not waiting for one. Throws ConnectionError or UnknownCommand after the last
  // attempt, CommunicationError at once (a request that may have been taken is not repeated).
  // A stop of the calling Zarvo::Thread ends a pause at once and throws the last attempt's error.
  [[nodiscard]] QByteArray SendRequest(const QByteArray& bytes, const QString& command, bool wait);

  // One HTTP exchange: "GET <command>" with the bytes as body, then, when waiting, the response
  // head and its "Content-Length" bytes. A response without that field gives empty bytes.
  [[nodiscard]] QByteArray exchange(const QByteArray& bytes, const QUrl& url,
                                    const QString& command, bool wait);

  [[nodiscard]] Limits limits() const;
  void setLimits(const Limits& limits);

  // How the client pauses between attempts: waits `delay` and returns true when `stop` ended the
  // pause early. The default sleeps on the token; tests put in a clock of their own so the
  // production pause can be checked without sitting it out.
  using Pause = std::function<bool(std::chrono::milliseconds delay, const Zarvo::StopToken& stop)>;
  void setPause(Pause pause);

  // Connections tried so far by this process (one per exchange), for diagnostics and tests.
  [[nodiscard]] quint64 connectionAttempts() const { return connectionAttempts_.load(); }

 private:
  mutable std::mutex mutex_;  // guards the fields below
  QUrl namingServiceUrl_;
  Zarvo::ServiceClient* namingClient_ = nullptr;
  std::map<QString, QString> cache_;  // command -> service URL; only grows
  Limits limits_;
  Pause pause_;  // empty: the stop token's own sleep
  std::atomic<quint64> connectionAttempts_{0};
};

// The dotted IPv4 address of the local interface through which `host` (dotted IPv4 text) is
// reached, as the kernel's routing picks it; "" when the host is not an address or has no route.
[[nodiscard]] QString localAddressFor(const QString& host);

}  // namespace Zarvo
