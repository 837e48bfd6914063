// Text-form conversion of segmented binary PostScript fonts over arbitrary bytes: malformed
// fonts must end in Binary2AsciiError, never in a read past the input; accepted fonts must
// convert exactly as the plain byte-at-a-time algorithm does.
#include <cstddef>
#include <cstdint>
#include <string>

#include "plugin/TCP9100File.h"

namespace {

void check(bool ok) {
  if (!ok) __builtin_trap();
}

// Byte-at-a-time conversion; only called on input the converter accepted, so every segment
// header and body it reads is inside the data (ASan reports it otherwise).
std::string reference(const uint8_t* in, size_t size) {
  std::string out;
  int previous = 1;
  size_t pos = 0;
  while (pos < size) {
    if (in[pos] != 0x80) return std::string(reinterpret_cast<const char*>(in), size);
    const int type = in[pos + 1];
    if (type == 3) {
      pos += 2;
      continue;
    }
    const int32_t length = int32_t(uint32_t(in[pos + 2]) | uint32_t(in[pos + 3]) << 8 |
                                   uint32_t(in[pos + 4]) << 16 | uint32_t(in[pos + 5]) << 24);
    pos += 6;
    const size_t count = length > 0 ? size_t(length) : 0;
    if (type == 1) {
      if (previous != 1) out += "\r\n";
      for (size_t k = 0; k < count; ++k) {
        if (in[pos + k] == '\n') out += '\r';
        out += char(in[pos + k]);
      }
    } else {
      if (previous == 1 && !out.empty()) out += "\r\n";
      int line = 0;
      for (size_t k = 0; k < count; ++k) {
        if (line >= 64) {
          out += "\r\n";
          line = 0;
        }
        out += "0123456789abcdef"[in[pos + k] >> 4];
        out += "0123456789abcdef"[in[pos + k] & 15];
        line += 2;
      }
    }
    previous = type;
    pos += count;
  }
  return out;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  using namespace Zarvo::dsm;
  const QByteArray font(reinterpret_cast<const char*>(data), qsizetype(size));
  try {
    const TCP9100FilePSFont file("Fuzz", font);
    const QByteArray& text = file.content();
    check(text.toStdString() == reference(data, size));
    check(file.checksum() == TCP9100File::checksumOf(text));
    check(file.header().contains(" SIZE=" + QByteArray::number(text.size()) + " "));
  } catch (const TCP9100FilePSFont::Binary2AsciiError&) {
  }
  return 0;
}
