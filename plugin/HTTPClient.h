// HTTPClient: one multipart form POST (or a plain GET for an empty form) to a device's own CGI
// pages, returning the response body. Stateless: each call builds and releases its own libcurl
// handle, so calls on several job threads never share anything.
//
// A device's web server is not trusted to behave: every call is bounded by a connect time-out,
// a low-speed limit and a cap on the body, and can be cut short by the caller's stop check, so
// a device that accepts the connection and then goes silent never pins a job's thread.
//
// libcurl's global initialisation is the caller's business (done once per process).
#pragma once

#include <QList>
#include <QPair>
#include <QString>
#include <QByteArray>
#include <QUrl>

#include <chrono>
#include <cstdint>
#include <exception>
#include <functional>

namespace Zarvo::dsm {

// Bounds on one request. The defaults are the production values; tests pass shorter ones.
struct HTTPClientLimits {
  // Time to establish the TCP connection.
  std::chrono::milliseconds connectTimeout{30'000};
  // Abort when fewer than lowSpeedBytesPerSecond bytes/s move for lowSpeedTime (whole
  // seconds: libcurl's granularity). Catches a page that answers nothing or trickles.
  long lowSpeedBytesPerSecond = 1;
  std::chrono::seconds lowSpeedTime{120};
  // Largest body accepted; a stored font or form is far smaller, so more is a broken device.
  std::int64_t maxBodyBytes = std::int64_t(256) * 1024 * 1024;
};

class HTTPClient {
 public:
  // Ordered (name, value) pairs; names may repeat and every pair becomes one part, in order.
  using Form = QList<QPair<QString, QString>>;

  // Polled during the transfer; returning true aborts it (the call then throws).
  using StopCheck = std::function<bool()>;

  // Every failure: unreachable device, broken transfer, status other than 200, a limit hit,
  // or the stop check asking to stop.
  class HTTPClientError : public std::exception {
   public:
    const char* what() const noexcept override { return "HTTPClient::HTTPClientError"; }
  };

  using Limits = HTTPClientLimits;

  HTTPClient() = delete;

  // POSTs `form` to `url` as multipart/form-data (a GET when `form` is empty) and returns the
  // response body of a 200 answer. Names and values travel as Latin-1 bytes. Throws
  // HTTPClientError on every failure; nothing leaks on any path.
  [[nodiscard]] static QByteArray post(const QUrl& url, const Form& form,
                                       const StopCheck& stopRequested = StopCheck(),
                                       const Limits& limits = Limits());
};

}  // namespace Zarvo::dsm
