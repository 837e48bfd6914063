// FakeHttpServer: a small blocking HTTP server on 127.0.0.1:<ephemeral> that stands in for a
// device's web server. It serves one connection at a time on its own thread, records every
// raw request it reads (head and Content-Length body), and answers with a scripted reply, or
// holds the connection open without a word, like a device page that hangs.
//
// Helpers below split a recorded request into head fields and multipart parts so tests can
// compare what went on the wire byte for byte despite the random multipart boundary.
#pragma once

#include <QByteArray>
#include <QList>
#include <QPair>
#include <QString>
#include <QUrl>
#include <atomic>
#include <mutex>
#include <thread>

namespace testing_http {

struct Reply {
  int status = 200;
  QByteArray body;
  // Without Content-Length the body runs until the server closes the connection.
  bool sendContentLength = true;
  // false: read the request, then say nothing until the client gives up or the server stops.
  bool answer = true;
};

class FakeHttpServer {
 public:
  FakeHttpServer();   // binds and starts serving; aborts the test binary if it cannot bind
  ~FakeHttpServer();  // stops the thread and closes every socket
  FakeHttpServer(const FakeHttpServer&) = delete;
  FakeHttpServer& operator=(const FakeHttpServer&) = delete;

  quint16 port() const { return port_; }
  // http://127.0.0.1:<port>/<page>
  QUrl url(const QString& page) const;

  // The reply for requests read from now on.
  void setReply(const Reply& reply);
  // Raw bytes of each request read so far, in arrival order.
  QList<QByteArray> requests() const;

 private:
  void serve();
  void handle(int fd);

  int listenFd_ = -1;
  quint16 port_ = 0;
  std::atomic<bool> stop_{false};
  mutable std::mutex mutex_;
  Reply reply_;
  QList<QByteArray> requests_;
  std::thread thread_;
};

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
