// The input layer below the markup reader: encoding detection, the declared-encoding check,
// decoding to UTF-8 with line ends folded, push-back and marks over entity levels, and the
// byte sources.
#include <gtest/gtest.h>
#include <unistd.h>

#include <algorithm>
#include <cstdio>
#include <string>

#include "lmx/lmx_read.h"
#include "tests/fakes/Bytes.h"

namespace {

using testing_bytes::hex;

std::string B(std::initializer_list<int> bytes) {
  std::string s;
  for (int b : bytes) s.push_back(static_cast<char>(b));
  return s;
}

// Drains the whole decoded stream of `input`.
std::string drain(lmx::c_input& input) {
  std::string out;
  for (int b = input.next_byte(); b >= 0; b = input.next_byte())
    out.push_back(static_cast<char>(b));
  return out;
}

struct Decoded {
  std::string text;
  lmx::elmx_char_encoding mode;
  int line;
  unsigned malformed;
  int error_code;
  int fatal_count;
};

Decoded decode(const std::string& bytes) {
  lmx::c_read_memory source(bytes.data(), bytes.size());
  lmx::c_error errors;
  lmx::c_input input(source, errors);
  Decoded d;
  d.text = drain(input);
  d.mode = input.encoding();
  d.line = input.line();
  d.malformed = input.malformed_count();
  d.error_code = errors.code();
  d.fatal_count = errors.fatal_count();
  return d;
}

TEST(InputDetection, FirstBytesChooseTheEncodingOrFailWithCode6) {
  struct Row {
    const char* why;
    std::string bytes;
    lmx::elmx_char_encoding mode;
    std::string text;
    int code;
  };
  const Row rows[] = {
      {"UTF-16LE byte-order mark", B({0xFF, 0xFE, '<', 0, 'a', 0}), lmx::ELMX_ENC_UTF16LE, "<a", 0},
      {"FF FE then 0 is not UTF-16", B({0xFF, 0xFE, 0, 0}), lmx::ELMX_ENC_UNDETECTED, "", 6},
      {"UTF-16BE byte-order mark", B({0xFE, 0xFF, 0, '<', 0, 'a'}), lmx::ELMX_ENC_UTF16BE, "<a", 0},
      {"FE FF must be followed by 0", B({0xFE, 0xFF, '<', 0}), lmx::ELMX_ENC_UNDETECTED, "", 6},
      {"UTF-8 byte-order mark", B({0xEF, 0xBB, 0xBF, '<', 'a'}), lmx::ELMX_ENC_UTF8, "<a", 0},
      {"broken UTF-8 mark", B({0xEF, 0xBB, '<'}), lmx::ELMX_ENC_UNDETECTED, "", 6},
      {"'<' then non-zero is UTF-8", "<a", lmx::ELMX_ENC_UTF8, "<a", 0},
      {"whitespace then 0 is UTF-16LE", B({' ', 0, '<', 0}), lmx::ELMX_ENC_UTF16LE, " <", 0},
      {"0 then '<' is UTF-16BE", B({0, '<', 0, 'a'}), lmx::ELMX_ENC_UTF16BE, "<a", 0},
      {"0 then a letter is unknown", B({0, 'a'}), lmx::ELMX_ENC_UNDETECTED, "", 6},
      {"a letter first is unknown", "x<a/>", lmx::ELMX_ENC_UNDETECTED, "", 6},
      {"an empty input just ends", "", lmx::ELMX_ENC_UNDETECTED, "", 0},
  };
  for (const Row& r : rows) {
    SCOPED_TRACE(r.why);
    const Decoded d = decode(r.bytes);
    EXPECT_EQ(d.mode, r.mode);
    EXPECT_EQ(hex(d.text), hex(r.text));
    EXPECT_EQ(d.error_code, r.code);
    EXPECT_EQ(d.fatal_count, r.code == 0 ? 0 : 1);
  }
}

TEST(InputDetection, DeclaredEncodingIsCheckedAgainstTheBytes) {
  struct Row {
    const char* why;
    std::string first_bytes;
    const char* declared;
    int code;
    lmx::elmx_char_encoding after;
  };
  const std::string utf8 = "<a";
  const std::string le = B({0xFF, 0xFE, '<', 0});
  const std::string be = B({0, '<', 0, 'a'});
  const Row rows[] = {
      {"UTF-8 in UTF-8", utf8, "UTF-8", 0, lmx::ELMX_ENC_UTF8},
      {"Latin-1 switches to single-byte", utf8, "ISO-8859-1", 0, lmx::ELMX_ENC_SINGLE_BYTE},
      {"US-ASCII switches to single-byte", utf8, "US-ASCII", 0, lmx::ELMX_ENC_SINGLE_BYTE},
      {"UTF-16 in UTF-16LE", le, "UTF-16", 0, lmx::ELMX_ENC_UTF16LE},
      {"UCS-2 named on LE bytes", le, "ISO-10646-UCS-2", 0, lmx::ELMX_ENC_UCS2LE},
      {"UCS-2 named on BE bytes", be, "iso-10646-ucs-2", 0, lmx::ELMX_ENC_UCS2BE},
      {"UCS-2 named on UTF-8 bytes", utf8, "ISO-10646-UCS-2", 15, lmx::ELMX_ENC_UTF8},
      {"UTF-8 named on UTF-16 bytes", le, "UTF-8", 6, lmx::ELMX_ENC_UTF16LE},
      {"an unknown name", utf8, "EBCDIC", 6, lmx::ELMX_ENC_UTF8},
  };
  for (const Row& r : rows) {
    SCOPED_TRACE(r.why);
    lmx::c_read_memory source(r.first_bytes.data(), r.first_bytes.size());
    lmx::c_error errors;
    lmx::c_input input(source, errors);
    ASSERT_EQ(input.next_byte(), '<');
    EXPECT_EQ(input.check_declared_encoding(r.declared), r.code);
    EXPECT_EQ(input.encoding(), r.after);
    EXPECT_EQ(errors.code(), r.code);
    if (r.code != 0) {
      EXPECT_TRUE(errors.has_fatal());
    }
  }
}

TEST(InputDecoding, TextLineEndsAndReports) {
  // `wide` holds U+00E9, U+20AC and U+1F600; `malformed` -1 means not checked.
  const std::string wide = B({'<', 0xC3, 0xA9, 0xE2, 0x82, 0xAC, 0xF0, 0x9F, 0x98, 0x80});
  const std::string fffd = B({0xEF, 0xBF, 0xBD});
  struct Row {
    const char* why;
    std::string bytes;
    std::string text;
    int malformed;
    int code;
  };
  const Row rows[] = {
      {"CR LF counts once", "<a\r\nb\r\n", "<a\nb\n", 0, 0},
      {"lone CR is a line end", "<a\rb\r", "<a\nb\n", 0, 0},
      {"CR CR LF is two line ends", "<\r\r\n", "<\n\n", 0, 0},
      {"U+0085 is a line end", B({'<', 0xC2, 0x85, 'b'}), "<\nb", 0, 0},
      {"U+2028 is a line end", B({'<', 0xE2, 0x80, 0xA8, 'b'}), "<\nb", 0, 0},
      {"CR then U+0085 counts once", B({'<', '\r', 0xC2, 0x85, 'b'}), "<\nb", 0, 0},
      {"UTF-16LE CR LF", B({'<', 0, '\r', 0, '\n', 0, 'b', 0}), "<\nb", 0, 0},
      {"UTF-8", wide, wide, 0, 0},
      {"UTF-8 surrogate pair as two sequences",
       B({'<', 0xC3, 0xA9, 0xE2, 0x82, 0xAC, 0xED, 0xA0, 0xBD, 0xED, 0xB8, 0x80}), wide, 0, 0},
      {"UTF-16LE pair", B({'<', 0, 0xE9, 0, 0xAC, 0x20, 0x3D, 0xD8, 0x00, 0xDE}), wide, 0, 0},
      {"UTF-16BE pair", B({0, '<', 0, 0xE9, 0x20, 0xAC, 0xD8, 0x3D, 0xDE, 0x00}), wide, 0, 0},
      {"bad continuation keeps the next byte", B({'<', 0xC3, '<', 'b'}), "<" + fffd + "<b", 1, 0},
      {"stray continuation byte", B({'<', 0x80, 'b'}), "<" + fffd + "b", 1, 0},
      {"overlong two-byte form", B({'<', 0xC0, 0xBC, 'b'}), "<" + fffd + "b", 1, 0},
      {"overlong three-byte form", B({'<', 0xE0, 0x80, 0xBC, 'b'}), "<" + fffd + "b", 1, 0},
      {"above U+10FFFF", B({'<', 0xF4, 0x90, 0x80, 0x80, 'b'}), "<" + fffd + "b", 1, 0},
      {"five-byte form", B({'<', 0xF8, 0x88, 0x80, 0x80, 0x80, 'b'}), "<" + fffd + "b", 1, 0},
      {"low surrogate alone", B({'<', 0xED, 0xB0, 0x80, 'b'}), "<" + fffd + "b", 1, 0},
      {"UTF-8 lead byte last", B({'<', 'a', 0xE2}), "<a", -1, 0},
      {"UTF-8 sequence cut short", B({'<', 'a', 0xF0, 0x9F, 0x98}), "<a", -1, 0},
      {"high surrogate sequence not followed by a low one",
       B({'<', 0xED, 0xA0, 0xBD, 'b', 'c', 'd'}), "<", -1, 0},
      {"UTF-16 odd final byte", B({'<', 0, 'a', 0, 'b'}), "<a", -1, 0},
      {"UTF-16 high surrogate then a letter", B({'<', 0, 0x3D, 0xD8, 'b', 0, 'c', 0}), "<", -1, 6},
      {"UTF-16 high surrogate last", B({'<', 0, 0x3D, 0xD8}), "<", -1, 6},
  };
  for (const Row& r : rows) {
    SCOPED_TRACE(r.why);
    const Decoded d = decode(r.bytes);
    EXPECT_EQ(hex(d.text), hex(r.text));
    EXPECT_EQ(d.line, 1 + std::count(r.text.begin(), r.text.end(), '\n'));
    if (r.malformed >= 0) {
      EXPECT_EQ(d.malformed, static_cast<unsigned>(r.malformed));
    }
    EXPECT_EQ(d.error_code, r.code);
  }
}

TEST(InputDecoding, Ucs2HasNoSurrogatePairs) {
  // A surrogate unit is no character in UCS-2: replaced and counted, so a value holding it fails.
  const std::string bytes = B({'<', 0, 0xE9, 0, 0x3D, 0xD8, 'b', 0});
  lmx::c_read_memory source(bytes.data(), bytes.size());
  lmx::c_error errors;
  lmx::c_input input(source, errors);
  ASSERT_EQ(input.next_byte(), '<');
  ASSERT_EQ(input.check_declared_encoding("ISO-10646-UCS-2"), 0);
  EXPECT_EQ(hex(drain(input)), hex(B({0xC3, 0xA9, 0xEF, 0xBF, 0xBD, 'b'})));
  EXPECT_EQ(input.malformed_count(), 1u);
}

TEST(InputLevels, PushBackMarkAndEntityLevels) {
  const std::string doc = "<a\nb>";
  lmx::c_read_memory source(doc.data(), doc.size());
  lmx::c_error errors;
  lmx::c_input input(source, errors);
  EXPECT_EQ(input.next_byte(), '<');
  EXPECT_EQ(input.next_byte(), 'a');
  EXPECT_EQ(input.next_byte(), '\n');
  EXPECT_EQ(input.line(), 2);
  input.push_back('\n');  // giving back a line feed takes the line back
  EXPECT_EQ(input.line(), 1);

  input.mark();
  EXPECT_EQ(input.next_byte(), '\n');
  ASSERT_EQ(input.push_entity("&e", std::make_shared<const std::string>("xy")),
            lmx::c_input::push_result::pushed);
  EXPECT_EQ(input.depth(), 1u);
  EXPECT_EQ(input.next_byte(), 'x');
  // The same entity cannot be entered again while it is on the stack.
  EXPECT_EQ(input.push_entity("&e", std::make_shared<const std::string>("xy")),
            lmx::c_input::push_result::recursive);
  input.push_back('x');
  EXPECT_EQ(input.next_byte(), 'x');
  EXPECT_EQ(input.next_byte(), 'y');
  EXPECT_EQ(input.next_byte(), 'b');
  EXPECT_EQ(input.depth(), 0u);

  input.return_to_mark();  // back before the line feed, the entity gone again
  EXPECT_EQ(input.line(), 1);
  EXPECT_EQ(drain(input), "\nb>");
  EXPECT_EQ(input.line(), 2);
}

TEST(Sources, FileSourceReadsMarksAndRewinds) {
  char path[] = "/tmp/lmx_read_testXXXXXX";
  const int fd = mkstemp(path);
  ASSERT_GE(fd, 0);
  ASSERT_EQ(write(fd, "<a>b</a>", 8), 8);
  close(fd);
  {
    lmx::c_read_file file{std::string(path)};
    ASSERT_TRUE(file.is_open());
    EXPECT_EQ(file.source_name(), path);
    EXPECT_EQ(file.get_byte(), '<');
    file.mark();
    EXPECT_EQ(file.get_byte(), 'a');
    file.return_to_mark();
    EXPECT_EQ(file.get_byte(), 'a');
    file.rewind();
    EXPECT_EQ(file.get_byte(), '<');
  }
  {
    // The wide-path form reaches the same file.
    std::u16string wide;
    for (const char* p = path; *p != '\0'; ++p) wide.push_back(static_cast<char16_t>(*p));
    lmx::c_read_file file{wide};
    ASSERT_TRUE(file.is_open());
    lmx::c_error errors;
    lmx::c_input input(file, errors);
    EXPECT_EQ(drain(input), "<a>b</a>");
  }
  unlink(path);
  lmx::c_read_file missing{std::string("/nonexistent/dir/file.xml")};
  EXPECT_FALSE(missing.is_open());
  EXPECT_EQ(missing.get_byte(), -1);
}

}  // namespace
