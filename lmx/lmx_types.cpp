// Value conversions of the XML runtime. Everything here is locale-independent on purpose: the
// host application sets the process locale from the environment, and a decimal comma must
// never reach or leave the wire.
#include "lmx/lmx_types.h"

#include <algorithm>
#include <charconv>
#include <cmath>
#include <limits>
#include <system_error>

namespace lmx {
namespace {

bool is_xml_space(char c) { return c == ' ' || c == '\t' || c == '\r' || c == '\n'; }
bool is_digit(char c) { return c >= '0' && c <= '9'; }

// Splits a text that passed check_integer_format into its sign and its digits without
// leading zeros ("" for zero; zero is never negative).
struct DecimalParts {
  bool negative;
  std::string_view digits;
};

DecimalParts decimal_parts(std::string_view text) {
  bool negative = false;
  if (!text.empty() && (text.front() == '+' || text.front() == '-')) {
    negative = text.front() == '-';
    text.remove_prefix(1);
  }
  const std::size_t first = text.find_first_not_of('0');
  std::string_view digits = first == std::string_view::npos ? std::string_view() : text.substr(first);
  return {negative && !digits.empty(), digits};
}

void append_utf8(std::string& out, char32_t cp) {
  if (cp < 0x80) {
    out += static_cast<char>(cp);
  } else if (cp < 0x800) {
    out += static_cast<char>(0xC0 | (cp >> 6));
    out += static_cast<char>(0x80 | (cp & 0x3F));
  } else if (cp < 0x10000) {
    out += static_cast<char>(0xE0 | (cp >> 12));
    out += static_cast<char>(0x80 | ((cp >> 6) & 0x3F));
    out += static_cast<char>(0x80 | (cp & 0x3F));
  } else {
    out += static_cast<char>(0xF0 | (cp >> 18));
    out += static_cast<char>(0x80 | ((cp >> 12) & 0x3F));
    out += static_cast<char>(0x80 | ((cp >> 6) & 0x3F));
    out += static_cast<char>(0x80 | (cp & 0x3F));
  }
}

// Shared by float and double: the special values first, then general format with the given
// number of significant digits. to_chars never consults the locale.
template <typename T>
std::string floating_to_text(T value, int digits) {
  if (std::isnan(value)) return "NaN";
  if (std::isinf(value)) return value < 0 ? "-INF" : "INF";
  if (value == 0) return std::signbit(value) ? "-0.0" : "0.0";
  char buf[64];
  const auto res = std::to_chars(buf, buf + sizeof buf, static_cast<double>(value),
                                 std::chars_format::general, digits);
  return std::string(buf, res.ptr);
}

// Decimal order of magnitude of a number text without sign (the power of ten of its leading
// non-zero digit), saturated far beyond any floating range. Only its sign is used: it tells
// overflow from underflow when the conversion reports the value out of range.
long decimal_order(std::string_view text) {
  const std::size_t epos = text.find_first_of("eE");
  const std::string_view mantissa = text.substr(0, epos);
  long exponent = 0;
  if (epos != std::string_view::npos) {
    std::string_view e = text.substr(epos + 1);
    bool negative = false;
    if (!e.empty() && (e.front() == '+' || e.front() == '-')) {
      negative = e.front() == '-';
      e.remove_prefix(1);
    }
    for (const char c : e) exponent = std::min(exponent * 10 + (c - '0'), 1000000L);
    if (negative) exponent = -exponent;
  }
  const std::size_t dot = mantissa.find('.');
  const std::size_t int_len = dot == std::string_view::npos ? mantissa.size() : dot;
  long order = 0;
  const std::size_t lead = mantissa.find_first_not_of("0.");
  if (lead == std::string_view::npos) return -1000000L;  // zero never leaves the range
  if (lead < int_len) {
    order = static_cast<long>(int_len - lead - 1);
  } else {
    order = -static_cast<long>(lead - int_len);
  }
  return order + exponent;
}

// Parses a text that passed check_float_format. from_chars takes no leading '+', and on
// overflow it leaves the value alone, so both are handled here: out-of-range magnitudes
// saturate to infinity or zero, as a C library conversion would.
int parse_floating(std::string_view text, double& out) {
  if (const int code = check_float_format(text); code != ELMX_OK) return code;
  if (text == "INF") {
    out = std::numeric_limits<double>::infinity();
    return ELMX_OK;
  }
  if (text == "-INF") {
    out = -std::numeric_limits<double>::infinity();
    return ELMX_OK;
  }
  if (text == "NaN") {
    out = std::numeric_limits<double>::quiet_NaN();
    return ELMX_OK;
  }
  bool negative = false;
  if (text.front() == '+' || text.front() == '-') {
    negative = text.front() == '-';
    text.remove_prefix(1);
  }
  double magnitude = 0;
  const auto res = std::from_chars(text.data(), text.data() + text.size(), magnitude,
                                   std::chars_format::general);
  if (res.ec == std::errc::result_out_of_range) {
    magnitude = decimal_order(text) > 0 ? std::numeric_limits<double>::infinity() : 0.0;
  } else if (res.ec != std::errc() || res.ptr != text.data() + text.size()) {
    return ELMX_VALUE_BAD_FORMAT;
  }
  out = negative ? -magnitude : magnitude;
  return ELMX_OK;
}

}  // namespace

// ---- Whitespace ----

std::string whitespace_replaced(std::string_view text) {
  std::string out(text);
  for (char& c : out) {
    if (is_xml_space(c)) c = ' ';
  }
  return out;
}

std::string whitespace_collapsed(std::string_view text) {
  std::string out;
  out.reserve(text.size());
  bool pending_space = false;
  for (const char c : text) {
    if (is_xml_space(c)) {
      pending_space = !out.empty();
      continue;
    }
    if (pending_space) out += ' ';
    pending_space = false;
    out += c;
  }
  return out;
}

// ---- Format checks ----

int check_bool_format(std::string_view text) {
  return text == "true" || text == "false" || text == "1" || text == "0" ? ELMX_OK
                                                                         : ELMX_VALUE_BAD_FORMAT;
}

int check_integer_format(std::string_view text) {
  if (!text.empty() && (text.front() == '+' || text.front() == '-')) text.remove_prefix(1);
  if (text.empty()) return ELMX_VALUE_BAD_FORMAT;
  for (const char c : text) {
    if (!is_digit(c)) return ELMX_VALUE_BAD_FORMAT;
  }
  return ELMX_OK;
}

int check_float_format(std::string_view text) {
  if (text == "INF" || text == "-INF" || text == "NaN") return ELMX_OK;
  std::size_t i = 0;
  const std::size_t n = text.size();
  if (i < n && (text[i] == '+' || text[i] == '-')) ++i;
  std::size_t digits = 0;
  while (i < n && is_digit(text[i])) ++i, ++digits;
  if (i < n && text[i] == '.') {
    ++i;
    while (i < n && is_digit(text[i])) ++i, ++digits;
  }
  if (digits == 0) return ELMX_VALUE_BAD_FORMAT;
  if (i < n && (text[i] == 'e' || text[i] == 'E')) {
    ++i;
    if (i < n && (text[i] == '+' || text[i] == '-')) ++i;
    std::size_t exp_digits = 0;
    while (i < n && is_digit(text[i])) ++i, ++exp_digits;
    if (exp_digits == 0) return ELMX_VALUE_BAD_FORMAT;
  }
  return i == n ? ELMX_OK : ELMX_VALUE_BAD_FORMAT;
}

// ---- Bounds ----

int compare_integer_text(std::string_view a, std::string_view b) {
  const DecimalParts pa = decimal_parts(a);
  const DecimalParts pb = decimal_parts(b);
  if (pa.negative != pb.negative) return pa.negative ? -1 : 1;
  int magnitude = 0;
  if (pa.digits.size() != pb.digits.size()) {
    magnitude = pa.digits.size() < pb.digits.size() ? -1 : 1;
  } else {
    const int c = pa.digits.compare(pb.digits);
    magnitude = c < 0 ? -1 : (c > 0 ? 1 : 0);
  }
  return pa.negative ? -magnitude : magnitude;
}

int check_min_inclusive(std::string_view value, std::string_view min) {
  if (check_integer_format(value) != ELMX_OK || check_integer_format(min) != ELMX_OK) {
    return ELMX_VALUE_BAD_FORMAT;
  }
  return compare_integer_text(value, min) < 0 ? ELMX_VALUE_EXCEEDS_MIN : ELMX_OK;
}

int check_max_inclusive(std::string_view value, std::string_view max) {
  if (check_integer_format(value) != ELMX_OK || check_integer_format(max) != ELMX_OK) {
    return ELMX_VALUE_BAD_FORMAT;
  }
  return compare_integer_text(value, max) > 0 ? ELMX_VALUE_EXCEEDS_MAX : ELMX_OK;
}

// ---- Enumeration ----

int check_enumeration(std::string_view value, const std::vector<std::string>& allowed) {
  for (const std::string& a : allowed) {
    if (a == value) return ELMX_OK;
  }
  return ELMX_VALUE_NOT_ENUMERATED;
}

int check_enumeration(std::u16string_view value, const std::vector<std::u16string>& allowed) {
  for (const std::u16string& a : allowed) {
    if (a == value) return ELMX_OK;
  }
  return ELMX_VALUE_NOT_ENUMERATED;
}

// ---- Text -> value ----

int convert_bool(std::string_view text, bool& out) {
  if (const int code = check_bool_format(text); code != ELMX_OK) return code;
  out = text == "true" || text == "1";
  return ELMX_OK;
}

int convert_uint32(std::string_view text, std::uint32_t& out) {
  if (const int code = check_min_inclusive(text, k_uint32_min_text); code != ELMX_OK) return code;
  if (const int code = check_max_inclusive(text, k_uint32_max_text); code != ELMX_OK) return code;
  // In range, so at most ten digits: the accumulation cannot overflow 64 bits.
  std::uint64_t v = 0;
  for (const char c : decimal_parts(text).digits) v = v * 10 + static_cast<unsigned>(c - '0');
  out = static_cast<std::uint32_t>(v);
  return ELMX_OK;
}

int convert_int32(std::string_view text, std::int32_t& out) {
  if (const int code = check_min_inclusive(text, k_int32_min_text); code != ELMX_OK) return code;
  if (const int code = check_max_inclusive(text, k_int32_max_text); code != ELMX_OK) return code;
  const DecimalParts parts = decimal_parts(text);
  std::int64_t v = 0;
  for (const char c : parts.digits) v = v * 10 + (c - '0');
  out = static_cast<std::int32_t>(parts.negative ? -v : v);
  return ELMX_OK;
}

int convert_integer(std::string_view text, std::string& out) {
  if (const int code = check_integer_format(text); code != ELMX_OK) return code;
  const DecimalParts parts = decimal_parts(text);
  if (parts.digits.empty()) {
    out = "0";
  } else {
    out.assign(parts.negative ? "-" : "");
    out.append(parts.digits);
  }
  return ELMX_OK;
}

int convert_float(std::string_view text, float& out) {
  double d = 0;
  if (const int code = parse_floating(text, d); code != ELMX_OK) return code;
  // A finite double beyond float's range becomes infinity, as a narrowing C conversion would;
  // the cast itself would be undefined for such values.
  if (std::isfinite(d) && std::fabs(d) > std::numeric_limits<float>::max()) {
    out = d < 0 ? -std::numeric_limits<float>::infinity() : std::numeric_limits<float>::infinity();
  } else {
    out = static_cast<float>(d);
  }
  return ELMX_OK;
}

int convert_double(std::string_view text, double& out) { return parse_floating(text, out); }

bool utf8_to_utf16(std::string_view text, std::u16string& out) {
  std::u16string result;
  result.reserve(text.size());
  const std::size_t n = text.size();
  std::size_t i = 0;
  while (i < n) {
    const auto lead = static_cast<unsigned char>(text[i]);
    if (lead < 0x80) {
      result += static_cast<char16_t>(lead);
      ++i;
      continue;
    }
    std::size_t extra = 0;
    char32_t cp = 0;
    char32_t min = 0;
    if (lead >= 0xC2 && lead <= 0xDF) {  // C0 and C1 could only start overlong forms
      extra = 1;
      cp = lead & 0x1F;
      min = 0x80;
    } else if (lead >= 0xE0 && lead <= 0xEF) {
      extra = 2;
      cp = lead & 0x0F;
      min = 0x800;
    } else if (lead >= 0xF0 && lead <= 0xF4) {  // F5 and up would pass U+10FFFF
      extra = 3;
      cp = lead & 0x07;
      min = 0x10000;
    } else {
      return false;  // a stray continuation byte or an invalid lead byte
    }
    if (n - i <= extra) return false;  // truncated
    for (std::size_t k = 1; k <= extra; ++k) {
      const auto c = static_cast<unsigned char>(text[i + k]);
      if ((c & 0xC0) != 0x80) return false;
      cp = (cp << 6) | (c & 0x3F);
    }
    if (cp < min || cp > 0x10FFFF || (cp >= 0xD800 && cp <= 0xDFFF)) return false;
    if (cp >= 0x10000) {
      cp -= 0x10000;
      result += static_cast<char16_t>(0xD800 + (cp >> 10));
      result += static_cast<char16_t>(0xDC00 + (cp & 0x3FF));
    } else {
      result += static_cast<char16_t>(cp);
    }
    i += extra + 1;
  }
  out = std::move(result);
  return true;
}

// ---- Value -> text ----

std::string bool_to_text(bool value) { return value ? "true" : "false"; }

std::string uint32_to_text(std::uint32_t value) {
  char buf[16];
  const auto res = std::to_chars(buf, buf + sizeof buf, value);
  return std::string(buf, res.ptr);
}

std::string int32_to_text(std::int32_t value) {
  char buf[16];
  const auto res = std::to_chars(buf, buf + sizeof buf, value);
  return std::string(buf, res.ptr);
}

std::string float_to_text(float value) { return floating_to_text(value, 7); }
std::string double_to_text(double value) { return floating_to_text(value, 14); }

bool append_escaped_utf8(std::string& out, std::u16string_view text) {
  const std::size_t n = text.size();
  for (std::size_t i = 0; i < n; ++i) {
    const char16_t u = text[i];
    char32_t cp = u;
    if (u >= 0xD800 && u <= 0xDBFF) {
      if (i + 1 >= n || text[i + 1] < 0xDC00 || text[i + 1] > 0xDFFF) return false;
      cp = 0x10000 + ((static_cast<char32_t>(u & 0x3FF)) << 10) + (text[i + 1] & 0x3FF);
      ++i;
    } else if (u >= 0xDC00 && u <= 0xDFFF) {
      // A low surrogate with no high one before it has no code point; writing it would give
      // bytes no UTF-8 reader accepts, so it ends the string like an unpaired high one.
      return false;
    }
    switch (cp) {
      case u'"':
        out += "&quot;";
        break;
      case u'\'':
        out += "&apos;";
        break;
      case u'&':
        out += "&amp;";
        break;
      case u'<':
        out += "&lt;";
        break;
      case u'>':
        // "]]>" may not appear in character data; only that '>' is escaped so that every
        // other text keeps its usual form.
        if (i >= 2 && text[i - 1] == u']' && text[i - 2] == u']') {
          out += "&gt;";
        } else {
          out += '>';
        }
        break;
      default:
        append_utf8(out, cp);
        break;
    }
  }
  return true;
}

std::string escaped_utf8(std::u16string_view text) {
  std::string out;
  out.reserve(text.size());
  append_escaped_utf8(out, text);
  return out;
}

}  // namespace lmx
