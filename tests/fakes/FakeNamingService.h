// FakeNamingService: a loopback stand-in for the suite's naming service that also plays the
// services it names. It speaks what our client speaks (HTTP with a bare command path, UTF-8
// packets) without using our own packet classes, so it checks them from the outside:
//
//   - "NSFindService" is answered from a table (command -> URL), result 2 for a command not in it;
//   - "NSRegisterService" is answered with a chosen result (0 by default);
//   - any other command gets its scripted Reply: raw bytes, silence, or bytes trickled slowly;
//     without a script, result 2 "Can't handle command: <name>".
//
// It binds 127.0.0.1 port 0, serves one connection at a time on its own thread and records every
// request it read. Every wait is bounded, so a test never hangs on it.
#pragma once

#include <QByteArray>
#include <QList>
#include <QMap>
#include <QPair>
#include <QString>
#include <QStringList>
#include <QUrl>
#include <atomic>
#include <mutex>
#include <thread>

namespace testing_orx {

struct Reply {
  QByteArray raw;       // the whole answer, head and body, sent as is; then the line is closed
  bool silent = false;  // read the request, then say nothing until the client hangs up
  int trickleMs = 0;    // > 0: send `raw` one byte at a time with this pause between bytes
};

struct Received {
  QByteArray path;  // the request target as sent
  QByteArray head;  // through the empty line
  QByteArray body;
};

class FakeNamingService {
 public:
  FakeNamingService();   // binds and serves; aborts the test binary if it cannot bind
  ~FakeNamingService();  // stops serving and closes every socket: the port is gone
  FakeNamingService(const FakeNamingService&) = delete;
  FakeNamingService& operator=(const FakeNamingService&) = delete;

  quint16 port() const { return port_; }
  QUrl url() const;  // http://127.0.0.1:<port>/

  void setServiceUrl(const QString& command, const QString& url);
  void setRegisterResult(int result);
  void setReply(const QString& command, const Reply& reply);

  QList<Received> requests() const;
  int count(const QByteArray& path) const;  // requests read with this target
  int connections() const { return connections_.load(); }

 private:
  void serve();
  void handle(int fd);
  Reply answerFor(const Received& request);

  int listenFd_ = -1;
  quint16 port_ = 0;
  std::atomic<bool> stop_{false};
  std::atomic<int> connections_{0};
  mutable std::mutex mutex_;
  QMap<QString, QString> table_;
  QMap<QString, Reply> replies_;
  int registerResult_ = 0;
  QList<Received> requests_;
  std::thread thread_;
};

// "HTTP/1.1 200 OK" with the body, announced by Content-Length unless `withLength` is false.
QByteArray httpResponse(const QByteArray& body, bool withLength = true);
// A UTF-8 response packet: Result, Details, then the extra elements in order.
QByteArray responsePacket(int result, const QString& details,
                          const QList<QPair<QString, QString>>& extra = {});
// The texts of every element `name` in an XML document, in order, character references of the
// five predefined entities decoded. Enough for the flat packets of the naming service.
QStringList elementTexts(const QByteArray& xml, const QString& name);

}  // namespace testing_orx
