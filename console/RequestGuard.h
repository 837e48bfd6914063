// RequestGuard: who may read the console and who may change things through it.
//
// The console listens on loopback, where every program of the machine, and every web page open
// in the operator's browser, can reach it. Two rules keep other sites out:
//
//   - Reading: the Host header must name the console by an IP literal or "localhost", with its
//     port. A page of another site can only reach us under its own DNS name (rebound to
//     127.0.0.1), so its requests are refused and it learns nothing; same-origin rules keep it
//     from reading answers otherwise.
//   - Changing: a state-changing request must carry the token printed at start in the
//     "X-Console-Token" header (a header a cross-site form cannot set and a cross-site script can
//     set only after a preflight we never grant), come from our own origin when the browser says
//     where it comes from (Origin, Sec-Fetch-Site), and send JSON as JSON.
#pragma once

#include <QByteArray>
#include <QtGlobal>

#include "console/ApiMessage.h"

namespace Zarvo::console {

class RequestGuard {
 public:
  static constexpr const char* kTokenHeader = "x-console-token";

  // `token` is what state-changing requests must carry; `port` is where the console listens.
  RequestGuard(QByteArray token, quint16 port) : token_(std::move(token)), port_(port) {}

  // 32 hex digits from the system's random source.
  static QByteArray newToken();

  const QByteArray& token() const { return token_; }
  quint16 port() const { return port_; }
  void setPort(quint16 port) { port_ = port; }

  // The Host header names us: "127.0.0.1:8070", "[::1]:8070", "localhost:8070" (port required
  // unless it is 80). A DNS name, another port or no Host at all is refused.
  bool hostAllowed(const QByteArray& host) const;

  // Throws ApiError (403, or 415 for a body that is not declared JSON) unless `request` may
  // change state. `jsonBody`: the request carries a JSON document.
  void checkChange(const ApiRequest& request, bool jsonBody) const;

 private:
  QByteArray token_;
  quint16 port_;
};

}  // namespace Zarvo::console
