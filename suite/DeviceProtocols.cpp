#include "suite/DeviceProtocols.h"

#include <QRegularExpression>

namespace Zarvo::suite {

namespace {

const QByteArray kUel = "\x1b%-12345X";
const QByteArray kJobStart = "\x1b%-12345X@PJL\r\n@PJL ";
const QByteArray kMacroTrailer = "\x1b&f1X\x1b%-12345X";

int checksumOf(const QByteArray& bytes) {
  unsigned sum = 0;
  for (char c : bytes) sum += static_cast<unsigned char>(c);
  return int(sum % 256);
}

bool fail(PjlError* error, const char* status, const QString& reason) {
  error->status = QLatin1String(status);
  error->reason = reason;
  return false;
}

// "KEY=value" of a PJL line whose value runs to the next " KEY2=" or the line's end.
struct PjlLine {
  QByteArray command;
  QByteArray name;
  qint64 size = -1;
  int checksum = -1;
};

bool parseLine(const QByteArray& line, PjlLine* out) {
  // Names may hold blanks, so NAME runs up to the last " SIZE=".
  static const QRegularExpression pcl(
      QStringLiteral("^(FSDOWNLOADFONT|FSDOWNLOADMACRO) SIZE=(\\d{1,12})$"));
  static const QRegularExpression ps(
      QStringLiteral(
          "^(PSDOWNLOADFONT|PSDOWNLOADFORM) NAME=(.*) SIZE=(\\d{1,12}) CHECKSUM=(\\d{1,3})$"),
      QRegularExpression::DotMatchesEverythingOption);
  const QString text = QString::fromLatin1(line);
  if (auto m = pcl.match(text); m.hasMatch()) {
    out->command = m.captured(1).toLatin1();
    out->size = m.captured(2).toLongLong();
    return true;
  }
  if (auto m = ps.match(text); m.hasMatch()) {
    out->command = m.captured(1).toLatin1();
    out->name = m.captured(2).toLatin1();
    out->size = m.captured(3).toLongLong();
    out->checksum = m.captured(4).toInt();
    return out->checksum < 256;
  }
  return false;
}

// ESC <a><b> <digits> <final>: the PCL ID-assignment sequences.
bool takeEscNumber(const QByteArray& s, qsizetype* pos, const char* prefix, char final,
                   quint32* number) {
  const QByteArray p = QByteArray("\x1b") + prefix;
  if (!s.mid(*pos).startsWith(p)) return false;
  qsizetype i = *pos + p.size();
  const qsizetype digitsStart = i;
  while (i < s.size() && i - digitsStart < 10 && s.at(i) >= '0' && s.at(i) <= '9') ++i;
  if (i == digitsStart || i >= s.size() || s.at(i) != final) return false;
  *number = s.mid(digitsStart, i - digitsStart).toUInt();
  *pos = i + 1;
  return true;
}

}  // namespace

qint64 announcedPjlSize(const QByteArray& stream) {
  if (!stream.startsWith(kJobStart)) return -1;
  const qsizetype end = stream.indexOf("\r\n", kJobStart.size());
  if (end < 0) return -1;
  PjlLine line;
  if (!parseLine(stream.mid(kJobStart.size(), end - kJobStart.size()), &line)) return -1;
  return line.size;
}

bool parsePjlDownload(const QByteArray& s, PjlDownload* download, PjlError* error) {
  *download = PjlDownload();
  if (!s.startsWith(kJobStart)) {
    return fail(error, "BadPJL", QStringLiteral("the stream does not open a PJL job"));
  }
  const qsizetype lineEnd = s.indexOf("\r\n", kJobStart.size());
  if (lineEnd < 0) return fail(error, "BadPJL", QStringLiteral("the PJL line never ends"));
  PjlLine line;
  if (!parseLine(s.mid(kJobStart.size(), lineEnd - kJobStart.size()), &line)) {
    return fail(error, "BadPJL", QStringLiteral("unknown PJL download line"));
  }
  qsizetype pos = lineEnd + 2;
  QByteArray trailer = kUel;
  if (line.command == "FSDOWNLOADFONT") {
    download->kind = QStringLiteral("pclFont");
    if (!takeEscNumber(s, &pos, "*c", 'D', &download->requestedId)) {
      return fail(error, "BadPJL", QStringLiteral("no font ID assignment after the PJL line"));
    }
  } else if (line.command == "FSDOWNLOADMACRO") {
    download->kind = QStringLiteral("pclMacro");
    quint32 control = 1;
    if (!takeEscNumber(s, &pos, "&f", 'Y', &download->requestedId) ||
        !takeEscNumber(s, &pos, "&f", 'X', &control) || control != 0) {
      return fail(error, "BadPJL", QStringLiteral("no macro ID and start after the PJL line"));
    }
    trailer = kMacroTrailer;
  } else {
    download->kind =
        line.command == "PSDOWNLOADFONT" ? QStringLiteral("psFont") : QStringLiteral("psForm");
    download->name = QString::fromLatin1(line.name);
    if (download->name.isEmpty()) return fail(error, "BadPJL", QStringLiteral("empty NAME"));
  }
  if (s.size() - pos < line.size) {
    return fail(error, "IncompleteData",
                QStringLiteral("%1 of %2 content bytes").arg(s.size() - pos).arg(line.size));
  }
  download->content = s.mid(pos, line.size);
  pos += line.size;
  if (!s.mid(pos).startsWith(trailer)) {
    return fail(error, s.size() - pos < trailer.size() ? "IncompleteData" : "BadPJL",
                QStringLiteral("no trailer after the content"));
  }
  pos += trailer.size();
  if (pos != s.size()) {
    return fail(error, "TrailingData",
                QStringLiteral("%1 bytes after the trailer").arg(s.size() - pos));
  }
  if (line.checksum >= 0 && checksumOf(download->content) != line.checksum) {
    return fail(error, "ChecksumError",
                QStringLiteral("checksum %1 announced, %2 received")
                    .arg(line.checksum)
                    .arg(checksumOf(download->content)));
  }
  return true;
}

QByteArray HttpRequest::field(const QByteArray& name) const {
  for (const auto& f : fields) {
    if (f.first.compare(name, Qt::CaseInsensitive) == 0) return f.second;
  }
  return QByteArray();
}

bool parseHttpHead(const QByteArray& head, HttpRequest* request) {
  *request = HttpRequest();
  const QList<QByteArray> lines = head.split('\n');
  if (lines.isEmpty()) return false;
  const QList<QByteArray> start = lines.first().trimmed().split(' ');
  if (start.size() != 3 || !start.at(2).startsWith("HTTP/1.")) return false;
  request->method = start.at(0);
  request->target = start.at(1);
  if (const qsizetype q = request->target.indexOf('?'); q >= 0) request->target.truncate(q);
  for (qsizetype i = 1; i < lines.size(); ++i) {
    const QByteArray line = lines.at(i).trimmed();
    if (line.isEmpty()) continue;
    const qsizetype colon = line.indexOf(':');
    if (colon <= 0) return false;
    request->fields.append({line.left(colon).trimmed(), line.mid(colon + 1).trimmed()});
  }
  return true;
}

bool parseMultipartForm(const QByteArray& contentType, const QByteArray& body,
                        QList<QPair<QString, QByteArray>>* parts, QString* error) {
  parts->clear();
  static const QRegularExpression boundaryRe(
      QStringLiteral("^multipart/form-data\\s*;.*\\bboundary=\"?([^\";]{1,70})\"?"),
      QRegularExpression::CaseInsensitiveOption);
  const auto m = boundaryRe.match(QString::fromLatin1(contentType));
  if (!m.hasMatch()) {
    *error = QStringLiteral("not multipart/form-data with a boundary");
    return false;
  }
  const QByteArray delimiter = "--" + m.captured(1).toLatin1();
  if (!body.startsWith(delimiter)) {
    *error = QStringLiteral("the body does not open with the boundary");
    return false;
  }
  const QByteArray separator = "\r\n" + delimiter;
  qsizetype pos = delimiter.size();
  while (true) {
    if (body.mid(pos, 2) == "--") return true;  // closing delimiter
    if (body.mid(pos, 2) != "\r\n") break;
    pos += 2;
    const qsizetype headEnd = body.indexOf("\r\n\r\n", pos);
    const qsizetype next = body.indexOf(separator, pos);
    if (headEnd < 0 || next < 0 || headEnd > next) break;
    static const QRegularExpression nameRe(
        QStringLiteral("^content-disposition:\\s*form-data\\s*;.*\\bname=\"([^\"]*)\""),
        QRegularExpression::CaseInsensitiveOption | QRegularExpression::MultilineOption);
    const auto name = nameRe.match(QString::fromLatin1(body.mid(pos, headEnd - pos)));
    if (!name.hasMatch()) {
      *error = QStringLiteral("a part without a form-data name");
      return false;
    }
    parts->append({name.captured(1), body.mid(headEnd + 4, next - headEnd - 4)});
    pos = next + separator.size();
  }
  *error = QStringLiteral("the body does not end with the closing boundary");
  return false;
}

QByteArray httpAnswer(int status, const QByteArray& body, const QByteArray& contentType) {
  const char* reason = status == 200   ? "OK"
                       : status == 400 ? "Bad Request"
                       : status == 404 ? "Not Found"
                       : status == 405 ? "Method Not Allowed"
                       : status == 413 ? "Payload Too Large"
                                       : "Internal Server Error";
  return "HTTP/1.1 " + QByteArray::number(status) + ' ' + reason +
         "\r\nContent-Type: " + contentType +
         "\r\nContent-Length: " + QByteArray::number(body.size()) +
         "\r\nConnection: close\r\n\r\n" + body;
}

}  // namespace Zarvo::suite
