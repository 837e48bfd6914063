#include "console/RequestGuard.h"

#include <QHostAddress>
#include <QRandomGenerator>
#include <QRegularExpression>

namespace Zarvo::console {

namespace {

// Compares in time independent of where the texts first differ, so the token cannot be guessed
// a character at a time from answer times.
bool sameSecret(const QByteArray& a, const QByteArray& b) {
  if (a.size() != b.size()) return false;
  unsigned char diff = 0;
  for (qsizetype i = 0; i < a.size(); ++i) diff |= static_cast<unsigned char>(a[i] ^ b[i]);
  return diff == 0;
}

bool isIpv4Literal(const QByteArray& host) {
  static const QRegularExpression dotted(QStringLiteral("^[0-9]{1,3}(\\.[0-9]{1,3}){3}$"));
  return dotted.match(QString::fromLatin1(host)).hasMatch() &&
         !QHostAddress(QString::fromLatin1(host)).isNull();
}

}  // namespace

QByteArray RequestGuard::newToken() {
  quint32 words[4];
  QRandomGenerator::system()->fillRange(words);
  return QByteArray(reinterpret_cast<const char*>(words), sizeof words).toHex();
}

bool RequestGuard::hostAllowed(const QByteArray& host) const {
  QByteArray name = host;
  QByteArray port = "80";
  if (name.startsWith('[')) {
    const qsizetype close = name.indexOf(']');
    if (close < 0) return false;
    const QByteArray rest = name.mid(close + 1);
    name = name.mid(1, close - 1);
    if (!rest.isEmpty()) {
      if (!rest.startsWith(':')) return false;
      port = rest.mid(1);
    }
    const QHostAddress address(QString::fromLatin1(name));
    if (address.protocol() != QAbstractSocket::IPv6Protocol) return false;
  } else {
    const qsizetype colon = name.lastIndexOf(':');
    if (colon >= 0) {
      port = name.mid(colon + 1);
      name = name.left(colon);
    }
    if (name.toLower() != "localhost" && !isIpv4Literal(name)) return false;
  }
  bool ok = false;
  const uint number = port.toUInt(&ok);
  return ok && !port.startsWith('+') && number == port_;
}

void RequestGuard::checkChange(const ApiRequest& request, bool jsonBody) const {
  // What the browser says about where the request comes from: only our own page may change
  // things. Scripts and zarvo-ctl send neither header and are judged by the token alone.
  const QByteArray origin = request.header("origin");
  if (!origin.isEmpty() && origin != "http://" + request.header("host")) {
    throw ApiError(403, QStringLiteral("ForeignOrigin"),
                   QStringLiteral("changes are accepted from the console's own page only"));
  }
  const QByteArray site = request.header("sec-fetch-site");
  if (!site.isEmpty() && site != "same-origin" && site != "none") {
    throw ApiError(403, QStringLiteral("ForeignOrigin"),
                   QStringLiteral("changes are accepted from the console's own page only"));
  }
  const QByteArray token = request.header(kTokenHeader);
  if (token.isEmpty()) {
    throw ApiError(403, QStringLiteral("NoToken"),
                   QStringLiteral("this change needs the console's token: open the address "
                                  "zarvo-console printed when it started"));
  }
  if (!sameSecret(token, token_)) {
    throw ApiError(403, QStringLiteral("BadToken"),
                   QStringLiteral("the console's token is wrong: open the address "
                                  "zarvo-console printed when it started"));
  }
  if (jsonBody) {
    const QByteArray type = request.header("content-type").trimmed().toLower();
    if (!type.startsWith("application/json")) {
      throw ApiError(415, QStringLiteral("NotJson"),
                     QStringLiteral("send the request as JSON (Content-Type: application/json)"));
    }
  }
}

}  // namespace Zarvo::console
