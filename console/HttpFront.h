// HttpFront: the console's HTTP server, the only place that knows the HTTP library. It serves
// the page and its assets (compiled in as Qt resources), hands API requests to ConsoleApi,
// streams uploads into the upload directory, and carries live updates as server-sent events.
//
// Before any route runs, every request must name us in its Host header (RequestGuard), and a
// body may only be as large as its route takes: the upload up to the upload limit (plus its
// form's overhead), anything else up to Limits::jsonBody. Larger bodies are answered 413.
#pragma once

#include <QString>
#include <QtGlobal>
#include <chrono>
#include <memory>

namespace httplib {
class Server;
}  // namespace httplib

namespace Zarvo::console {

class ConsoleApi;
class OperationFeed;
class RequestGuard;
class UploadDirectory;

class HttpFront {
 public:
  struct Limits {
    qint64 jsonBody = 1024 * 1024;       // bytes, every body but an upload's
    int threads = 32;                    // connections served at once (live pages hold one each)
    std::chrono::seconds keepAlive{15};  // between two live-update messages
    std::chrono::seconds readWait{30};   // each wait for bytes of a request
    std::chrono::seconds writeWait{30};  // each wait for the peer to take bytes of an answer
  };

  HttpFront(ConsoleApi& api, OperationFeed& feed, const UploadDirectory& uploads,
            RequestGuard& guard, Limits limits);
  ~HttpFront();
  HttpFront(const HttpFront&) = delete;
  HttpFront& operator=(const HttpFront&) = delete;

  // Binds `host` (an address) and `port` (0: a free one, told by port()); false with the reason.
  // The guard learns the port, so Host headers are checked against it.
  bool bind(const QString& host, quint16 port, QString* error);
  quint16 port() const { return port_; }

  // Serves until stop(); returns false when it could not serve at all.
  bool serve();
  // From any thread: ends serve() once the requests under way have their answers. Close the
  // feed first, so no live page holds a connection.
  void stop();

 private:
  void installRoutes();

  ConsoleApi& api_;
  OperationFeed& feed_;
  const UploadDirectory& uploads_;
  RequestGuard& guard_;
  const Limits limits_;
  std::unique_ptr<httplib::Server> server_;
  quint16 port_ = 0;
};

}  // namespace Zarvo::console
