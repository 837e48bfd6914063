// Byte sources and the decoding input layer of the XML reader (see lmx_read.h).
#include "lmx/lmx_read.h"

#include <cctype>
#include <typeinfo>

namespace lmx {

namespace {

bool is_space_byte(int b) { return b == ' ' || b == '\t' || b == '\n' || b == '\r'; }

constexpr long kReplacementChar = 0xFFFD;

std::string utf16_to_utf8(const std::u16string& s) {
  std::string out;
  for (std::size_t i = 0; i < s.size(); ++i) {
    unsigned long cp = s[i];
    if (cp >= 0xD800 && cp <= 0xDBFF && i + 1 < s.size() && s[i + 1] >= 0xDC00 &&
        s[i + 1] <= 0xDFFF) {
      cp = 0x10000 + ((cp & 0x3FF) << 10) + (s[i + 1] & 0x3FF);
      ++i;
    } else if (cp >= 0xD800 && cp <= 0xDFFF) {
      cp = kReplacementChar;
    }
    append_utf8(out, cp);
  }
  return out;
}

}  // namespace

void append_utf8(std::string& out, unsigned long cp) {
  if (cp < 0x80) {
    out.push_back(static_cast<char>(cp));
  } else if (cp < 0x800) {
    out.push_back(static_cast<char>(0xC0 | (cp >> 6)));
    out.push_back(static_cast<char>(0x80 | (cp & 0x3F)));
  } else if (cp < 0x10000) {
    out.push_back(static_cast<char>(0xE0 | (cp >> 12)));
    out.push_back(static_cast<char>(0x80 | ((cp >> 6) & 0x3F)));
    out.push_back(static_cast<char>(0x80 | (cp & 0x3F)));
  } else {
    out.push_back(static_cast<char>(0xF0 | (cp >> 18)));
    out.push_back(static_cast<char>(0x80 | ((cp >> 12) & 0x3F)));
    out.push_back(static_cast<char>(0x80 | ((cp >> 6) & 0x3F)));
    out.push_back(static_cast<char>(0x80 | (cp & 0x3F)));
  }
}

// ---- file source ----

c_read_file::c_read_file(const std::u16string& path) : c_read_file(utf16_to_utf8(path)) {}

c_read_file::c_read_file(const std::string& utf8_path) : name_(utf8_path) {
  file_ = std::fopen(utf8_path.c_str(), "rb");
}

c_read_file::~c_read_file() {
  if (file_ != nullptr) std::fclose(file_);
}

int c_read_file::get_byte() {
  if (file_ == nullptr) return -1;
  const int c = std::getc(file_);
  return c == EOF ? -1 : c;
}

void c_read_file::mark() {
  if (file_ != nullptr) marked_ = std::ftell(file_);
}

void c_read_file::return_to_mark() {
  if (file_ != nullptr) std::fseek(file_, marked_, SEEK_SET);
}

void c_read_file::rewind() {
  marked_ = 0;
  if (file_ != nullptr) std::fseek(file_, 0, SEEK_SET);
}

// ---- input layer ----

c_input::c_input(c_read& source, c_error& errors) : source_(source), errors_(errors) {
  // The plain memory source is read without a virtual call per byte; a derived class may
  // have changed how bytes are produced, so only the exact type qualifies.
  if (typeid(source) == typeid(c_read_memory)) memory_ = static_cast<c_read_memory*>(&source);
}

void c_input::report(int severity, int code, const std::string& message) {
  errors_.report(severity, code, state_.line, message);
}

void c_input::push_back(int byte) {
  if (byte < 0) return;
  if (!levels_.empty() && levels_.back().pos > 0) {
    --levels_.back().pos;
    return;
  }
  state_.pushed.push_back(static_cast<char>(byte));
  if (byte == '\n') --state_.line;
}

void c_input::mark() {
  source_.mark();
  marked_state_ = state_;
  marked_levels_ = levels_;
}

void c_input::return_to_mark() {
  source_.return_to_mark();
  state_ = marked_state_;
  levels_ = marked_levels_;
}

c_input::push_result c_input::push_entity(const std::string& key,
                                          std::shared_ptr<const std::string> text) {
  // An exhausted level still counts: its reference was its last text, and re-entering it
  // would loop for ever.
  for (const level& l : levels_) {
    if (l.key == key) return push_result::recursive;
  }
  if (text->size() > expansion_limit_ - expanded_bytes_) {
    ++budget_refusals_;
    return push_result::over_budget;
  }
  expanded_bytes_ += text->size();
  levels_.push_back(level{std::move(text), 0, key});
  return push_result::pushed;
}

int c_input::next_from_levels() {
  while (!levels_.empty()) {
    level& top = levels_.back();
    if (top.pos < top.text->size()) return static_cast<unsigned char>((*top.text)[top.pos++]);
    levels_.pop_back();
  }
  return next_from_source();
}

int c_input::next_from_source() {
  if (!state_.pushed.empty()) {
    const int b = static_cast<unsigned char>(state_.pushed.back());
    state_.pushed.pop_back();
    if (b == '\n') ++state_.line;
    return b;
  }
  if (state_.pending_pos < state_.pending_len) return state_.pending[state_.pending_pos++];
  // Plain ASCII from a memory buffer needs no decoding: the common case, taken directly.
  if (memory_ != nullptr && state_.mode == ELMX_ENC_UTF8 && state_.ahead_count == 0 &&
      state_.saved_cp < 0 && memory_->current_ < memory_->end_) {
    const int b = *memory_->current_;
    if (b < 0x80 && b != '\r' && b != 0) {
      ++memory_->current_;
      if (b == '\n') ++state_.line;
      return b;
    }
  }
  return decode_next();
}

int c_input::decode_next() {
  long cp;
  if (state_.saved_cp >= 0) {
    cp = state_.saved_cp;
    state_.saved_cp = -1;
  } else {
    cp = decode_char();
  }
  if (cp < 0) return -1;
  if (cp == 0) {  // no character of XML in any encoding: kept out like a malformed sequence
    ++state_.malformed;
    cp = kReplacementChar;
  }
  if (cp == '\r') {
    // CR LF (or CR NEL) is one line end; a lone CR is one too. The character after a lone
    // CR is kept for the next read.
    const long after = decode_char();
    if (after >= 0 && after != '\n' && after != 0x85) state_.saved_cp = after;
    cp = '\n';
  } else if (cp == 0x85 || cp == 0x2028) {
    cp = '\n';
  }
  if (cp == '\n') ++state_.line;
  return encode_pending(cp);
}

int c_input::encode_pending(long cp) {
  if (cp < 0x80) return static_cast<int>(cp);
  std::string bytes;
  append_utf8(bytes, static_cast<unsigned long>(cp));
  for (std::size_t i = 0; i < bytes.size(); ++i) state_.pending[i] = bytes[i];
  state_.pending_len = static_cast<int>(bytes.size());
  state_.pending_pos = 1;
  return state_.pending[0];
}

void c_input::fail_decoding() {
  report(ELMX_SEV_FATAL, ELMX_ENCODING_NOT_SUPPORTED, "Unrecognised character encoding");
  state_.ended = true;
}

long c_input::decode_char() {
  if (state_.ended) return -1;
  switch (state_.mode) {
    case ELMX_ENC_UNDETECTED:
      if (!detect()) return -1;
      return decode_char();
    case ELMX_ENC_UTF8: {
      const int b = raw();
      if (b < 0x80) return b;  // -1 at the end as well
      return decode_utf8(b);
    }
    case ELMX_ENC_SINGLE_BYTE:
      return raw();
    case ELMX_ENC_UTF16BE:
      return decode_utf16(true, true);
    case ELMX_ENC_UTF16LE:
      return decode_utf16(false, true);
    case ELMX_ENC_UCS2BE:
      return decode_utf16(true, false);
    case ELMX_ENC_UCS2LE:
      return decode_utf16(false, false);
  }
  return -1;
}

long c_input::decode_utf8(int lead) {
  if (lead < 0xC0) {  // a continuation byte where a character should start
    ++state_.malformed;
    return kReplacementChar;
  }
  const int n = lead < 0xE0 ? 2 : lead < 0xF0 ? 3 : lead < 0xF8 ? 4 : lead < 0xFC ? 5 : 6;
  static const int kLeadMask[7] = {0, 0, 0x1F, 0x0F, 0x07, 0x03, 0x01};
  unsigned long cp = static_cast<unsigned long>(lead & kLeadMask[n]);
  for (int i = 1; i < n; ++i) {
    const int b = raw();
    if (b < 0) {  // the input ends inside the sequence
      ++state_.malformed;
      state_.ended = true;
      return -1;
    }
    if ((b & 0xC0) != 0x80) {
      // Leave the byte for the next character, so a broken sequence cannot swallow markup.
      unraw(b);
      ++state_.malformed;
      return kReplacementChar;
    }
    cp = (cp << 6) | static_cast<unsigned long>(b & 0x3F);
  }
  const bool overlong = (n == 2 && cp < 0x80) || (n == 3 && cp < 0x800) || (n == 4 && cp < 0x10000);
  if (n > 4 || overlong || cp > 0x10FFFF) {
    ++state_.malformed;
    return kReplacementChar;
  }
  if (cp >= 0xD800 && cp <= 0xDBFF) {
    // A surrogate pair written as two three-byte sequences: combine it; a high half that is
    // not followed by a low half ends the input.
    const int b1 = raw();
    const int b2 = b1 == 0xED ? raw() : -1;
    const int b3 = (b2 >= 0xB0 && b2 <= 0xBF) ? raw() : -1;
    if (b3 < 0 || (b3 & 0xC0) != 0x80) {
      ++state_.malformed;
      state_.ended = true;
      return -1;
    }
    const unsigned long low = 0xD000 | (static_cast<unsigned long>(b2 & 0x3F) << 6) |
                              static_cast<unsigned long>(b3 & 0x3F);
    return static_cast<long>(0x10000 + ((cp & 0x3FF) << 10) + (low & 0x3FF));
  }
  if (cp >= 0xDC00 && cp <= 0xDFFF) {  // a low half on its own
    ++state_.malformed;
    return kReplacementChar;
  }
  return static_cast<long>(cp);
}

long c_input::decode_utf16(bool big_endian, bool surrogates) {
  auto unit = [&]() -> long {
    const int b1 = raw();
    if (b1 < 0) return -1;
    const int b2 = raw();
    if (b2 < 0) {  // an odd final byte: the input ends
      ++state_.malformed;
      state_.ended = true;
      return -1;
    }
    return big_endian ? (b1 << 8 | b2) : (b2 << 8 | b1);
  };
  const long u = unit();
  if (u < 0) return -1;
  if (u < 0xD800 || u > 0xDFFF) return u;
  if (!surrogates || u >= 0xDC00) {  // no pairs in UCS-2; a low half alone is no character
    ++state_.malformed;
    return kReplacementChar;
  }
  const long low = unit();
  if (low < 0xDC00 || low > 0xDFFF) {
    if (!state_.ended) fail_decoding();
    state_.ended = true;
    return -1;
  }
  return 0x10000 + ((u & 0x3FF) << 10) + (low & 0x3FF);
}

bool c_input::detect() {
  const int b0 = raw();
  if (b0 < 0) {  // an empty input is simply at its end
    state_.ended = true;
    return false;
  }
  auto fail = [this]() {
    fail_decoding();
    return false;
  };
  if (b0 == 0xFF) {
    if (raw() != 0xFE) return fail();
    const int b2 = raw();
    if (b2 == 0) return fail();
    unraw(b2);
    state_.mode = ELMX_ENC_UTF16LE;
    return true;
  }
  if (b0 == 0xFE) {
    if (raw() != 0xFF) return fail();
    const int b2 = raw();
    if (b2 != 0) return fail();
    unraw(b2);
    state_.mode = ELMX_ENC_UTF16BE;
    return true;
  }
  if (b0 == 0xEF) {
    if (raw() != 0xBB || raw() != 0xBF) return fail();
    state_.mode = ELMX_ENC_UTF8;
    return true;
  }
  if (is_space_byte(b0) || b0 == '<') {
    const int b1 = raw();
    state_.mode = b1 == 0 ? ELMX_ENC_UTF16LE : ELMX_ENC_UTF8;
    unraw(b1);
    unraw(b0);
    return true;
  }
  if (b0 == 0) {
    const int b1 = raw();
    if (!is_space_byte(b1) && b1 != '<') return fail();
    unraw(b1);
    unraw(b0);
    state_.mode = ELMX_ENC_UTF16BE;
    return true;
  }
  return fail();
}

int c_input::check_declared_encoding(const std::string& name) {
  std::string upper;
  for (const char c : name)
    upper.push_back(static_cast<char>(std::toupper(static_cast<unsigned char>(c))));
  const elmx_char_encoding mode = state_.mode;
  const bool utf16 = mode == ELMX_ENC_UTF16BE || mode == ELMX_ENC_UTF16LE;
  const bool ucs2 = mode == ELMX_ENC_UCS2BE || mode == ELMX_ENC_UCS2LE;
  if (upper == "ISO-10646-UCS-2") {
    if (mode == ELMX_ENC_UTF16BE) {
      state_.mode = ELMX_ENC_UCS2BE;
    } else if (mode == ELMX_ENC_UTF16LE) {
      state_.mode = ELMX_ENC_UCS2LE;
    } else if (!ucs2) {
      report(ELMX_SEV_FATAL, ELMX_ENCODING_MISMATCH,
             "Mis-match between specfied encoding and byte format");
      return ELMX_ENCODING_MISMATCH;
    }
    return ELMX_OK;
  }
  if (upper == "ISO-8859-1" || upper == "US-ASCII") {
    if (mode == ELMX_ENC_UTF8) state_.mode = ELMX_ENC_SINGLE_BYTE;
    if (state_.mode == ELMX_ENC_SINGLE_BYTE) return ELMX_OK;
  } else if (upper == "UTF-8") {
    if (mode == ELMX_ENC_UTF8) return ELMX_OK;
  } else if (upper == "UTF-16") {
    if (utf16 || ucs2) return ELMX_OK;
  }
  report(ELMX_SEV_FATAL, ELMX_ENCODING_NOT_SUPPORTED, "Unknown character encoding specified");
  return ELMX_ENCODING_NOT_SUPPORTED;
}

}  // namespace lmx
