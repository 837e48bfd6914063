// Value conversions of the XML data-binding runtime, shared by the reader side (text -> value)
// and the writer side (value -> text), plus the checks the generated message classes run on a
// scalar before converting it.
//
// Reading a scalar, the generated code calls, in this order, stopping at the first non-zero code:
//   1. the format check           check_integer_format / check_bool_format / check_float_format (35)
//   2. the lower bound            check_min_inclusive(text, "0" or "-2147483648")                 (37)
//   3. the upper bound            check_max_inclusive(text, "4294967295" or "2147483647")         (36)
//   4. the enumeration            check_enumeration(value, allowed)                                (38)
//   5. the conversion             convert_uint32 / convert_int32 / convert_bool / ...
// Bounds are compared on the decimal text, never by converting first, so an out-of-range value
// is refused before it could overflow. Each convert_* re-checks what it needs, so calling it
// alone is also safe; it simply reports the same code the checks would.
//
// Texts handed in are UTF-8 after the reader's whitespace handling (numbers and booleans are
// read with whitespace collapsed). Nothing here throws; every check returns an int code.
#pragma once

#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

#include "lmx/lmx_base.h"

namespace lmx {

// Decimal-text bounds of the 32-bit types, as the generated classes declare them.
inline constexpr std::string_view k_int32_min_text = "-2147483648";
inline constexpr std::string_view k_int32_max_text = "2147483647";
inline constexpr std::string_view k_uint32_min_text = "0";
inline constexpr std::string_view k_uint32_max_text = "4294967295";

// ---- Whitespace handling (UTF-8 text; whitespace is space, tab, CR and LF) ----

// Each whitespace character becomes a space.
std::string whitespace_replaced(std::string_view text);
// Each run of whitespace becomes one space; none is left at the start or at the end.
std::string whitespace_collapsed(std::string_view text);

// ---- Format checks: 0 when the text has the type's lexical form, else 35 ----

// "true", "false", "1" or "0".
[[nodiscard]] int check_bool_format(std::string_view text);
// An optional sign and at least one decimal digit, nothing else.
[[nodiscard]] int check_integer_format(std::string_view text);
// "INF", "-INF", "NaN", or an optionally signed decimal number (digits with an optional
// fraction, at least one digit) with an optional "e"/"E" exponent.
[[nodiscard]] int check_float_format(std::string_view text);

// ---- Bounds on decimal text (both texts must pass check_integer_format; otherwise 35) ----

// Orders two decimal integer texts: sign first, then length without leading zeros, then digit by
// digit. "-0" equals "0". Returns <0, 0 or >0. Texts must pass check_integer_format.
int compare_integer_text(std::string_view a, std::string_view b);
// 0 when value >= min, 37 when below, 35 when either text is malformed.
[[nodiscard]] int check_min_inclusive(std::string_view value, std::string_view min);
// 0 when value <= max, 36 when above, 35 when either text is malformed.
[[nodiscard]] int check_max_inclusive(std::string_view value, std::string_view max);

// ---- Enumeration: 0 when the value equals one of the allowed values exactly, else 38 ----

[[nodiscard]] int check_enumeration(std::string_view value, const std::vector<std::string>& allowed);
[[nodiscard]] int check_enumeration(std::u16string_view value,
                                    const std::vector<std::u16string>& allowed);

// ---- Conversions text -> value. `out` is changed only when 0 is returned ----

// "true"/"1" -> true, "false"/"0" -> false; anything else 35.
[[nodiscard]] int convert_bool(std::string_view text, bool& out);
// Format (35), then the range 0..4294967295 on the text (37 / 36), then the value.
[[nodiscard]] int convert_uint32(std::string_view text, std::uint32_t& out);
// Format (35), then the range -2147483648..2147483647 on the text (37 / 36), then the value.
[[nodiscard]] int convert_int32(std::string_view text, std::int32_t& out);
// Unbounded integer kept as text: format (35), then leading zeros and a plus sign removed; an
// all-zero value (of either sign) becomes "0". "-007" -> "-7".
[[nodiscard]] int convert_integer(std::string_view text, std::string& out);
// Format (35), then the value; magnitudes beyond the type become +-infinity, tiny ones +-0.
[[nodiscard]] int convert_float(std::string_view text, float& out);
[[nodiscard]] int convert_double(std::string_view text, double& out);

// Strict UTF-8 -> UTF-16: code points above U+FFFF become surrogate pairs. Returns false (and
// leaves `out` unchanged) at any malformed sequence: a bad or missing continuation byte, a
// truncated sequence, an overlong form, a value above U+10FFFF or an encoded surrogate. The
// caller turns false into 29 (element value) or 28 (attribute value).
[[nodiscard]] bool utf8_to_utf16(std::string_view text, std::u16string& out);

// ---- Conversions value -> text ----

// "true" or "false".
std::string bool_to_text(bool value);
std::string uint32_to_text(std::uint32_t value);
std::string int32_to_text(std::int32_t value);
// "NaN", "INF", "-INF", "0.0", "-0.0"; otherwise 7 significant digits ("1.5", "3.141593",
// "1e+10"). Independent of the process locale.
std::string float_to_text(float value);
// As float_to_text with 14 significant digits.
std::string double_to_text(double value);

// UTF-16 -> UTF-8 with the markup characters escaped, appended to `out`: '"' -> "&quot;",
// '\'' -> "&apos;", '&' -> "&amp;", '<' -> "&lt;", and the '>' that ends "]]>" -> "&gt;" (any
// other '>' stays). A surrogate pair becomes one four-byte sequence. An unpaired surrogate
// ends the conversion there: the rest of the string is not written and false is returned.
bool append_escaped_utf8(std::string& out, std::u16string_view text);
// The same, returning the text (cut at an unpaired surrogate).
std::string escaped_utf8(std::u16string_view text);

}  // namespace lmx
