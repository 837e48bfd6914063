// FakeHttpServer: the one loopback HTTP server of the fakes. It reads one request per connection
// (head and Content-Length body), records it, and sends what the test scripted for its command
// (the request path without slashes) or, without a script, what the responder returns: a whole
// answer as raw bytes, silence until the client hangs up (a page or service that hangs), or the
// bytes trickled out slowly. It binds 127.0.0.1 port 0, serves every connection on a thread of
// its own, and every wait is bounded, so a test never hangs on it.
//
// The helpers below split a recorded request into head fields and multipart parts, so tests can
// compare what went on the wire byte for byte despite the random multipart boundary.
#pragma once

#include <QByteArray>
#include <QList>
#include <QMap>
#include <QPair>
#include <QString>
#include <QUrl>
#include <atomic>
#include <condition_variable>
#include <functional>
#include <mutex>

#include "suite/LoopbackServer.h"

namespace testing_http {

struct Reply {
  QByteArray raw;       // the whole answer, head and body, sent as is; then the line is closed
  bool silent = false;  // read the request, then say nothing until the client hangs up
  int trickleMs = 0;    // > 0: send `raw` one byte at a time with this pause between bytes
};

// "HTTP/1.1 <status> ..." with the body, announced by Content-Length unless `withLength` is
// false (the body then runs until the server closes the line).
QByteArray httpResponse(const QByteArray& body, bool withLength = true, int status = 200);

struct Received {
  QByteArray path;  // the request target as sent
  QByteArray head;  // through the empty line
  QByteArray body;
  QByteArray raw() const { return head + body; }
  QString command() const { return QString::fromLatin1(path).remove('/'); }
};

class FakeHttpServer {
 public:
  using Responder = std::function<Reply(const Received&)>;

  // Without a responder a request the script does not cover gets 200 and no body. Aborts the test
  // binary when it cannot bind.
  explicit FakeHttpServer(Responder responder = {});
  ~FakeHttpServer();
  FakeHttpServer(const FakeHttpServer&) = delete;
  FakeHttpServer& operator=(const FakeHttpServer&) = delete;

  quint16 port() const { return server_.port(); }
  QUrl url(const QString& page = QString()) const;  // http://127.0.0.1:<port>/<page>

  // From now on, answer `command` ("" for any command) with `reply` instead of the responder.
  void setReply(const QString& command, const Reply& reply);
  void clearReply(const QString& command);

  // The complete requests read so far, in arrival order.
  QList<Received> requests() const;
  QList<QByteArray> bodies(const QString& command) const;
  int count(const QByteArray& path) const;  // requests read with this target
  int connections() const { return connections_.load(); }
  // Waits until `n` requests for `command` were read; false after `ms`.
  bool waitForRequests(const QString& command, int n, int ms = 10'000) const;

 private:
  bool handle(int fd, const std::atomic<bool>& stop);

  const Responder responder_;
  std::atomic<int> connections_{0};
  mutable std::mutex mutex_;
  mutable std::condition_variable changed_;
  QMap<QString, Reply> replies_;
  QList<Received> requests_;
  Zarvo::suite::ConnectionHub hub_{64};  // serves the connections, a few at once
  Zarvo::suite::LoopbackServer server_;  // last: its threads use the state above
};

// Sends `reply` on `fd` as scripted; returns when it is sent, the client hung up or `stop` is set.
void sendReply(int fd, const Reply& reply, const std::atomic<bool>& stop);

struct ParsedRequest {
  QByteArray method;
  QByteArray target;
  QList<QPair<QByteArray, QByteArray>> fields;  // names as sent, values trimmed
  QByteArray body;
  bool valid = false;

  // Values of every field with this name (case-insensitive), in order.
  QList<QByteArray> values(const QByteArray& name) const;
};

ParsedRequest parseRequest(const QByteArray& raw);

// The parts of a multipart/form-data body, each exactly as sent between its boundary lines
// (part head, blank line, value). Empty when the body or the boundary is malformed.
QList<QByteArray> multipartParts(const ParsedRequest& request);

}  // namespace testing_http
