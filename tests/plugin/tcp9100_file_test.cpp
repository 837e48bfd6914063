// Byte-exact framing of the downloadable kinds, the PJL checksum, the text-form conversion of
// segmented binary PostScript fonts, and the refusal of names that would break the PJL line.
#include <gtest/gtest.h>

#include <cstdint>
#include <functional>
#include <memory>

#include "plugin/TCP9100File.h"
#include "tests/fakes/Bytes.h"

using testing_bytes::bytes;
using testing_bytes::hex;

namespace Zarvo::dsm {
namespace {

QByteArray frame(const TCP9100File& file) {
  return file.header() + file.content() + file.trailer();
}

// One segment of a segmented binary font: mark, type, little-endian length, body.
std::string segment(unsigned char type, const std::string& body) {
  std::string s{char(0x80), char(type)};
  const auto n = uint32_t(body.size());
  for (int shift = 0; shift < 32; shift += 8) s += char((n >> shift) & 0xFF);
  return s + body;
}
std::string segmentWithLength(unsigned char type, int32_t length, const std::string& body) {
  std::string s{char(0x80), char(type)};
  for (int shift = 0; shift < 32; shift += 8) s += char((uint32_t(length) >> shift) & 0xFF);
  return s + body;
}
const std::string kEnd{char(0x80), char(0x03)};

struct FrameCase {
  const char* why;
  std::function<std::unique_ptr<TCP9100File>()> make;
  std::string wire;
};

TEST(TCP9100File, FramesEachKindByteForByte) {
  const std::string textFont = "%!PS-AdobeFont-1.0: X\n/FontName /X def\n";
  const FrameCase kCases[] = {
      {"PCL font: ID assignment after the PJL line, not counted in SIZE",
       [] { return std::make_unique<TCP9100FilePCLFont>(QByteArray("\x1b)s3Wabc")); },
       "\x1b%-12345X@PJL\r\n@PJL FSDOWNLOADFONT SIZE=8\r\n\x1b*c00000D\x1b)s3Wabc"
       "\x1b%-12345X"},
      {"PCL macro of 0 bytes", [] { return std::make_unique<TCP9100FilePCLMacro>(QByteArray()); },
       "\x1b%-12345X@PJL\r\n@PJL FSDOWNLOADMACRO SIZE=0\r\n\x1b&f00000Y\x1b&f0X"
       "\x1b&f1X\x1b%-12345X"},
      {"PCL macro with a body",
       [] { return std::make_unique<TCP9100FilePCLMacro>(QByteArray("0123456789")); },
       "\x1b%-12345X@PJL\r\n@PJL FSDOWNLOADMACRO SIZE=10\r\n\x1b&f00000Y\x1b&f0X"
       "0123456789\x1b&f1X\x1b%-12345X"},
      {"PostScript font in text form goes unchanged, checksum of its bytes",
       [&] { return std::make_unique<TCP9100FilePSFont>("X", bytes(textFont)); },
       "\x1b%-12345X@PJL\r\n@PJL PSDOWNLOADFONT NAME=X SIZE=39 CHECKSUM=71\r\n" + textFont +
           "\x1b%-12345X"},
      {"PostScript font: SIZE and CHECKSUM of the converted content",
       [] {
         return std::make_unique<TCP9100FilePSFont>(
             "Bin", bytes(segment(1, "a\nb") + segment(2, std::string("\x00\xff", 2)) + kEnd));
       },
       "\x1b%-12345X@PJL\r\n@PJL PSDOWNLOADFONT NAME=Bin SIZE=10 CHECKSUM=29\r\n"
       "a\r\nb\r\n00ff\x1b%-12345X"},
      {"PostScript form named by the last component of a Windows path",
       [] { return std::make_unique<TCP9100FilePSForm>("C:\\forms\\inv.ps", "\xff\x02"); },
       "\x1b%-12345X@PJL\r\n@PJL PSDOWNLOADFORM NAME=inv.ps SIZE=2 CHECKSUM=1\r\n"
       "\xff\x02\x1b%-12345X"},
      {"form name with blanks and Latin-1, mixed separators",
       [] {
         return std::make_unique<TCP9100FilePSForm>(QString::fromUtf8("/up\\tmp/Re\u00e7u 2.ps"),
                                                    "");
       },
       "\x1b%-12345X@PJL\r\n@PJL PSDOWNLOADFORM NAME=Re\xe7u 2.ps SIZE=0 CHECKSUM=0\r\n"
       "\x1b%-12345X"},
  };
  for (const auto& c : kCases) {
    SCOPED_TRACE(c.why);
    EXPECT_EQ(hex(frame(*c.make())), hex(c.wire));
  }
}

struct ConversionCase {
  const char* why;
  std::string font;
  std::string text;
};

TEST(TCP9100FilePSFont, ConvertsSegmentedFontsToText) {
  const std::string forty(40, '\xab');
  const std::string line32 = [] {
    std::string s;
    for (int i = 0; i < 32; ++i) s += "ab";
    return s;
  }();
  const ConversionCase kCases[] = {
      {"text, binary, end", segment(1, "a\nb") + segment(2, std::string("\x00\xff", 2)) + kEnd,
       "a\r\nb\r\n00ff"},
      {"40 binary bytes: a full line and a short one", segment(2, forty) + kEnd,
       line32 + "\r\nabababababababab"},
      {"32 binary bytes: one full line, no break after", segment(2, std::string(32, '\xab')),
       line32},
      {"33 binary bytes: break before the 33rd", segment(2, std::string(33, '\xab')),
       line32 + "\r\nab"},
      {"line count restarts in each binary segment",
       segment(2, std::string(33, '\xab')) + segment(2, std::string(33, '\xab')),
       line32 + "\r\nab" + line32 + "\r\nab"},
      {"text after binary starts a new line", segment(2, "\x01") + segment(1, "x\ny"),
       "01\r\nx\r\ny"},
      {"text after text joins", segment(1, "ab") + segment(1, "cd"), "abcd"},
      {"binary first has no leading line break", segment(2, "\x10"), "10"},
      {"end segment lets the scan go on", segment(1, "a") + kEnd + segment(1, "b"), "ab"},
      {"length 0 copies nothing, line breaks stay",
       segment(1, "a") + segment(2, "") + segment(1, "b"), "a\r\n\r\nb"},
      {"negative length copies nothing", segmentWithLength(1, -5, "") + segment(1, "k"), "k"},
      {"font in text form comes out unchanged", "%!PS-AdobeFont\n/FontName /A def\n",
       "%!PS-AdobeFont\n/FontName /A def\n"},
      {"text after converted segments: the whole input unchanged", segment(1, "a\n") + "%!rest",
       segment(1, "a\n") + "%!rest"},
      {"empty input", "", ""},
  };
  for (const auto& c : kCases) {
    SCOPED_TRACE(std::string(c.why) + ": " + hex(c.font));
    EXPECT_EQ(hex(TCP9100FilePSFont::binaryToAscii(bytes(c.font))), hex(c.text));
  }
}

TEST(TCP9100FilePSFont, MalformedFontsThrowWithoutReadingPastTheEnd) {
  const ConversionCase kCases[] = {
      {"unknown segment type", segment(4, "x"), ""},
      {"type 0", segment(0, ""), ""},
      {"unknown type after good segments", segment(1, "ok") + segment(2, "\x01") + segment(9, ""),
       ""},
      {"mark at the very end", segment(1, "a") + "\x80", ""},
      {"length cut off", std::string("\x80\x01\x05\x00", 4), ""},
      {"type 2 header without length", std::string("\x80\x02", 2), ""},
      {"length runs past the end", segmentWithLength(2, 10, "abc"), ""},
      {"largest length with a short body", segmentWithLength(1, 0x7fffffff, "abc"), ""},
      {"last segment one byte short", segment(1, "abc").substr(0, 8), ""},
  };
  for (const auto& c : kCases) {
    SCOPED_TRACE(std::string(c.why) + ": " + hex(c.font));
    // The data is copied into a buffer of its own so that ASan sees any read past its end.
    const QByteArray exact(c.font.data(), qsizetype(c.font.size()));
    EXPECT_THROW((void)TCP9100FilePSFont::binaryToAscii(exact),
                 TCP9100FilePSFont::Binary2AsciiError);
    EXPECT_THROW(TCP9100FilePSFont("F", exact), TCP9100FilePSFont::Binary2AsciiError);
  }
}

TEST(TCP9100File, NamesThatWouldBreakThePjlLineAreRefused) {
  const struct {
    const char* why;
    QString name;
  } kCases[] = {
      {"CR LF and a PJL command", "x.ps\r\n@PJL DELETE"},
      {"LF alone", "a\nb"},
      {"tab", "a\tb"},
      {"NUL", QString(QChar(0)) + "a"},
      {"ESC would start a printer command", "a\x1b%-12345X"},
      {"DEL", "a\x7f"},
  };
  for (const auto& c : kCases) {
    SCOPED_TRACE(c.why);
    EXPECT_THROW(TCP9100FilePSFont(c.name, "%!PS-AdobeFont"), TCP9100File::BadName);
    EXPECT_THROW(TCP9100FilePSForm("C:\\forms\\" + c.name, "x"), TCP9100File::BadName);
  }
  // Only the component that is announced matters for a form.
  EXPECT_EQ(TCP9100FilePSForm("odd\ndir/inv.ps", "x").name(), "inv.ps");
}

}  // namespace

}  // namespace Zarvo::dsm
