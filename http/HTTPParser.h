// The heads of the HTTP messages our services exchange: incremental parsers for an incoming
// request (server side) or response (client side), and builders for an outgoing head.
//
// Only heads are handled here. Bodies are read and written by the callers, who size them with
// the "Content-Length" field (see contentLength()). There is no chunked transfer, no
// keep-alive and no continuation line in this protocol.
//
// A parser takes bytes as they arrive, in pieces of any size, and is bounded: a line, the whole
// head and the number of fields have limits (Limits), so a peer that never ends its head cannot
// make us buffer without end. Past a limit the parser fails like on a malformed head.
#pragma once

#include <QByteArray>
#include <QList>
#include <QString>
#include <QtGlobal>
#include <exception>
#include <utility>

namespace Zarvo {

// The one header field the transport reads and writes.
inline const QString kContentLength = QStringLiteral("Content-Length");

class HTTPParser {
 public:
  // A malformed start line, header line or query string, or a head past the limits.
  class ParsingError : public std::exception {
   public:
    const char* what() const noexcept override { return "malformed HTTP head"; }
  };
  // value() was asked for a field the head does not have.
  class InvalidHeader : public std::exception {
   public:
    const char* what() const noexcept override { return "no such HTTP header field"; }
  };

  // Bounds on what one head may hold. The defaults are far above anything our peers send.
  struct Limits {
    qsizetype maxLineLength = 8 * 1024;  // bytes of one line, its CR LF not counted
    qsizetype maxHeadLength = 64 * 1024;  // the whole head, every CR LF and the empty line counted
    int maxFields = 100;                  // header fields after the start line
  };

  enum State { Incomplete = 0, Complete = 1, Failed = 2 };

  using Field = std::pair<QString, QString>;

  virtual ~HTTPParser();
  HTTPParser(const HTTPParser&) = delete;
  HTTPParser& operator=(const HTTPParser&) = delete;

  // Takes the next `length` bytes of the stream and consumes every complete line among them.
  // Returns how many of these bytes belong to the head: all of them while the head is
  // incomplete, and none of those after the empty line that ends it (they are the body's, and
  // are not kept). Once the head is complete or has failed, returns 0.
  // Throws ParsingError, and state() becomes 2, on a malformed line or a head past the limits.
  [[nodiscard]] qsizetype parse(const char* data, qsizetype length);

  // 0 while the head is incomplete, 1 once its empty line was seen, 2 after an error.
  [[nodiscard]] State state() const { return state_; }

  // True when a field has exactly this name (case-sensitive).
  [[nodiscard]] bool hasValue(const QString& name) const;
  // The value of the first field with exactly this name; throws InvalidHeader when none has.
  [[nodiscard]] QString value(const QString& name) const;
  // Every field in arrival order, duplicates kept; names and values are trimmed.
  [[nodiscard]] const QList<Field>& fields() const { return fields_; }

  [[nodiscard]] const Limits& limits() const { return limits_; }

 protected:
  explicit HTTPParser(const Limits& limits);

  // Interprets the start line (bytes taken as Latin-1 characters, CR LF removed).
  // Throws ParsingError when it is malformed.
  virtual void parseFirstLine(const QString& line) = 0;

 private:
  void consumeLine(const QByteArray& line);
  void parseHeaderLine(const QString& line);
  [[noreturn]] void fail();

  Limits limits_;
  QList<Field> fields_;
  State state_ = Incomplete;
  bool firstLineSeen_ = false;
  QByteArray buffer_;         // the start of a line whose CR LF has not arrived yet
  qsizetype headLength_ = 0;  // bytes taken so far, to hold the head limit
};

// Parses the head of an incoming request: "<method> <path>[?<query>] HTTP/<major>.<minor>".
class HTTPRequestParser : public HTTPParser {
 public:
  using QueryParameter = std::pair<QString, QByteArray>;  // name, UTF-8 value

  HTTPRequestParser();
  explicit HTTPRequestParser(const Limits& limits);

  // Valid once the start line is parsed.
  [[nodiscard]] const QString& method() const { return method_; }
  [[nodiscard]] const QString& path() const { return path_; }
  [[nodiscard]] const QString& version() const { return version_; }  // "1.1"
  // In query order, duplicates kept; values have "+" as blank and percent escapes decoded.
  [[nodiscard]] const QList<QueryParameter>& queryParameters() const { return query_; }

 protected:
  void parseFirstLine(const QString& line) override;

 private:
  void parseQuery(const QString& query);

  QString method_;
  QString path_;
  QString version_;
  QList<QueryParameter> query_;
};

// Parses the head of an incoming response. The status line is not examined: callers judge a
// response by its body.
class HTTPResponseParser : public HTTPParser {
 public:
  HTTPResponseParser();
  explicit HTTPResponseParser(const Limits& limits);

 protected:
  void parseFirstLine(const QString& line) override;
};

// The value of "Content-Length" read the way our server and client read it: a decimal integer,
// 0 when the value is not a number. Returns -1 when the head has no such field. A negative
// value in the field is returned as it is, and a run of digits too long for 64 bits gives the
// largest qint64, so callers that reject negative and oversized lengths catch both.
[[nodiscard]] qint64 contentLength(const HTTPParser& parser);

// A head to be written: a start line and fields in the order they were set.
class HTTPHeader {
 public:
  // Appends a field; an existing field of the same name stays.
  void setValue(const QString& name, const QString& value);

  // The start line, then "name:value" per field (no blank after the colon), each line ended by
  // CR LF, then one more CR LF. Characters outside Latin-1 become '?'.
  [[nodiscard]] QByteArray toByteArray() const;

  [[nodiscard]] const QString& startLine() const { return startLine_; }
  [[nodiscard]] const QList<std::pair<QString, QString>>& fields() const { return fields_; }

 protected:
  explicit HTTPHeader(QString startLine);

 private:
  QString startLine_;
  QList<std::pair<QString, QString>> fields_;
};

// "<method> <path> HTTP/1.1"
class HTTPRequestHeader : public HTTPHeader {
 public:
  HTTPRequestHeader(const QString& method, const QString& path);
};

// "HTTP/1.1 <code> <reason>"
class HTTPResponseHeader : public HTTPHeader {
 public:
  HTTPResponseHeader(int statusCode, const QString& reasonPhrase);
};

}  // namespace Zarvo
