// FakeNamingService: a loopback stand-in for the suite's naming service that also plays the
// services it names. It speaks what our client speaks (HTTP with a bare command path, UTF-8
// packets) without using our own packet classes, so it checks them from the outside:
//
//   - "NSFindService" is answered from a table (command -> URL), result 2 for a command not in it;
//   - "NSRegisterService" is answered with a chosen result (0 by default);
//   - any other command gets its scripted Reply: raw bytes, silence, or bytes trickled slowly;
//     without a script, result 2 "Can't handle command: <name>".
//
// It records every request it read (FakeHttpServer underneath).
#pragma once

#include <QByteArray>
#include <QList>
#include <QMap>
#include <QPair>
#include <QString>
#include <QStringList>
#include <QUrl>
#include <mutex>

#include "tests/fakes/FakeHttpServer.h"

namespace testing_orx {

using testing_http::httpResponse;
using testing_http::Received;
using testing_http::Reply;

class FakeNamingService {
 public:
  FakeNamingService();

  quint16 port() const { return server_.port(); }
  QUrl url() const { return server_.url(); }  // http://127.0.0.1:<port>/

  void setServiceUrl(const QString& command, const QString& url);
  void setRegisterResult(int result);
  void setReply(const QString& command, const Reply& reply) { server_.setReply(command, reply); }

  QList<Received> requests() const { return server_.requests(); }
  int count(const QByteArray& path) const { return server_.count(path); }
  int connections() const { return server_.connections(); }
  // Waits until `n` requests for `command` were read; false after `ms`.
  bool waitForRequests(const QString& command, int n, int ms = 10'000) const {
    return server_.waitForRequests(command, n, ms);
  }

 private:
  Reply answer(const Received& request);

  std::mutex mutex_;
  QMap<QString, QString> table_;
  int registerResult_ = 0;
  testing_http::FakeHttpServer server_;  // last: its threads use the state above
};

// A UTF-8 response packet: Result, Details, then the extra elements in order.
QByteArray responsePacket(int result, const QString& details,
                          const QList<QPair<QString, QString>>& extra = {});
// The texts of every element `name` in an XML document, in order, character references of the
// five predefined entities decoded. Enough for the flat packets of the naming service.
QStringList elementTexts(const QByteArray& xml, const QString& name);

}  // namespace testing_orx
