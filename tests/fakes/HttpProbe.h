// A blocking loopback HTTP client for tests: sends raw request bytes and reads the answer the
// way the suite's peers do (head, then Content-Length bytes), without an event loop, so it can
// run on any thread while the main thread pumps the server's events.
#pragma once

#include <QByteArray>
#include <QtGlobal>

namespace testing_http {

struct Answer {
  bool connected = false;  // the server accepted the connection
  bool ok = false;   // connected and read a complete head (and body when announced)
  QByteArray head;   // through the empty line
  QByteArray body;
  int status() const;  // from the status line; 0 when none
};

// Connects to 127.0.0.1:port, writes `request`, reads one answer, closes. Every wait is bounded
// by `timeoutMs` in total.
Answer exchange(quint16 port, const QByteArray& request, int timeoutMs = 10000);
// The same from the local address `source` (null: the system's choice) to `destination`, both
// dotted IPv4 addresses on loopback.
Answer exchange(const char* source, const char* destination, quint16 port,
                const QByteArray& request, int timeoutMs = 10000);

// "POST /<command> HTTP/1.1" with Content-Length and the body.
QByteArray post(const QByteArray& path, const QByteArray& body);

// UTF-16LE bytes (as DOM packets write them) to text.
QString fromUtf16Le(const QByteArray& bytes);

}  // namespace testing_http
