// PJL framing of the downloadable kinds and the text-form conversion of binary PostScript fonts.
#include "plugin/TCP9100File.h"

#include <algorithm>
#include <array>
#include <cstring>
#include <utility>

namespace Zarvo::dsm {

namespace {

// Every kind starts with a universal exit into PJL and ends with one, so the device is back in
// a clean state after the file whatever the file did.
const QByteArray kPjlEnter("\x1b%-12345X@PJL\r\n");
const QByteArray kUniversalExit("\x1b%-12345X");

QByteArray sizeText(const QByteArray& content) { return QByteArray::number(content.size()); }

QByteArray psHeader(const char* command, const QString& name, const QByteArray& content,
                    int checksum) {
  return kPjlEnter + command + " NAME=" + name.toLatin1() + " SIZE=" + sizeText(content) +
         " CHECKSUM=" + QByteArray::number(checksum) + "\r\n";
}

// A form keeps only its own name: uploads arrive with client paths in either style.
QString lastPathComponent(const QString& path) {
  const qsizetype cut = std::max(path.lastIndexOf(u'/'), path.lastIndexOf(u'\\'));
  return path.mid(cut + 1);
}

// Segmented binary font: each segment starts with this byte and a type; text and binary
// segments then carry a 32-bit little-endian signed length.
constexpr unsigned char kSegmentMark = 0x80;
constexpr unsigned char kTextSegment = 1;
constexpr unsigned char kBinarySegment = 2;
constexpr unsigned char kEndSegment = 3;
constexpr qsizetype kSegmentHeader = 6;
constexpr qsizetype kHexBytesPerLine = 32;  // 64 hex digits

struct HexPairs {
  std::array<char, 512> digits{};
  constexpr HexPairs() {
    constexpr char kHex[] = "0123456789abcdef";
    for (int b = 0; b < 256; ++b) {
      digits[2 * b] = kHex[b >> 4];
      digits[2 * b + 1] = kHex[b & 15];
    }
  }
};
constexpr HexPairs kHexPairs;

// One segment of the binary font as found at a segment start.
struct Segment {
  enum Outcome { kSegment, kNotSegmented, kEnd } outcome = kEnd;
  unsigned char type = 0;
  qsizetype body = 0;   // index of the first byte after the segment header
  qsizetype count = 0;  // bytes of the body to convert (0 for a length of 0 or less)
};

// Reads the segment header at `pos`. Throws on an unknown type or a header or body cut off by
// the end of the data: both mean a damaged font, and reading on would leave the buffer.
Segment readSegment(const unsigned char* data, qsizetype size, qsizetype pos) {
  Segment s;
  if (pos >= size) return s;
  if (data[pos] != kSegmentMark) {
    s.outcome = Segment::kNotSegmented;
    return s;
  }
  if (pos + 1 >= size) throw TCP9100FilePSFont::Binary2AsciiError();
  s.outcome = Segment::kSegment;
  s.type = data[pos + 1];
  if (s.type == kEndSegment) {
    s.body = pos + 2;
    return s;
  }
  if (s.type != kTextSegment && s.type != kBinarySegment) {
    throw TCP9100FilePSFont::Binary2AsciiError();
  }
  if (size - pos < kSegmentHeader) throw TCP9100FilePSFont::Binary2AsciiError();
  const quint32 raw = quint32(data[pos + 2]) | quint32(data[pos + 3]) << 8 |
                      quint32(data[pos + 4]) << 16 | quint32(data[pos + 5]) << 24;
  const qint32 length = qint32(raw);
  s.body = pos + kSegmentHeader;
  s.count = length > 0 ? length : 0;
  if (s.count > size - s.body) throw TCP9100FilePSFont::Binary2AsciiError();
  return s;
}

// Size of the hex text of `count` binary bytes: two digits a byte, CR LF between lines.
qsizetype hexSize(qsizetype count) {
  return count == 0 ? 0 : 2 * count + 2 * ((count - 1) / kHexBytesPerLine);
}

char* writeHex(const unsigned char* in, qsizetype count, char* out) {
  for (qsizetype done = 0; done < count;) {
    if (done != 0) {
      *out++ = '\r';
      *out++ = '\n';
    }
    const qsizetype line = std::min(kHexBytesPerLine, count - done);
    for (qsizetype k = 0; k < line; ++k) {
      std::memcpy(out, &kHexPairs.digits[2 * in[done + k]], 2);
      out += 2;
    }
    done += line;
  }
  return out;
}

char* writeText(const unsigned char* in, qsizetype count, char* out) {
  const unsigned char* end = in + count;
  while (in < end) {
    const auto* lf = static_cast<const unsigned char*>(std::memchr(in, '\n', size_t(end - in)));
    const qsizetype chunk = (lf ? lf : end) - in;
    std::memcpy(out, in, size_t(chunk));
    out += chunk;
    in += chunk;
    if (lf) {
      *out++ = '\r';
      *out++ = '\n';
      ++in;
    }
  }
  return out;
}

}  // namespace

TCP9100File::TCP9100File(QByteArray content) : content_(std::move(content)) {}

TCP9100File::~TCP9100File() = default;

int TCP9100File::checksumOf(const QByteArray& bytes) {
  unsigned sum = 0;  // wraps modulo 2^32, a multiple of 256
  for (const char c : bytes) sum += static_cast<unsigned char>(c);
  return int(sum & 0xFF);
}

void TCP9100File::checkPjlName(const QString& name) {
  for (const QChar c : name) {
    if (c.unicode() < 0x20 || c.unicode() == 0x7F) throw BadName();
  }
}

TCP9100FilePCLFont::TCP9100FilePCLFont(QByteArray content) : TCP9100File(std::move(content)) {}

QByteArray TCP9100FilePCLFont::header() const {
  // The font-ID assignment after the PJL line is not counted in SIZE.
  return kPjlEnter + "@PJL FSDOWNLOADFONT SIZE=" + sizeText(content_) + "\r\n\x1b*c00000D";
}

QByteArray TCP9100FilePCLFont::trailer() const { return kUniversalExit; }

TCP9100FilePCLMacro::TCP9100FilePCLMacro(QByteArray content) : TCP9100File(std::move(content)) {}

QByteArray TCP9100FilePCLMacro::header() const {
  // Macro ID and "start macro definition" wrap the content; SIZE counts the content only.
  return kPjlEnter + "@PJL FSDOWNLOADMACRO SIZE=" + sizeText(content_) + "\r\n\x1b&f00000Y\x1b&f0X";
}

QByteArray TCP9100FilePCLMacro::trailer() const { return "\x1b&f1X" + kUniversalExit; }

TCP9100FilePSFont::TCP9100FilePSFont(const QString& fontName, const QByteArray& content)
    : TCP9100File(QByteArray()), checksum_(0), name_(fontName) {
  checkPjlName(name_);
  content_ = binaryToAscii(content);
  checksum_ = checksumOf(content_);
}

QByteArray TCP9100FilePSFont::header() const {
  return psHeader("@PJL PSDOWNLOADFONT", name_, content_, checksum_);
}

QByteArray TCP9100FilePSFont::trailer() const { return kUniversalExit; }

QByteArray TCP9100FilePSFont::binaryToAscii(const QByteArray& font) {
  const auto* in = reinterpret_cast<const unsigned char*>(font.constData());
  const qsizetype size = font.size();

  // First pass: validate every segment and size the output exactly, so that the second pass
  // writes into one allocation without checks. A segment start without the mark means the
  // font is in text form already (even after converted segments): it goes out unchanged.
  qsizetype outSize = 0;
  unsigned char previous = kTextSegment;
  for (qsizetype pos = 0; pos < size;) {
    const Segment s = readSegment(in, size, pos);
    if (s.outcome == Segment::kNotSegmented) return font;
    if (s.type == kTextSegment) {
      if (previous != kTextSegment) outSize += 2;
      outSize += s.count + std::count(in + s.body, in + s.body + s.count, '\n');
    } else if (s.type == kBinarySegment) {
      if (previous == kTextSegment && outSize > 0) outSize += 2;
      outSize += hexSize(s.count);
    }
    if (s.type != kEndSegment) previous = s.type;
    pos = s.body + s.count;
  }

  QByteArray out(outSize, Qt::Uninitialized);
  char* w = out.data();
  char* const begin = w;
  previous = kTextSegment;
  for (qsizetype pos = 0; pos < size;) {
    const Segment s = readSegment(in, size, pos);
    if (s.type == kTextSegment) {
      if (previous != kTextSegment) {
        *w++ = '\r';
        *w++ = '\n';
      }
      w = writeText(in + s.body, s.count, w);
    } else if (s.type == kBinarySegment) {
      // Hex text starts on a line of its own after text.
      if (previous == kTextSegment && w != begin) {
        *w++ = '\r';
        *w++ = '\n';
      }
      w = writeHex(in + s.body, s.count, w);
    }
    if (s.type != kEndSegment) previous = s.type;
    pos = s.body + s.count;
  }
  Q_ASSERT(w == begin + outSize);
  return out;
}

TCP9100FilePSForm::TCP9100FilePSForm(const QString& fileName, QByteArray content)
    : TCP9100File(std::move(content)), checksum_(0), name_(lastPathComponent(fileName)) {
  checkPjlName(name_);
  checksum_ = checksumOf(content_);
}

QByteArray TCP9100FilePSForm::header() const {
  return psHeader("@PJL PSDOWNLOADFORM", name_, content_, checksum_);
}

QByteArray TCP9100FilePSForm::trailer() const { return kUniversalExit; }

}  // namespace Zarvo::dsm
