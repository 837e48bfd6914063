// The output half of the XML data-binding runtime: a small streaming writer that generated
// message classes drive element by element. The writer supplies the strings (indent, tags,
// escaped values, newlines); the caller decides the order. Output is UTF-8.
//
// The four layouts, with the calls that produce them:
//   complex element      start_element(n); write_attribute(..)...; end_start_tag();
//                        ...children...; end_element(n);
//                        -> <n a="v">\n  (children one level deeper)  </n>\n
//   leaf element         write_element(n, value)            -> <n>value</n>\n
//   attributes only      start_element(n); write_attribute(..)...; end_empty_element();
//                        -> <n a="v"/>\n
//   attributes + text    start_inline_element(n); write_attribute(..)...;
//                        end_inline_element(n, &text or nullptr)
//                        -> <n a="v">text</n>\n  (one line, no indent)
// Each element start or end tag that begins a line is preceded by one indent per level.
//
// Errors: the writer never throws. report_error() stores the code and item name, asks the
// overridable handlers (lmx::c_xml) and returns their verdict; a non-zero result stops the
// caller. A failing stream is seen only through the stream's own state.
#pragma once

#include <cstdint>
#include <map>
#include <ostream>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

#include "lmx/lmx_base.h"

namespace lmx {

// Declaration options of the second constructor (bits).
enum elmx_writer_options : int {
  EXO_NONE = 0,
  EXO_XML_DECL = 1,     // write <?xml version="1.0" encoding="UTF-8"?>
  EXO_STANDALONE = 2,   // add standalone="yes" (implies the declaration)
};

// The standard URI bound to the "xsi" prefix when asked for.
inline constexpr std::string_view k_xsi_namespace_uri = "http://www.w3.org/2001/XMLSchema-instance";

class c_xml_writer : public c_xml {
 public:
  // (prefix, URI) pairs; an empty prefix declares the default namespace.
  using namespace_list = std::vector<std::pair<std::string, std::string>>;

  // Writes nothing. The stream is imbued with the classic locale so numbers never carry
  // group separators.
  c_xml_writer(std::ostream& os, std::string indent, std::string newline);
  // As above, and writes the XML declaration when `options` asks for it (elmx_writer_options),
  // followed by the newline string.
  c_xml_writer(std::ostream& os, int options, std::string indent, std::string newline);
  ~c_xml_writer() override = default;

  c_xml_writer(const c_xml_writer&) = delete;
  c_xml_writer& operator=(const c_xml_writer&) = delete;

  // ---- Namespace declarations (written once, on the first element) ----

  // Remembers a declaration to be written on the root. A later call with the same prefix
  // replaces the URI.
  void add_namespace(const std::string& prefix, const std::string& uri);
  // Writes " xmlns[:prefix]="uri"" for each pair of `list`, then of the map, then the xsi
  // declaration when `xsi` is set; does nothing once declarations have been written.
  void write_namespaces(const namespace_list& list = {}, bool xsi = false);
  bool namespaces_written() const { return namespaces_written_; }

  // ---- Element layouts ----

  // Indent, "<", name, then the namespace declarations if not yet written.
  void start_element(std::string_view name, const namespace_list& list = {}, bool xsi = false);
  // " name="escaped value"". An unpaired surrogate cuts the value (see append_escaped_utf8).
  void write_attribute(std::string_view name, std::u16string_view value);
  // ">" and the newline; children follow one level deeper.
  void end_start_tag();
  // "/>" and the newline: the attributes-only layout.
  void end_empty_element();
  // Level down (never below 0), indent, "</", name, ">" and the newline.
  void end_element(std::string_view name);

  // The one-line attributes+text layout: "<", name (no indent), namespace declarations if not
  // yet written. Attributes follow with write_attribute().
  void start_inline_element(std::string_view name);
  // ">", the escaped text when `text` is not null, "</", name, ">" and the newline.
  void end_inline_element(std::string_view name, const std::u16string* text);

  // Leaf elements: indent, <name>value</name>, newline.
  void write_element(std::string_view name, std::u16string_view value);
  // Keeps u"..." literals from binding to the bool overload.
  void write_element(std::string_view name, const char16_t* value) {
    write_element(name, std::u16string_view(value));
  }
  void write_element(std::string_view name, bool value);
  void write_element(std::string_view name, std::uint32_t value);
  void write_element(std::string_view name, std::int32_t value);
  void write_element(std::string_view name, float value);
  void write_element(std::string_view name, double value);
  // Unbounded integer held as its decimal text (already normalised by convert_integer).
  void write_integer_element(std::string_view name, const std::string& text);

  // ---- Value writers (the text only, inside a tag the caller has written) ----

  // Escaped UTF-8 of a UTF-16 string; false when an unpaired surrogate cut it short.
  bool write_string(std::u16string_view value);
  void write_bool(bool value);
  void write_uint32(std::uint32_t value);
  void write_int32(std::int32_t value);
  void write_integer(const std::string& text);
  void write_float(float value);
  void write_double(double value);

  // ---- Indentation ----

  virtual const std::string& newline() const { return newline_; }
  // Writes one copy of the indent string.
  virtual void write_one_indent();
  // Writes one indent per current level.
  void indent();
  int level() const { return level_; }

  // ---- Errors ----

  // Stores the code and item name, hands them to the first handler slot, stores and returns
  // what the handler returns (the code itself by default).
  [[nodiscard]] int report_error(int code, const std::string& item_name, const char* source_file,
                                 int source_line);
  // "'" + item + "'-" + message of the held code; "No Error" when none is held.
  std::string get_error_message() const override;
  int error_code() const { return error_code_; }
  const std::string& item_name() const { return item_name_; }
  c_error& error_record() { return error_; }
  const c_error& error_record() const { return error_; }

  std::ostream& stream() { return os_; }

 private:
  void write_raw(std::string_view s) { os_.write(s.data(), static_cast<std::streamsize>(s.size())); }
  void write_newline() { write_raw(newline()); }
  void write_leaf(std::string_view name, std::string_view text);
  void write_namespace_pair(const std::string& prefix, const std::string& uri);

  std::ostream& os_;
  int level_ = 0;
  std::string indent_;
  std::string newline_;
  bool namespaces_written_ = false;
  c_error error_;
  std::int32_t error_code_ = ELMX_OK;
  std::string item_name_;
  std::map<std::string, std::string> namespaces_;
};

}  // namespace lmx
