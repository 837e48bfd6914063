// The markup reader: a pull reader that message classes drive element by element.
//
// It is not a general parser. Over the decoded stream of c_input it skips the prolog,
// comments and processing instructions, reads an internal DTD subset for its entity
// declarations, expands references, keeps namespace scopes, and hands the caller one markup
// event at a time, already matched against the caller's table of expected names.
//
// How a message class reads an element (the order generated code follows):
//
//   std::string name; int error = 0;
//   int token = reader.next_element(kRootNames, error, name);     // start tag -> its token
//   if (error != 0) return reader.report_error(error, "Root", __FILE__, __LINE__);
//   for (;;) {                                                      // attributes
//     token = reader.next_attribute(kAttrNames, error, name);
//     if (token == lmx::TOK_START_TAG_END || token == lmx::TOK_END_TAG || error != 0) break;
//     std::string value;
//     if (reader.attribute_value(value, lmx::EXWS_PRESERVE) != 0) ...      // code 28
//   }
//   token = reader.next_element(kChildNames, error, name);          // first child
//   reader.simple_element_value(name, lmx::EXWS_PRESERVE, value, empty);  // a leaf child
//   token = reader.next_element(kChildNames, error, name);          // next child or end tag
//
// Nothing throws: every operation reports an integer code.
#pragma once

#include <map>
#include <memory>
#include <string>
#include <vector>

#include "lmx/lmx_base.h"
#include "lmx/lmx_read.h"

namespace lmx {

// Tokens of markup events. The caller's own names get tokens from TOK_USER upward.
enum elmx_token : int {
  TOK_END_OF_INPUT = 0,
  TOK_UNKNOWN = 1,  // a name not in the caller's table
  TOK_ERROR = 2,    // an error was recorded (the code is in the error record)
  // 3 is unused: the values are kept, generated tables may hold them.
  TOK_START_TAG_END = 4,  // ">" ended the start tag: content follows
  TOK_CHARS = 5,          // character data where markup was expected
  TOK_END_TAG = 6,        // an end tag, or the "/>" of an empty-element tag
  TOK_NAME = 7,           // a start tag or an attribute name
  TOK_XSI_TYPE = 8,
  TOK_XSI_NIL = 9,
  TOK_XSI_SCHEMA_LOCATION = 10,
  TOK_XSI_NO_NAMESPACE_SCHEMA_LOCATION = 11,
  TOK_USER = 13,
};

// Whitespace handling of a value: keep every character; turn each whitespace character into a
// space; or also fold runs into one space and drop leading and trailing whitespace.
enum elmx_whitespace : int { EXWS_PRESERVE = 0, EXWS_REPLACE = 1, EXWS_COLLAPSE = 2 };

// Well-known namespace ids. Other URIs get ids from NS_FIRST_USER upward as they are met.
enum elmx_namespace : int {
  NS_UNBOUND = 0,  // a prefix with no declaration in scope
  NS_NONE = 1,
  NS_XML = 2,
  NS_XML_SCHEMA = 3,
  NS_XML_SCHEMA_INSTANCE = 5,
  NS_LMX_TYPES = 6,
  NS_FIRST_USER = 1000,
};

// One entry of a name table; a table ends with an entry whose name is null.
struct s_name_entry {
  int ns_id;
  const char* name;
  int token;
};

class c_xml_reader : public c_xml {
 public:
  // The source is not owned and must outlive the reader.
  explicit c_xml_reader(c_read& source);
  ~c_xml_reader() override = default;
  c_xml_reader(const c_xml_reader&) = delete;
  c_xml_reader& operator=(const c_xml_reader&) = delete;

  // Scans to the next markup event and returns its token. A start tag gets the token of its
  // name in `table` (TOK_UNKNOWN when absent) and `name` is set to its qualified name; an end
  // tag (or the "/>" of a start tag left unfinished) gives TOK_END_TAG with the end tag's
  // name; character data gives TOK_CHARS. `error` is set to 0, to ELMX_UNEXPECTED_EOM at the
  // end of input, or to the recorded code when the scan failed.
  int next_element(const s_name_entry* table, int& error, std::string& name);

  // Reads the next attribute name of the current start tag (namespace declarations are
  // passed over). Returns TOK_START_TAG_END at ">", TOK_END_TAG at "/>", otherwise the token
  // of the name in `table` (TOK_NAME when `table` is null; TOK_XSI_* for the schema-instance
  // attributes). An attribute whose value was not read is skipped first. `error` as above.
  int next_attribute(const s_name_entry* table, int& error, std::string& name);

  // Reads "=", a quoted value and the references in it, applying `mode`. Returns 0, or
  // ELMX_UNABLE_TO_READ_ATTRIBUTE_VALUE (the cause is in the error record).
  [[nodiscard]] int attribute_value(std::string& value, elmx_whitespace mode);
  // The same without keeping the value.
  [[nodiscard]] int skip_attribute_value();

  // True when the attribute name's prefix resolves to the schema-instance namespace.
  bool is_xsi_attribute(const std::string& name) const;

  // Reads the value of a simple element whose start tag is current: finishes the start tag
  // (an empty-element tag gives an empty value and `empty` = true), reads the character data
  // with references expanded, and requires the end tag named `expected_name`. Returns 0,
  // ELMX_BAD_START_TAG_END, ELMX_UNABLE_TO_READ_ELEMENT_VALUE or ELMX_BAD_END_OF_ELEMENT.
  [[nodiscard]] int simple_element_value(const std::string& expected_name, elmx_whitespace mode,
                                         std::string& value, bool& empty);

  // Skips the rest of the current element, nested elements included. Returns 0 or a code.
  [[nodiscard]] int skip_element();

  // After the root element has been read: checks that the rest of the input is only blanks,
  // comments and processing instructions, and that the whole input was well-formed text (no
  // NUL, no byte sequence that is no character in the input's encoding, no character cut off at
  // the end, no fatal report). Returns 0, or reports ELMX_NOT_WELL_FORMED at the root's name
  // and returns it.
  [[nodiscard]] int end_of_document();

  // Stores the code and item name, passes them to the first error-handler slot, and stores
  // and returns what it returns.
  int report_error(int code, const std::string& item_name, const char* source_file,
                   int source_line);

  // "line:N-'item'-message" when an error is held, otherwise "No Error".
  std::string get_error_message() const override;

  int line() const { return input_.line(); }
  int error_code() const { return error_code_; }
  const std::string& item_name() const { return item_name_; }
  const c_error& error_record() const { return errors_; }
  c_error& error_record() { return errors_; }

  // The current item: qualified name, prefix, local name, namespace id; the current token.
  const std::string& qualified_name() const { return qname_; }
  const std::string& prefix() const { return prefix_; }
  const std::string& local_name() const { return local_; }
  int namespace_id() const { return ns_id_; }
  int token() const { return token_; }

  // The id of a namespace URI, registering it when new.
  int namespace_id(const std::string& uri);

  // The input layer, for tests that need to reach below the markup (limits, encoding).
  c_input& input() { return input_; }

 private:
  enum event : int { EV_END = 0, EV_ERROR = 2, EV_CHARS = 5, EV_END_TAG = 6, EV_START_TAG = 7 };
  enum class step { ok, failed, ended };
  enum class tag_state { none, in_start_tag, content };

  struct scope {
    std::string element;
    int default_ns = NS_NONE;
    std::vector<std::pair<std::string, int>> prefixes;
  };

  // Collapsing / replacing whitespace while appending to a value.
  struct value_sink {
    std::string& out;
    elmx_whitespace mode;
    bool space_pending = false;
    void put(int byte);
    void put_code_point(unsigned long cp);
    void flush();  // writes a space held back by collapsing
  };

  int next_byte() { return input_.next_byte(); }
  int skip_spaces();  // returns the first non-space byte (consumed) or -1
  event scan_event();
  event scan_start_tag(int first);
  event scan_end_tag();
  step scan_pi();
  step scan_xml_declaration();
  // Up to a '>' after a run of two or more `mark`s (the run's length in `run`); what comes before
  // that run goes to `out` unless it is null.
  step scan_to_run_and_close(char mark, std::string* out, int* run);
  step scan_comment();
  step scan_cdata(std::string* out);
  step scan_doctype();
  step scan_entity_declaration();
  step skip_declaration();  // up to ">", quoted text skipped whole
  bool read_name(int first, std::string& name);
  void prescan_namespaces(scope& s);
  int finish_start_tag();  // TOK_START_TAG_END, TOK_END_TAG, or -1 when unfinished
  void end_element();

  // Value reading. Each returns false when the value cannot be taken as read.
  bool read_reference(value_sink& sink);  // after "&"
  long read_char_reference();             // after "&#"; -1 when unusable
  // After "%": expands, or appends the reference to `literal` (or reports) when undeclared.
  // False only when the expansion budget ran out.
  bool expand_parameter_reference(std::string* literal);
  bool push_entity(const std::string& key, const std::string& name,
                   const std::shared_ptr<const std::string>& replacement);
  bool read_element_value(std::string& value, elmx_whitespace mode);
  bool read_attribute_value(std::string* value, elmx_whitespace mode);
  step read_entity_value(int quote, std::string& value);

  void resolve(const std::string& qname, bool attribute);
  int lookup(const s_name_entry* table) const;
  int resolve_prefix(const std::string& prefix) const;
  int recorded_code() const;
  void report(int severity, int code, const std::string& message) {
    input_.report(severity, code, message);
  }

  c_error errors_;
  c_input input_;

  bool document_started_ = false;
  bool dtd_read_ = false;
  tag_state tag_state_ = tag_state::none;
  bool attr_value_pending_ = false;
  bool closed_empty_ = false;  // the last start tag ended with "/>"

  std::map<std::string, std::shared_ptr<const std::string>> general_entities_;
  std::map<std::string, std::shared_ptr<const std::string>> parameter_entities_;
  struct predefined {
    const std::string* text;  // identity of the preset replacement text
    char character;
  };
  predefined predefined_[5] = {};
  std::map<std::string, int> namespaces_;
  int next_namespace_id_ = NS_FIRST_USER;
  std::vector<scope> scopes_;

  int error_code_ = ELMX_OK;
  std::string item_name_;
  std::string qname_;
  std::string prefix_;
  std::string local_;
  std::string element_name_;  // name of the element whose start tag is being read
  std::string root_name_;     // name of the document's first element
  int ns_id_ = NS_NONE;
  int element_ns_ = NS_NONE;
  int token_ = TOK_END_OF_INPUT;
};

}  // namespace lmx
