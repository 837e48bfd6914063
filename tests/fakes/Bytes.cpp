#include "tests/fakes/Bytes.h"

#include <cstdio>

namespace testing_bytes {

QByteArray bytes(const char* data, qsizetype size) { return QByteArray(data, size); }
QByteArray bytes(const std::string& s) { return QByteArray(s.data(), qsizetype(s.size())); }

std::string hex(const std::string& b) {
  std::string out;
  for (unsigned char c : b) {
    switch (c) {
      case '\r':
        out += "\\r";
        break;
      case '\n':
        out += "\\n";
        break;
      case '\t':
        out += "\\t";
        break;
      case 0x1B:
        out += "\\e";
        break;
      case '\\':
        out += "\\\\";
        break;
      default:
        if (c >= 0x20 && c < 0x7F) {
          out += char(c);
        } else {
          char buf[8];
          std::snprintf(buf, sizeof buf, "\\x%02X", c);
          out += buf;
        }
    }
  }
  return out;
}

std::string hex(const QByteArray& b) { return hex(b.toStdString()); }

}  // namespace testing_bytes

void PrintTo(const QString& text, std::ostream* out) { *out << '"' << text.toStdString() << '"'; }
void PrintTo(const QByteArray& bytes, std::ostream* out) {
  *out << '"' << testing_bytes::hex(bytes) << '"';
}
