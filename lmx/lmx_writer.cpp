// Streaming XML writer of the data-binding runtime. Values are turned into text by the
// conversions of lmx_types; this file only lays out tags, indents and newlines.
#include "lmx/lmx_writer.h"

#include <locale>

#include "lmx/lmx_types.h"

namespace lmx {
namespace {

// Namespace prefixes and URIs come from code, not from messages, but they still go inside a
// quoted attribute, so the characters that would break it are escaped.
std::string escaped_attribute_text(std::string_view text) {
  std::string out;
  for (const char c : text) {
    switch (c) {
      case '"': out += "&quot;"; break;
      case '\'': out += "&apos;"; break;
      case '&': out += "&amp;"; break;
      case '<': out += "&lt;"; break;
      default: out += c; break;
    }
  }
  return out;
}

}  // namespace

c_xml_writer::c_xml_writer(std::ostream& os, std::string indent, std::string newline)
    : os_(os), indent_(std::move(indent)), newline_(std::move(newline)) {
  os_.imbue(std::locale::classic());
}

c_xml_writer::c_xml_writer(std::ostream& os, int options, std::string indent, std::string newline)
    : c_xml_writer(os, std::move(indent), std::move(newline)) {
  if ((options & (EXO_XML_DECL | EXO_STANDALONE)) == 0) return;
  write_raw("<?xml version=\"1.0\" encoding=\"UTF-8\"");
  if (options & EXO_STANDALONE) write_raw(" standalone=\"yes\"");
  write_raw("?>");
  write_raw(newline_);
}

// ---- Namespaces ----

void c_xml_writer::add_namespace(const std::string& prefix, const std::string& uri) {
  namespaces_[prefix] = uri;
}

void c_xml_writer::write_namespace_pair(const std::string& prefix, const std::string& uri) {
  write_raw(" xmlns");
  if (!prefix.empty()) {
    write_raw(":");
    write_raw(prefix);
  }
  write_raw("=\"");
  write_raw(escaped_attribute_text(uri));
  write_raw("\"");
}

void c_xml_writer::write_namespaces(const namespace_list& list, bool xsi) {
  if (namespaces_written_) return;
  for (const auto& [prefix, uri] : list) write_namespace_pair(prefix, uri);
  for (const auto& [prefix, uri] : namespaces_) write_namespace_pair(prefix, uri);
  if (xsi) write_namespace_pair("xsi", std::string(k_xsi_namespace_uri));
  namespaces_written_ = true;
}

// ---- Layouts ----

void c_xml_writer::start_element(std::string_view name, const namespace_list& list, bool xsi) {
  indent();
  write_raw("<");
  write_raw(name);
  write_namespaces(list, xsi);
}

void c_xml_writer::write_attribute(std::string_view name, std::u16string_view value) {
  write_raw(" ");
  write_raw(name);
  write_raw("=\"");
  write_string(value);
  write_raw("\"");
}

void c_xml_writer::end_start_tag() {
  write_raw(">");
  write_newline();
  ++level_;
}

void c_xml_writer::end_empty_element() {
  write_raw("/>");
  write_newline();
}

void c_xml_writer::end_element(std::string_view name) {
  if (level_ > 0) --level_;
  indent();
  write_raw("</");
  write_raw(name);
  write_raw(">");
  write_newline();
}

void c_xml_writer::start_inline_element(std::string_view name) {
  write_raw("<");
  write_raw(name);
  write_namespaces();
}

void c_xml_writer::end_inline_element(std::string_view name, const std::u16string* text) {
  write_raw(">");
  if (text != nullptr) write_string(*text);
  write_raw("</");
  write_raw(name);
  write_raw(">");
  write_newline();
}

void c_xml_writer::write_leaf(std::string_view name, std::string_view text) {
  indent();
  write_raw("<");
  write_raw(name);
  write_namespaces();  // a lone leaf may be the root
  write_raw(">");
  write_raw(text);
  write_raw("</");
  write_raw(name);
  write_raw(">");
  write_newline();
}

void c_xml_writer::write_element(std::string_view name, std::u16string_view value) {
  write_leaf(name, escaped_utf8(value));
}
void c_xml_writer::write_element(std::string_view name, bool value) {
  write_leaf(name, bool_to_text(value));
}
void c_xml_writer::write_element(std::string_view name, std::uint32_t value) {
  write_leaf(name, uint32_to_text(value));
}
void c_xml_writer::write_element(std::string_view name, std::int32_t value) {
  write_leaf(name, int32_to_text(value));
}
void c_xml_writer::write_element(std::string_view name, float value) {
  write_leaf(name, float_to_text(value));
}
void c_xml_writer::write_element(std::string_view name, double value) {
  write_leaf(name, double_to_text(value));
}
void c_xml_writer::write_integer_element(std::string_view name, const std::string& text) {
  write_leaf(name, text);
}

// ---- Values ----

bool c_xml_writer::write_string(std::u16string_view value) {
  std::string out;
  out.reserve(value.size());
  const bool whole = append_escaped_utf8(out, value);
  write_raw(out);
  return whole;
}

void c_xml_writer::write_bool(bool value) { write_raw(bool_to_text(value)); }
void c_xml_writer::write_uint32(std::uint32_t value) { write_raw(uint32_to_text(value)); }
void c_xml_writer::write_int32(std::int32_t value) { write_raw(int32_to_text(value)); }
void c_xml_writer::write_integer(const std::string& text) { write_raw(text); }
void c_xml_writer::write_float(float value) { write_raw(float_to_text(value)); }
void c_xml_writer::write_double(double value) { write_raw(double_to_text(value)); }

// ---- Indentation ----

void c_xml_writer::write_one_indent() { write_raw(indent_); }

void c_xml_writer::indent() {
  for (int i = 0; i < level_; ++i) write_one_indent();
}

// ---- Errors ----

int c_xml_writer::report_error(int code, const std::string& item_name, const char* source_file,
                               int source_line) {
  error_code_ = code;
  item_name_ = item_name;
  error_code_ = handle_error(code, item_name, source_file, source_line);
  return error_code_;
}

std::string c_xml_writer::get_error_message() const {
  if (error_code_ == ELMX_OK) return error_message(ELMX_OK);
  return "'" + item_name_ + "'-" + error_message(error_code_);
}

}  // namespace lmx
