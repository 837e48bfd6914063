#include "tests/fakes/Bytes.h"

#include <cstdio>
#include <map>

namespace testing_bytes {

QByteArray bytes(const char* data, qsizetype size) { return QByteArray(data, size); }
QByteArray bytes(const std::string& s) { return QByteArray(s.data(), qsizetype(s.size())); }

std::string hex(const std::string& b) {
  static const std::map<unsigned char, const char*> kEscapes{
      {'\r', "\\r"}, {'\n', "\\n"}, {'\t', "\\t"}, {0x1B, "\\e"}, {'\\', "\\\\"}};
  std::string out;
  for (unsigned char c : b) {
    if (const auto e = kEscapes.find(c); e != kEscapes.end()) {
      out += e->second;
    } else if (c >= 0x20 && c < 0x7F) {
      out += char(c);
    } else {
      char buf[8];
      std::snprintf(buf, sizeof buf, "\\x%02X", c);
      out += buf;
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
