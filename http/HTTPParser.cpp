// Incremental HTTP head parsing and head building (see HTTPParser.h).
//
// The patterns keep the matching rules our peers were written against: header lines match
// minimally, '.' also matches a stray line feed inside a line, and \w \s \d follow Unicode (a
// method with a Latin-1 letter is one word, not cut at that letter).
#include "http/HTTPParser.h"

#include <QRegularExpression>
#include <QUrl>
#include <cstring>
#include <limits>

namespace Zarvo {

namespace {

QRegularExpression compiled(const QString& pattern, QRegularExpression::PatternOptions options) {
  QRegularExpression re(pattern, options);
  re.optimize();  // compile now, so threads sharing the pattern only ever read it
  return re;
}

// Name before the first colon, value after it; both trimmed by the caller.
const QRegularExpression& headerLinePattern() {
  static const QRegularExpression re =
      compiled(QStringLiteral("([^:]*):(.*)$"), QRegularExpression::InvertedGreedinessOption |
                                                    QRegularExpression::DotMatchesEverythingOption);
  return re;
}

// Method, path, optional query, major and minor version. Not anchored; the dot between the
// version numbers stands for any character.
const QRegularExpression& requestLinePattern() {
  static const QRegularExpression re =
      compiled(QStringLiteral("(\\w+)\\s([^\\?]+)(?:\\?(.+))?\\sHTTP/(\\d+).(\\d+)"),
               QRegularExpression::UseUnicodePropertiesOption |
                   QRegularExpression::DotMatchesEverythingOption);
  return re;
}

// One "name=value" pair of a query, with the '&' that follows it.
const QRegularExpression& queryPairPattern() {
  static const QRegularExpression re =
      compiled(QStringLiteral("([^=]+)=([^&]*)&?"), QRegularExpression::NoPatternOption);
  return re;
}

}  // namespace

// ---------------------------------------------------------------------------------------------
// HTTPParser

HTTPParser::HTTPParser(const Limits& limits) : limits_(limits) {}

HTTPParser::~HTTPParser() = default;

qsizetype HTTPParser::parse(const char* data, qsizetype length) {
  if (state_ != Incomplete || data == nullptr || length <= 0) return 0;

  qsizetype used = 0;
  while (state_ == Incomplete && used < length) {
    // Take bytes up to the next line feed only: what follows the empty line is the body's.
    const char* from = data + used;
    const qsizetype left = length - used;
    const auto* lf = static_cast<const char*>(std::memchr(from, '\n', static_cast<size_t>(left)));
    const qsizetype take = lf ? lf - from + 1 : left;

    // Refuse before buffering, so a head without line ends costs at most one line of memory.
    if (buffer_.size() + take > limits_.maxLineLength + 2 ||
        headLength_ + take > limits_.maxHeadLength) {
      fail();
    }
    buffer_.append(from, take);
    used += take;
    headLength_ += take;

    if (!buffer_.endsWith("\r\n")) {
      // A lone LF belongs to the line. Once even an immediate CR LF would end the line past
      // its limit, there is no point in waiting for it.
      if (buffer_.size() > limits_.maxLineLength + 1) fail();
      continue;
    }
    const QByteArray line = buffer_.chopped(2);
    buffer_.clear();
    if (line.isEmpty()) {
      state_ = Complete;
      buffer_ = QByteArray();  // release the line buffer: the parser is only read from now on
      break;
    }
    consumeLine(line);
  }
  return used;
}

void HTTPParser::consumeLine(const QByteArray& line) {
  const QString text = QString::fromLatin1(line);  // one character per byte, never fails
  try {
    if (!firstLineSeen_) {
      firstLineSeen_ = true;
      parseFirstLine(text);
    } else {
      parseHeaderLine(text);
    }
  } catch (const ParsingError&) {
    fail();
  }
}

void HTTPParser::parseHeaderLine(const QString& line) {
  const QRegularExpressionMatch m = headerLinePattern().match(line);
  if (!m.hasMatch()) throw ParsingError();  // no colon
  if (fields_.size() >= limits_.maxFields) throw ParsingError();
  fields_.append({m.captured(1).trimmed(), m.captured(2).trimmed()});
}

void HTTPParser::fail() {
  state_ = Failed;
  buffer_ = QByteArray();
  throw ParsingError();
}

bool HTTPParser::hasValue(const QString& name) const {
  for (const Field& f : fields_) {
    if (f.first == name) return true;
  }
  return false;
}

QString HTTPParser::value(const QString& name) const {
  for (const Field& f : fields_) {
    if (f.first == name) return f.second;
  }
  throw InvalidHeader();
}

// ---------------------------------------------------------------------------------------------
// HTTPRequestParser

HTTPRequestParser::HTTPRequestParser() : HTTPParser(Limits{}) {}

HTTPRequestParser::HTTPRequestParser(const Limits& limits) : HTTPParser(limits) {}

void HTTPRequestParser::parseFirstLine(const QString& line) {
  const QRegularExpressionMatch m = requestLinePattern().match(line);
  if (!m.hasMatch()) throw ParsingError();
  method_ = m.captured(1);
  path_ = m.captured(2);
  version_ = m.captured(4) + QLatin1Char('.') + m.captured(5);
  if (m.hasCaptured(3)) parseQuery(m.captured(3));
}

void HTTPRequestParser::parseQuery(const QString& query) {
  if (query.isEmpty()) return;
  const QRegularExpression& pair = queryPairPattern();
  qsizetype from = 0;
  for (;;) {
    // Each match is at least "x=" long, so the loop always advances.
    const QRegularExpressionMatch m = pair.match(query, from);
    if (!m.hasMatch()) throw ParsingError();
    QString value = m.captured(2);
    value.replace(QLatin1Char('+'), QLatin1Char(' '));
    // Latin-1 characters of the line become UTF-8 first, so a raw byte and its percent
    // escape decode alike.
    query_.append({m.captured(1), QUrl::fromPercentEncoding(value.toUtf8()).toUtf8()});
    if (m.capturedEnd(0) == query.size()) break;
    from = m.capturedEnd(0);
  }
}

// ---------------------------------------------------------------------------------------------
// HTTPResponseParser

HTTPResponseParser::HTTPResponseParser() : HTTPParser(Limits{}) {}

HTTPResponseParser::HTTPResponseParser(const Limits& limits) : HTTPParser(limits) {}

void HTTPResponseParser::parseFirstLine(const QString&) {}

// ---------------------------------------------------------------------------------------------

qint64 contentLength(const HTTPParser& parser) {
  if (!parser.hasValue(kContentLength)) return -1;
  const QString text = parser.value(kContentLength);
  bool ok = false;
  const qint64 n = text.toLongLong(&ok, 10);
  if (ok) return n;

  // A number too long for 64 bits must not pass as 0 (an empty body): saturate, so that the
  // caller's upper bound rejects it.
  qsizetype i = 0;
  const bool negative = text.startsWith(QLatin1Char('-'));
  if (negative || text.startsWith(QLatin1Char('+'))) ++i;
  if (i == text.size()) return 0;
  for (; i < text.size(); ++i) {
    if (text[i] < QLatin1Char('0') || text[i] > QLatin1Char('9')) return 0;
  }
  return negative ? std::numeric_limits<qint64>::min() : std::numeric_limits<qint64>::max();
}

// ---------------------------------------------------------------------------------------------
// Builders

HTTPHeader::HTTPHeader(QString startLine) : startLine_(std::move(startLine)) {}

void HTTPHeader::setValue(const QString& name, const QString& value) {
  fields_.append({name, value});
}

QByteArray HTTPHeader::toByteArray() const {
  QByteArray out = startLine_.toLatin1();
  out += "\r\n";
  for (const auto& [name, value] : fields_) {
    out += name.toLatin1();
    out += ':';
    out += value.toLatin1();
    out += "\r\n";
  }
  out += "\r\n";
  return out;
}

HTTPRequestHeader::HTTPRequestHeader(const QString& method, const QString& path)
    : HTTPHeader(method + QLatin1Char(' ') + path + QLatin1String(" HTTP/1.1")) {}

HTTPResponseHeader::HTTPResponseHeader(int statusCode, const QString& reasonPhrase)
    : HTTPHeader(QLatin1String("HTTP/1.1 ") + QString::number(statusCode) + QLatin1Char(' ') +
                 reasonPhrase) {}

}  // namespace Zarvo
