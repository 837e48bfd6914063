// One request to the console's JSON API and its answer, apart from the HTTP library that carries
// them, so the API can be driven directly in tests.
#pragma once

#include <QByteArray>
#include <QMap>
#include <QString>
#include <QStringList>
#include <QUrlQuery>
#include <exception>

namespace Zarvo::console {

struct ApiRequest {
  QByteArray method;  // "GET", "POST", "DELETE"
  // The path's segments, each percent-decoded on its own (so an encoded "/" stays inside its
  // segment): "/api/store/a%20b.pcl" gives {"api", "store", "a b.pcl"}.
  QStringList segments;
  QUrlQuery query;
  QMap<QByteArray, QByteArray> headers;  // names in lower case; the first value of each
  QByteArray body;

  QByteArray header(const char* lowerCaseName) const { return headers.value(lowerCaseName); }
};

struct ApiReply {
  int status = 200;
  QByteArray body;  // JSON
};

// A request the API refuses, with what the answer says: an HTTP status, a short code a script can
// match ("BadJson", "UnknownOperation", or a service's result number) and a text in plain words.
// Thrown anywhere below the API and turned into the error answer in one place.
class ApiError : public std::exception {
 public:
  ApiError(int status, QString code, QString message, QString details = {})
      : status_(status),
        code_(std::move(code)),
        message_(std::move(message)),
        details_(std::move(details)) {}
  const char* what() const noexcept override { return "console API error"; }

  int status() const { return status_; }
  const QString& code() const { return code_; }
  const QString& message() const { return message_; }
  const QString& details() const { return details_; }  // a service's own text, when one spoke

 private:
  int status_;
  QString code_;
  QString message_;
  QString details_;
};

}  // namespace Zarvo::console
