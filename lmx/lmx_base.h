// Foundation of the XML data-binding runtime: error codes, the error record shared by the
// reader and the writer, and the two small bases (c_get, c_xml) that carry the overridable
// error-handler slots. The runtime never throws; every operation reports an integer code.
#pragma once

#include <string>

namespace lmx {

// The 42 codes of the error table (messages: error_message()).
enum elmx_error : int {
  ELMX_OK = 0,
  ELMX_UNABLE_TO_OPEN_FILE = 1,
  ELMX_ALL_CARDINALITY = 2,
  ELMX_ATTRIBUTE_ALREADY_READ = 3,
  ELMX_ATTRIBUTES_IN_ANONYMOUS = 4,
  ELMX_BADLY_FORMED = 5,
  ELMX_ENCODING_NOT_SUPPORTED = 6,
  ELMX_BAD_CHOICE = 7,
  ELMX_BAD_COMMENT = 8,
  ELMX_BAD_DTD = 9,
  ELMX_BAD_END_OF_ELEMENT = 10,
  ELMX_BAD_START_TAG_END = 11,
  ELMX_BAD_END_TAG = 12,
  ELMX_BAD_XML_DECL = 13,
  ELMX_BAD_XML_VERSION = 14,
  ELMX_ENCODING_MISMATCH = 15,
  ELMX_ELEMENT_NOT_FOUND = 16,
  ELMX_EXTERNAL_ENTITY = 17,
  ELMX_FRACTION_DIGITS_EXCEEDED = 18,
  ELMX_LENGTH_TOO_LONG = 19,
  ELMX_LENGTH_TOO_SHORT = 20,
  ELMX_MANDATORY_ELEMENT_MISSING = 21,
  ELMX_NO_PATTERN_MATCHED = 22,
  ELMX_NOT_WELL_FORMED = 23,
  ELMX_RECURSIVE_ENTITY = 24,
  ELMX_REQUIRED_ATTRIBUTES_MISSING = 25,
  ELMX_OCCURRENCE_ERROR = 26,
  ELMX_TOTAL_DIGITS_EXCEEDED = 27,
  ELMX_UNABLE_TO_READ_ATTRIBUTE_VALUE = 28,
  ELMX_UNABLE_TO_READ_ELEMENT_VALUE = 29,
  ELMX_UNKNOWN_ELEMENT_IN_ALL = 30,
  ELMX_UNKNOWN_ELEMENT_IN_COMPLEX_CONTENT = 31,
  ELMX_UNEXPECTED_EMPTY_ELEMENT = 32,
  ELMX_UNEXPECTED_ENTITY = 33,
  ELMX_UNEXPECTED_EOM = 34,
  ELMX_VALUE_BAD_FORMAT = 35,
  ELMX_VALUE_EXCEEDS_MAX = 36,
  ELMX_VALUE_EXCEEDS_MIN = 37,
  ELMX_VALUE_NOT_ENUMERATED = 38,
  ELMX_UNEXPECTED_ATTRIBUTE = 39,
  ELMX_NILLED_ELEMENT_NOT_EMPTY = 40,
  ELMX_ENTITY_NOT_FOUND = 41,
};

// Message of a code by linear search of the table; "" for a code not in it.
const char* error_message(int code);

// Severities of a report.
enum elmx_severity : int {
  ELMX_SEV_FATAL = 0,    // counts as fatal and as error
  ELMX_SEV_ERROR = 1,
  ELMX_SEV_WARNING = 2,
  ELMX_SEV_WARNING2 = 3,  // a warning of the second kind, counted also on its own
};

// Error record: counters and the latest accepted report. Once a fatal report has been
// accepted, later reports are ignored, so the fatal code is what later error events see.
class c_error {
 public:
  virtual ~c_error() = default;

  // Accepts the report unless a fatal one is already held. Returns true when accepted.
  bool report(int severity, int code, int line, const std::string& message);

  int fatal_count() const { return fatal_count_; }
  int error_count() const { return error_count_; }
  int warning_count() const { return warning_count_; }
  int warning2_count() const { return warning2_count_; }
  bool has_fatal() const { return fatal_count_ > 0; }

  // The latest accepted report (code 0 when none).
  int severity() const { return severity_; }
  int code() const { return code_; }
  int line() const { return line_; }
  const std::string& message() const { return message_; }

  void clear();

 protected:
  // Called with every accepted report, after the counters are updated.
  virtual void on_report(int /*severity*/, int /*code*/, int /*line*/,
                         const std::string& /*message*/) {}

 private:
  int fatal_count_ = 0;
  int error_count_ = 0;
  int warning_count_ = 0;
  int warning2_count_ = 0;
  int severity_ = ELMX_SEV_ERROR;
  int code_ = ELMX_OK;
  int line_ = 0;
  std::string message_;
};

// Lowest base: access to the runtime's message table.
class c_get {
 public:
  virtual ~c_get() = default;
  static const char* get_error_message(int code) { return error_message(code); }
};

// Shared base of the reader and the writer: the two overridable error-handler slots and the
// error text. A derived reader or writer may return 0 from a handler to tolerate a code; the
// caller then carries on as if no error had occurred.
class c_xml : public c_get {
 public:
  ~c_xml() override = default;

  // First slot: by default hands the code to the second slot.
  virtual int handle_error(int code, const std::string& /*item_name*/,
                           const char* /*source_file*/, int /*source_line*/) {
    return handle_error(code);
  }
  // Second slot: by default returns the code unchanged (any non-zero code stops the work).
  virtual int handle_error(int code) { return code; }

  // Describes the error held ("No Error" when none).
  virtual std::string get_error_message() const = 0;
};

}  // namespace lmx
