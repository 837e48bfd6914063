// Value conversions of the XML runtime: lexical checks, bounds compared on text, conversions in
// both directions, strict UTF-8 decoding and escaped UTF-8 encoding.
#include "lmx/lmx_types.h"

#include <gtest/gtest.h>

#include <cmath>
#include <limits>
#include <type_traits>

#include "tests/fakes/Bytes.h"

namespace {

using testing_bytes::hex;

// Runs the checks in the order the generated classes run them for a bounded number read with
// whitespace collapsed: format, lower bound, upper bound, then the conversion.
template <typename T>
int read_bounded(std::string_view raw, std::string_view min, std::string_view max, T& out) {
  const std::string text = lmx::whitespace_collapsed(raw);
  if (int code = lmx::check_integer_format(text); code != 0) return code;
  if (int code = lmx::check_min_inclusive(text, min); code != 0) return code;
  if (int code = lmx::check_max_inclusive(text, max); code != 0) return code;
  if constexpr (std::is_same_v<T, std::int32_t>) {
    return lmx::convert_int32(text, out);
  } else {
    return lmx::convert_uint32(text, out);
  }
}

struct IntCase {
  const char* why;
  const char* text;
  int code;
  std::int64_t value;  // when code is 0
};

TEST(TypesBounds, ValuesAreCheckedOnTheirText) {
  const IntCase kSigned[] = {
      {"one past the maximum", "2147483648", lmx::ELMX_VALUE_EXCEEDS_MAX, 0},
      {"one below the minimum", "-2147483649", lmx::ELMX_VALUE_EXCEEDS_MIN, 0},
      {"maximum with leading zeros", "0002147483647", 0, 2147483647},
      {"minimum with zeros after the sign", "-0002147483648", 0, -2147483648LL},
      {"plus sign", "+17", 0, 17},
      {"surrounding blanks collapse away", " 42 ", 0, 42},
      {"twenty digits would overflow any conversion", "99999999999999999999", 36, 0},
      {"letter after digits", "12a", lmx::ELMX_VALUE_BAD_FORMAT, 0},
      {"empty", "", lmx::ELMX_VALUE_BAD_FORMAT, 0},
      {"sign alone", "-", lmx::ELMX_VALUE_BAD_FORMAT, 0},
      {"inner blank stays after collapse", "4 2", lmx::ELMX_VALUE_BAD_FORMAT, 0},
  };
  for (const IntCase& c : kSigned) {
    SCOPED_TRACE(c.why);
    std::int32_t v = 12345;
    EXPECT_EQ(read_bounded(c.text, lmx::k_int32_min_text, lmx::k_int32_max_text, v), c.code);
    EXPECT_EQ(v, c.code == 0 ? c.value : 12345) << "the value changes only on success";
  }
  const IntCase kUnsigned[] = {
      {"one past the maximum", "4294967296", lmx::ELMX_VALUE_EXCEEDS_MAX, 0},
      {"minus one", "-1", lmx::ELMX_VALUE_EXCEEDS_MIN, 0},
      {"maximum with plus and zeros", "+0004294967295", 0, 4294967295LL},
      {"negative zero is zero", "-000", 0, 0},
      {"huge negative is below, not above", "-99999999999999", lmx::ELMX_VALUE_EXCEEDS_MIN, 0},
  };
  for (const IntCase& c : kUnsigned) {
    SCOPED_TRACE(c.why);
    std::uint32_t v = 7;
    EXPECT_EQ(read_bounded(c.text, lmx::k_uint32_min_text, lmx::k_uint32_max_text, v), c.code);
    EXPECT_EQ(v, c.code == 0 ? static_cast<std::uint32_t>(c.value) : 7u);
  }
}

TEST(TypesInteger, UnboundedTextIsNormalised) {
  struct Case {
    const char* why;
    const char* text;
    int code;
    const char* kept;
  } const kCases[] = {
      {"leading zeros removed", "0006", 0, "6"},
      {"minus kept, zeros removed", "-007", 0, "-7"},
      {"all zeros become one zero", "0000", 0, "0"},
      {"negative zero becomes zero", "-00", 0, "0"},
      {"twenty nines kept whole", "99999999999999999999", 0, "99999999999999999999"},
      {"letter refused", "6x", lmx::ELMX_VALUE_BAD_FORMAT, "unchanged"},
  };
  for (const Case& c : kCases) {
    SCOPED_TRACE(c.why);
    std::string out = "unchanged";
    EXPECT_EQ(lmx::convert_integer(c.text, out), c.code);
    EXPECT_EQ(out, c.kept);
  }
}

TEST(TypesBool, ReadsFourFormsOnly) {
  struct Case {
    const char* text;
    int code;
    bool value;
  } const kCases[] = {
      {"true", 0, true}, {"1", 0, true},   {"false", 0, false}, {"0", 0, false},
      {"TRUE", 35, false}, {"yes", 35, false}, {"", 35, false}, {"01", 35, false},
  };
  for (const Case& c : kCases) {
    SCOPED_TRACE(c.text);
    bool v = !c.value;
    EXPECT_EQ(lmx::convert_bool(c.text, v), c.code);
    if (c.code == 0) {
      EXPECT_EQ(v, c.value);
    }
  }
}

TEST(TypesFloat, WritesSpecialValuesAndSignificantDigits) {
  const float inf = std::numeric_limits<float>::infinity();
  struct Case {
    const char* why;
    double value;
    const char* as_float;
    const char* as_double;
  } const kCases[] = {
      {"not a number", std::nan(""), "NaN", "NaN"},
      {"positive infinity", inf, "INF", "INF"},
      {"negative infinity", -inf, "-INF", "-INF"},
      {"positive zero", 0.0, "0.0", "0.0"},
      {"negative zero keeps its sign", -0.0, "-0.0", "-0.0"},
      {"short value without padding", 1.5, "1.5", "1.5"},
      {"pi", 3.14159265358979, "3.141593", "3.1415926535898"},
      {"large", 1e10, "1e+10", "10000000000"},
  };
  for (const Case& c : kCases) {
    SCOPED_TRACE(c.why);
    EXPECT_EQ(lmx::float_to_text(static_cast<float>(c.value)), c.as_float);
    EXPECT_EQ(lmx::double_to_text(c.value), c.as_double);
  }
}

TEST(TypesFloat, ReadsLexicalFormsAndSaturatesOutOfRange) {
  const double inf = std::numeric_limits<double>::infinity();
  static const std::string kManyNines(400, '9');
  struct Case {
    const char* why;
    const char* text;
    int code;
    double value;
  } const kCases[] = {
      {"fraction", "-0.5", 0, -0.5},
      {"plus sign", "+2.5", 0, 2.5},
      {"exponent", "1.5E3", 0, 1500},
      {"leading point", ".25", 0, 0.25},
      {"trailing point", "3.", 0, 3},
      {"positive infinity word", "INF", 0, inf},
      {"negative infinity word", "-INF", 0, -inf},
      {"overflow becomes infinity", "1e400", 0, inf},
      {"long integer part overflows", kManyNines.c_str(), 0, inf},
      {"underflow becomes zero", "1e-400", 0, 0},
      {"long fraction underflows", "0.00000000000000000000000000001e-300", 0, 0},
      {"lower-case infinity refused", "inf", 35, 0},
      {"plus infinity refused", "+INF", 35, 0},
      {"decimal comma refused", "1,5", 35, 0},
      {"exponent without digits", "1e", 35, 0},
      {"empty", "", 35, 0},
  };
  for (const Case& c : kCases) {
    SCOPED_TRACE(c.why);
    double v = 99;
    EXPECT_EQ(lmx::convert_double(c.text, v), c.code);
    if (c.code == 0) {
      EXPECT_EQ(v, c.value);
    } else {
      EXPECT_EQ(v, 99) << "unchanged on failure";
    }
  }
  double nan = 0;
  ASSERT_EQ(lmx::convert_double("NaN", nan), 0);
  EXPECT_TRUE(std::isnan(nan));
  float f = 0;
  ASSERT_EQ(lmx::convert_float("1e39", f), 0);
  EXPECT_TRUE(std::isinf(f)) << "beyond float's range but inside double's";
  ASSERT_EQ(lmx::convert_float("-0.0", f), 0);
  EXPECT_TRUE(std::signbit(f));
}

TEST(TypesFloat, WrittenTextReadsBackWithinItsPrecision) {
  for (const double d : {1.0 / 3, -123456.789, 6.02214076e23, 1.5e-300, 4.9e-324}) {
    SCOPED_TRACE(d);
    double back = 0;
    ASSERT_EQ(lmx::convert_double(lmx::double_to_text(d), back), 0);
    EXPECT_NEAR(back, d, std::fabs(d) * 1e-13);
    float fb = 0;
    const float f = static_cast<float>(d);
    ASSERT_EQ(lmx::convert_float(lmx::float_to_text(f), fb), 0);
    EXPECT_NEAR(fb, f, std::fabs(f) * 1e-6);
  }
}

TEST(TypesWhitespace, ReplaceAndCollapse) {
  EXPECT_EQ(lmx::whitespace_replaced("a\tb\r\nc "), "a b  c ");
  struct Case {
    const char* text;
    const char* collapsed;
  } const kCases[] = {
      {"  a  b  ", "a b"}, {"\t\n", ""}, {"a\r\n\tb", "a b"}, {"", ""}, {"x", "x"},
  };
  for (const Case& c : kCases) {
    SCOPED_TRACE(c.text);
    EXPECT_EQ(lmx::whitespace_collapsed(c.text), c.collapsed);
  }
}

TEST(TypesUtf8, ValidInputBecomesUtf16) {
  struct Case {
    const char* why;
    std::string utf8;
    std::u16string utf16;
  } const kCases[] = {
      {"two bytes", "\xC3\xA9", u"\u00E9"},
      {"four bytes become a surrogate pair", "\xF0\x9F\x98\x80", u"\U0001F600"},
      {"embedded NUL kept", std::string("a\0b", 3), std::u16string(u"a\0b", 3)},
      {"empty", "", u""},
  };
  for (const Case& c : kCases) {
    SCOPED_TRACE(c.why);
    std::u16string out = u"old";
    ASSERT_TRUE(lmx::utf8_to_utf16(c.utf8, out));
    EXPECT_EQ(out, c.utf16);
  }
}

TEST(TypesUtf8, MalformedInputFailsInsteadOfCuttingTheValue) {
  struct Case {
    const char* why;
    std::string utf8;
  } const kCases[] = {
      {"bad continuation byte", "ab\xC3(cd"},
      {"truncated at the end", "ab\xE2\x82"},
      {"stray continuation byte", "a\x80z"},
      {"overlong two-byte slash", "\xC0\xAF"},
      {"overlong three-byte", "\xE0\x80\xAF"},
      {"overlong four-byte", "\xF0\x80\x80\xAF"},
      {"above U+10FFFF", "\xF4\x90\x80\x80"},
      {"five-byte lead", "\xF8\x88\x80\x80\x80"},
      {"encoded high surrogate", "\xED\xA0\x80"},
      {"encoded low surrogate", "x\xED\xBF\xBFy"},
  };
  for (const Case& c : kCases) {
    SCOPED_TRACE(c.why);
    std::u16string out = u"untouched";
    EXPECT_FALSE(lmx::utf8_to_utf16(c.utf8, out));
    EXPECT_EQ(out, u"untouched");
  }
}

TEST(TypesEscape, MarkupAndUtf8) {
  struct Case {
    const char* why;
    std::u16string text;
    std::string written;
    bool whole;
  } const kCases[] = {
      {"the five markup characters in order", u"<>&\"'", "&lt;>&amp;&quot;&apos;", true},
      {"e acute is two bytes", u"\u00E9", "\xC3\xA9", true},
      {"surrogate pair is four bytes", u"a\U0001F600b", "a\xF0\x9F\x98\x80" "b", true},
      {"CDATA end would break the document", u"x]]>y", "x]]&gt;y", true},
      {"longer bracket run", u"]]]>", "]]]&gt;", true},
      {"split brackets stay", u"] ]>", "] ]>", true},
      {"unpaired high surrogate at the end stops there", u"ab\xD83D", "ab", false},
      {"high surrogate before a normal char stops there", u"ab\xD83D" u"cd", "ab", false},
      {"lone low surrogate stops there", u"ab\xDE00" u"cd", "ab", false},
  };
  for (const Case& c : kCases) {
    SCOPED_TRACE(c.why);
    std::string out = "pre:";
    EXPECT_EQ(lmx::append_escaped_utf8(out, c.text), c.whole);
    EXPECT_EQ(hex(out), hex("pre:" + c.written));
  }
}

TEST(TypesEscape, UnescapedTextRoundTripsThroughUtf8) {
  // Every class of code point, none of them markup, survives UTF-16 -> UTF-8 -> UTF-16; the
  // strict decoder also refuses a length boundary (U+07FF / U+0800) written in the wrong form.
  const std::u16string text = u"plain \u00E9\u07FF\u0800\uFFFD\uFFFF \U00010000\U0001F600\U0010FFFF";
  std::u16string back;
  ASSERT_TRUE(lmx::utf8_to_utf16(lmx::escaped_utf8(text), back));
  EXPECT_EQ(back, text);
}

}  // namespace
