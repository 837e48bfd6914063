// Awkward values for the generated sample fillers: text with every escaped character, a
// non-ASCII letter and a character outside the basic plane; integers longer than any machine
// word. Each value carries a seed so that two members never hold the same value by accident.
#pragma once

#include <cstddef>
#include <string>
#include <vector>

namespace sample_values {

inline std::u16string digits(int seed) {
  std::u16string out;
  unsigned value = static_cast<unsigned>(seed < 0 ? -seed : seed);
  do {
    out.insert(out.begin(), static_cast<char16_t>(u'0' + value % 10));
    value /= 10;
  } while (value != 0);
  return out;
}

// "<name seed>" with markup characters, U+00E9 and U+1F600 (a surrogate pair).
inline std::u16string text(const std::u16string& name, int seed) {
  return u"<" + name + u" " + digits(seed) + u"> & \"q\" 'a' \u00e9 \U0001F600";
}

inline std::u16string choice(const std::vector<std::u16string>& values, int seed) {
  return values[static_cast<std::size_t>(seed) % values.size()];
}

// A 31-digit negative integer text in normal form (no leading zeros).
inline std::string integer(int seed) {
  std::string out = "-1234567890123456789012345678";
  for (char c : digits(seed)) out.push_back(static_cast<char>(c));
  return out;
}

}  // namespace sample_values
