// What a simulated device reads off the wire: the PJL-framed downloads on its print port, and
// the HTTP requests with multipart/form-data bodies that reach its CGI pages. Pure functions over
// bytes, so every framing rule is testable without a socket.
#pragma once

#include <QByteArray>
#include <QList>
#include <QPair>
#include <QString>
#include <QtGlobal>

namespace Zarvo::suite {

// One download as the device understood it.
struct PjlDownload {
  QString kind;             // "pclFont", "pclMacro", "psFont", "psForm"
  QString name;             // PostScript kinds only (Latin-1 text of the PJL line)
  quint32 requestedId = 0;  // PCL kinds: the ID of the ID-assignment sequence
  QByteArray content;
};

// Why a stream is not one well-formed download. The texts are the failure statuses the device
// reports in its download trap.
struct PjlError {
  QString status;  // "BadPJL", "IncompleteData", "ChecksumError", "TrailingData"
  QString reason;  // for the log
};

// Parses a whole stream (everything read until the sender closed). Exactly one download with
// its header, SIZE bytes of content and trailer; nothing may follow the trailer.
bool parsePjlDownload(const QByteArray& stream, PjlDownload* download, PjlError* error);

// The size announced by the PJL line of a (possibly partial) stream; -1 when not yet readable.
qint64 announcedPjlSize(const QByteArray& stream);

// One HTTP request as a device's web server reads it.
struct HttpRequest {
  QByteArray method;
  QByteArray target;                            // path, without the query
  QList<QPair<QByteArray, QByteArray>> fields;  // names as sent, values trimmed
  QByteArray body;
  QByteArray field(const QByteArray& name) const;  // first one, case-insensitive; "" if none
};

// Parses the head (through the empty line) of `head`; false for a malformed one.
bool parseHttpHead(const QByteArray& head, HttpRequest* request);

// Parses a multipart/form-data body: (name, value) in order, names repeatable. `contentType`
// is the request's Content-Type field. False when the type has no boundary, a part has no
// name, or the body does not end with the closing boundary.
bool parseMultipartForm(const QByteArray& contentType, const QByteArray& body,
                        QList<QPair<QString, QByteArray>>* parts, QString* error);

// A complete HTTP answer with Content-Length.
QByteArray httpAnswer(int status, const QByteArray& body,
                      const QByteArray& contentType = "application/octet-stream");

}  // namespace Zarvo::suite
