// Byte sources and the input layer of the XML reader.
//
// The input layer turns the bytes of a source (memory buffer or file) into one stream of UTF-8
// bytes for the markup reader: it detects the encoding from the first bytes, decodes single-byte,
// UTF-8, UTF-16 and UCS-2 input, folds CR LF / lone CR / U+0085 / U+2028 into LF while counting
// lines, and stacks the replacement texts of entities over the source so that the reader can
// expand references by simply reading on. Everything the reader sees is valid UTF-8: a malformed
// sequence (and a NUL character, which XML does not allow) is replaced by U+FFFD and counted, so
// a value that contained one can be refused.
#pragma once

#include <cstddef>
#include <cstdio>
#include <memory>
#include <string>
#include <vector>

#include "lmx/lmx_base.h"

namespace lmx {

// A source of bytes. One mark at a time.
class c_read {
 public:
  virtual ~c_read() = default;
  virtual bool is_open() const { return true; }
  // The next byte as 0..255, or -1 at the end.
  virtual int get_byte() = 0;
  // Name used in diagnostics; empty when the source has none.
  virtual std::string source_name() const { return {}; }
  virtual void mark() = 0;
  virtual void return_to_mark() = 0;
  // Back to the first byte; the mark is set there too.
  virtual void rewind() = 0;
};

// Reads from a caller-owned buffer, which must outlive the source.
class c_read_memory : public c_read {
 public:
  c_read_memory(const void* data, std::size_t size)
      : start_(static_cast<const unsigned char*>(data)),
        current_(start_),
        end_(start_ + size),
        marked_(start_) {}

  int get_byte() override { return current_ < end_ ? *current_++ : -1; }
  void mark() override { marked_ = current_; }
  void return_to_mark() override { current_ = marked_; }
  void rewind() override { current_ = marked_ = start_; }

 private:
  friend class c_input;  // reads the buffer directly on its hot path
  const unsigned char* start_;
  const unsigned char* current_;
  const unsigned char* end_;
  const unsigned char* marked_;
};

// Reads a file, opened untranslated at construction and closed by the destructor.
class c_read_file : public c_read {
 public:
  // The wide path is turned into UTF-8 for the file system.
  explicit c_read_file(const std::u16string& path);
  explicit c_read_file(const std::string& utf8_path);
  ~c_read_file() override;
  c_read_file(const c_read_file&) = delete;
  c_read_file& operator=(const c_read_file&) = delete;

  bool is_open() const override { return file_ != nullptr; }
  int get_byte() override;
  std::string source_name() const override { return name_; }
  void mark() override;
  void return_to_mark() override;
  void rewind() override;

 private:
  std::string name_;
  long marked_ = 0;
  std::FILE* file_ = nullptr;
};

// Character encodings of the input.
enum elmx_char_encoding : int {
  ELMX_ENC_UNDETECTED = 0,
  ELMX_ENC_SINGLE_BYTE,
  ELMX_ENC_UTF8,
  ELMX_ENC_UTF16BE,
  ELMX_ENC_UTF16LE,
  ELMX_ENC_UCS2BE,
  ELMX_ENC_UCS2LE,
};

// Upper bound on the text that entity expansion may produce in one document. Nested entities
// that each expand to several copies of the previous one grow exponentially; real documents
// stay far below this.
inline constexpr std::size_t kEntityExpansionLimit = 1024 * 1024;

// The decoded input stream of one reader: the source at the bottom, entity replacement texts
// stacked above it.
class c_input {
 public:
  // Neither the source nor the error record is owned; both must outlive the input.
  c_input(c_read& source, c_error& errors);

  // The next byte of the decoded UTF-8 stream, or -1 at the end of the source (or after a
  // decoding failure, which has been reported). Exhausted replacement texts are left behind.
  int next_byte() {
    if (!levels_.empty()) return next_from_levels();
    return next_from_source();
  }

  // Gives back the byte just read onto the level it came from. A line feed given back to the
  // source takes one off the line number.
  void push_back(int byte);

  // Remembers / returns to the whole input state (every level, the decoder, the line number).
  void mark();
  void return_to_mark();

  enum class push_result { pushed, recursive, over_budget };
  // Stacks a replacement text. `key` names the entity (kind and name); a text whose key is
  // already being expanded is refused as recursive, and so is everything past the budget.
  [[nodiscard]] push_result push_entity(const std::string& key,
                                        std::shared_ptr<const std::string> text);

  // Number of replacement-text levels currently stacked (0 when reading the source itself).
  std::size_t depth() const { return levels_.size(); }

  int line() const { return state_.line; }
  elmx_char_encoding encoding() const { return state_.mode; }

  // Count of malformed sequences and NUL characters decoded so far (each became U+FFFD), and
  // of characters cut off by the end of the input.
  unsigned malformed_count() const { return state_.malformed; }
  // Count of expansions refused because the budget ran out.
  unsigned budget_refusals() const { return budget_refusals_; }
  std::size_t expanded_bytes() const { return expanded_bytes_; }
  void set_expansion_limit(std::size_t limit) { expansion_limit_ = limit; }

  // Checks the encoding named in the XML declaration against the detected one, switching to
  // UCS-2 or single-byte where the name asks for it. Returns 0, or the code it reported.
  [[nodiscard]] int check_declared_encoding(const std::string& name);

  // Reports into the error record with the current line.
  void report(int severity, int code, const std::string& message);

  c_error& errors() { return errors_; }

 private:
  struct level {
    std::shared_ptr<const std::string> text;
    std::size_t pos = 0;
    std::string key;
  };
  // Everything of the source side that a mark must restore.
  struct source_state {
    int line = 1;
    elmx_char_encoding mode = ELMX_ENC_UNDETECTED;
    bool ended = false;
    unsigned malformed = 0;
    std::string pushed;        // bytes given back, last one on top
    unsigned char pending[8];  // UTF-8 bytes of the current character not yet handed out
    int pending_pos = 0;
    int pending_len = 0;
    int ahead[4];  // raw bytes read from the source but not yet decoded
    int ahead_count = 0;
    long saved_cp = -1;  // character read after a CR that was not a LF
  };

  int next_from_levels();
  int next_from_source();
  int decode_next();
  long decode_char();  // next code point, -1 at end
  long decode_utf8(int lead);
  long decode_utf16(bool big_endian, bool surrogates);
  bool detect();
  int raw() {
    if (state_.ahead_count > 0) return state_.ahead[--state_.ahead_count];
    if (memory_ != nullptr) return memory_->current_ < memory_->end_ ? *memory_->current_++ : -1;
    return source_.get_byte();
  }
  void unraw(int b) {
    if (b >= 0) state_.ahead[state_.ahead_count++] = b;
  }
  void fail_decoding();
  int encode_pending(long cp);

  c_read& source_;
  c_read_memory* memory_ = nullptr;  // set when the source is a plain memory buffer
  c_error& errors_;
  source_state state_;
  std::vector<level> levels_;
  source_state marked_state_;
  std::vector<level> marked_levels_;
  std::size_t expanded_bytes_ = 0;
  std::size_t expansion_limit_ = kEntityExpansionLimit;
  unsigned budget_refusals_ = 0;
};

// Appends a code point as UTF-8.
void append_utf8(std::string& out, unsigned long cp);

}  // namespace lmx
