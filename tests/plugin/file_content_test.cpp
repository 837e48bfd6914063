// Type and ID recognition of uploaded files, and ID rewriting of PCL fonts and macros.
#include <gtest/gtest.h>

#include "plugin/FileContent.h"
#include "tests/fakes/Bytes.h"

using testing_bytes::bytes;
using testing_bytes::hex;

namespace Zarvo::dsm {
namespace {

// 64 bytes standing for a font header's body; no ESC, no digits, no "D".
const std::string kHeader(64, 'h');

struct InspectCase {
  const char* why;
  std::string data;
  int kind;
  quint16 id;
};

TEST(InspectPclFile, RecognisesFontsMacrosAndNeither) {
  const InspectCase kCases[] = {
      {"bare font header", "\x1b)s64W" + kHeader, kPclFont, kNoPclId},
      {"ID assignment then header", "\x1b*c12D\x1b)s64W" + kHeader, kPclFont, 12},
      {"empty ID digits are ID 0", "\x1b*cD\x1b)s64W" + kHeader, kPclFont, 0},
      {"largest ID", "\x1b*c32767D\x1b)s64W" + kHeader, kPclFont, 32767},
      {"ID above range is skipped, header still counts", "\x1b*c40000D\x1b)s64W" + kHeader,
       kPclFont, kNoPclId},
      {"32768 is out of range", "\x1b*c32768D\x1b)s64W" + kHeader, kPclFont, kNoPclId},
      {"huge digit run does not wrap into range", "\x1b*c4294967308D\x1b)s64W" + kHeader, kPclFont,
       kNoPclId},
      {"header search skips a header without W", "\x1b*c3D\x1b)s64Q..D\x1b)s2W", kPclFont, 3},
      {"reset before macro ID is skipped",
       "\x1b"
       "E\x1b&f5Y\x1b&f0Xbody",
       kPclMacro, 5},
      {"lowercase macro ID", "\x1b&f6y", kPclMacro, 6},
      {"macro control without ID", "\x1b&f0Xbody", kPclMacro, kNoPclId},
      {"lowercase macro control", "\x1b&f1x", kPclMacro, kNoPclId},
      {"macro ID above range skipped", "\x1b&f40000Y\x1b&f2Y", kPclMacro, 2},
      {"unknown macro command skipped", "\x1b&f5Z\x1b&f3y", kPclMacro, 3},
      {"header without W skipped", "\x1b)s64X\x1b&f3y", kPclMacro, 3},
      {"no ESC at all", "just some text", kNotPcl, 0},
      {"empty", "", kNotPcl, 0},
      {"other commands only",
       "\x1b"
       "E\x1b(8U\x1b&l0O",
       kNotPcl, 0},
      {"ID without header consumes the rest", "\x1b*c12D text \x1b&f5Y", kNotPcl, 0},
      {"data ends in ID digits", "\x1b*c12", kNotPcl, 0},
      {"data ends in header size", "\x1b*c12D\x1b)s64", kNotPcl, 0},
      {"data ends in bare header size", "\x1b)s64", kNotPcl, 0},
      {"data ends in macro ID", "\x1b&f5", kNotPcl, 0},
      {"data ends after ESC &f", "\x1b&f", kNotPcl, 0},
      {"lone ESC at the end", "abc\x1b", kNotPcl, 0},
  };
  for (const auto& c : kCases) {
    SCOPED_TRACE(std::string(c.why) + ": " + hex(c.data));
    const PclFileInfo info = inspectPclFile(bytes(c.data));
    EXPECT_EQ(info.kind, c.kind);
    EXPECT_EQ(info.id, c.id);
  }
}

struct FontNameCase {
  const char* why;
  std::string data;
  bool isFont;
  QString name;
};

TEST(PostScriptFontName, ReadsTheNameAfterFontName) {
  const FontNameCase kCases[] = {
      {"plain font", "%!PS-AdobeFont-1.0: Times-Roman\n/FontName /Times-Roman def\n", true,
       "Times-Roman"},
      {"white space around the name", "%!PS-AdobeFont\n/FontName\t /Courier-Bold \r\ndef", true,
       "Courier-Bold"},
      {"no blank before the name", "%!PS-AdobeFont /FontName/Symbol def", true, "Symbol"},
      {"first FontName wins", "%!PS-AdobeFont /FontName /A def /FontName /B def", true, "A"},
      {"Latin-1 bytes", "%!PS-AdobeFont /FontName /Caf\xe9 def", true, QString::fromUtf8("Café")},
      {"no font marker", "%!PS-Adobe-3.0 /FontName /Times-Roman def", false, ""},
      {"no FontName", "%!PS-AdobeFont /FamilyName /Times def", false, ""},
      {"name is not a literal", "%!PS-AdobeFont /FontName Times def", false, ""},
      {"empty name", "%!PS-AdobeFont /FontName   def", false, ""},
      {"a slash and nothing else", "%!PS-AdobeFont /FontName /\rdef", false, ""},
      {"no def after the name", "%!PS-AdobeFont /FontName /Times", false, ""},
      {"def only before FontName", "%!PS-AdobeFont def /FontName /Times", false, ""},
  };
  for (const auto& c : kCases) {
    SCOPED_TRACE(std::string(c.why) + ": " + hex(c.data));
    const auto [isFont, name] = postScriptFontName(bytes(c.data));
    EXPECT_EQ(isFont, c.isFont);
    EXPECT_EQ(name, c.name);
  }
}

struct SetIdCase {
  const char* why;
  std::string data;
  int id;
  bool done;
  std::string expected;
};

TEST(SetPclFileId, RewritesTheFirstCommand) {
  const std::string body = "macro text \x1b*p100x200Y end";
  const SetIdCase kCases[] = {
      {"ID put before a bare header", "\x1b)s64W" + kHeader, 7, true,
       "\x1b*c7D\x1b)s64W" + kHeader},
      {"ID 0 has no digits", "\x1b)s64W" + kHeader, 0, true, "\x1b*cD\x1b)s64W" + kHeader},
      {"old ID digits replaced", "\x1b*c12D\x1b)s64W" + kHeader, 345, true,
       "\x1b*c345D\x1b)s64W" + kHeader},
      {"old ID replaced by 0", "\x1b*c12D\x1b)s64W" + kHeader, 0, true,
       "\x1b*cD\x1b)s64W" + kHeader},
      {"bytes before the command dropped", "junk\r\n\x1b)s64W" + kHeader, 32767, true,
       "\x1b*c32767D\x1b)s64W" + kHeader},
      {"macro gets reset and new ID",
       "\x1b"
       "E\x1b&f5Y\x1b&f0X" +
           body,
       9, true,
       "\x1b"
       "E\x1b&f9Y\x1b&f0X" +
           body},
      {"macro ID 0 is written as 0", "\x1b&f5Y\x1b&f0X" + body, 0, true,
       "\x1b"
       "E\x1b&f0Y\x1b&f0X" +
           body},
      {"lowercase definition start", "\x1b&f5Y\x1b&f0x" + body, 4, true,
       "\x1b"
       "E\x1b&f4Y\x1b&f0x" +
           body},
      {"definition start at the macro command itself", "\x1b&f0X" + body, 3, true,
       "\x1b"
       "E\x1b&f3Y\x1b&f0X" +
           body},
      // A lowercase "x" five bytes into other text must not be taken for the definition.
      {"x in text before the definition", "\x1b&f5Y abcdx \x1b&f01x \x1b&f0X" + body, 2, true,
       "\x1b"
       "E\x1b&f2Y\x1b&f0X" +
           body},
      {"ID above range", "\x1b)s64W" + kHeader, 32768, false, ""},
      {"negative ID", "\x1b)s64W" + kHeader, -1, false, ""},
      {"empty data", "", 1, false, ""},
      {"no PCL command", "%!PS-AdobeFont /FontName /X def", 1, false, ""},
      {"ID assignment never ended", "\x1b*c12\x1b)s64W", 1, false, ""},
      {"macro without definition start", "\x1b&f5Y\x1b&f1X text", 1, false, ""},
      {"definition start cut off", "\x1b&f5Y\x1b&f0", 1, false, ""},
  };
  for (const auto& c : kCases) {
    SCOPED_TRACE(std::string(c.why) + ": " + hex(c.data));
    const auto [done, rewritten] = setPclFileId(bytes(c.data), c.id);
    EXPECT_EQ(done, c.done);
    if (done) {
      EXPECT_EQ(hex(rewritten), hex(c.expected));
    }
  }
}

// What the store relies on: a rewritten file is recognised with the ID it was given.
TEST(SetPclFileId, RewrittenFileReadsBackWithItsId) {
  const std::pair<std::string, int> kFiles[] = {{"\x1b)s64W" + kHeader, kPclFont},
                                                {"\x1b&f5Y\x1b&f0Xbody\x1b&f1X", kPclMacro}};
  for (const auto& [file, kind] : kFiles) {
    for (const int id : {0, 1, 7, 12345, 32767}) {
      SCOPED_TRACE(id);
      const auto [done, rewritten] = setPclFileId(bytes(file), id);
      ASSERT_TRUE(done);
      const PclFileInfo info = inspectPclFile(rewritten);
      EXPECT_EQ(info.kind, kind);
      EXPECT_EQ(info.id, id);
    }
  }
}

}  // namespace

}  // namespace Zarvo::dsm
