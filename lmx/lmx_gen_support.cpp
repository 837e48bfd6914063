// The reading order shared by every generated message class. See lmx_gen_support.h.
#include "lmx/lmx_gen_support.h"

namespace lmx::gen {

name_list::name_list(std::initializer_list<const char*> names)
    : names_(names.begin(), names.end()) {
  table_.reserve(names_.size() + 1);
  for (std::size_t i = 0; i < names_.size(); ++i) {
    table_.push_back({NS_NONE, names_[i].c_str(), TOK_USER + static_cast<int>(i)});
  }
  table_.push_back({0, nullptr, 0});
}

int find_root(c_xml_reader& reader, const std::string& name, std::string& found) {
  const s_name_entry table[] = {{NS_NONE, name.c_str(), TOK_USER}, {0, nullptr, 0}};
  int error = 0;
  const int token = reader.next_element(table, error, found);
  if (error != 0) return reader.report_error(error, name, __FILE__, __LINE__);
  if (token != TOK_USER)
    return reader.report_error(ELMX_ELEMENT_NOT_FOUND, name, __FILE__, __LINE__);
  return 0;
}

element_reader::element_reader(c_xml_reader& reader, const std::string& name,
                               const name_list& children)
    : reader_(reader), name_(name), children_(children) {}

int element_reader::report(int code, const std::string& item) {
  return reader_.report_error(code, item, __FILE__, __LINE__);
}

int element_reader::read_attributes(attribute_slot* attributes, std::size_t count) {
  std::vector<s_name_entry> table;
  table.reserve(count + 1);
  for (std::size_t i = 0; i < count; ++i) {
    table.push_back({NS_NONE, attributes[i].name, TOK_USER + static_cast<int>(i)});
  }
  table.push_back({0, nullptr, 0});
  // Seen in this start tag; the presence flags may be set already from construction or use.
  std::vector<bool> seen(count, false);
  for (;;) {
    int error = 0;
    std::string attribute;
    const int token = reader_.next_attribute(table.data(), error, attribute);
    if (error != 0) return report(error, name_);
    if (token == TOK_START_TAG_END || token == TOK_END_TAG) {
      empty_ = token == TOK_END_TAG;
      break;
    }
    // A report that the reader's handlers tolerate (verdict 0) lets the reading go on with
    // the next attribute; the reader skips a value that was not read.
    const int index = token - TOK_USER;
    if (index >= 0 && static_cast<std::size_t>(index) < count) {
      if (seen[index]) {
        if (const int code = report(ELMX_ATTRIBUTE_ALREADY_READ, attribute); code != 0) {
          return code;
        }
        continue;
      }
      seen[index] = true;
      const unsigned malformed = reader_.input().malformed_count();
      std::string text;
      std::u16string value;
      if (reader_.attribute_value(text, EXWS_PRESERVE) != 0 ||
          reader_.input().malformed_count() != malformed || !utf8_to_utf16(text, value)) {
        if (const int code = report(ELMX_UNABLE_TO_READ_ATTRIBUTE_VALUE, attribute); code != 0) {
          return code;
        }
        continue;
      }
      *attributes[index].value = std::move(value);
      *attributes[index].present = true;
      continue;
    }
    const bool schema_instance =
        (token >= TOK_XSI_TYPE && token <= TOK_XSI_NO_NAMESPACE_SCHEMA_LOCATION) ||
        reader_.is_xsi_attribute(attribute);
    if (!schema_instance) {
      if (const int code = report(ELMX_UNEXPECTED_ATTRIBUTE, attribute); code != 0) return code;
      continue;
    }
    if (reader_.skip_attribute_value() != 0) {
      if (const int code = report(ELMX_UNABLE_TO_READ_ATTRIBUTE_VALUE, attribute); code != 0) {
        return code;
      }
    }
  }
  for (std::size_t i = 0; i < count; ++i) {
    if (attributes[i].required && !seen[i]) {
      if (const int code = report(ELMX_REQUIRED_ATTRIBUTES_MISSING, name_); code != 0) {
        return code;
      }
    }
  }
  return 0;
}

int element_reader::next() {
  int error = 0;
  token_ = reader_.next_element(children_.table(), error, found_);
  if (error != 0) return report(error, name_);
  return 0;
}

bool element_reader::at(std::size_t index) const {
  return token_ == TOK_USER + static_cast<int>(index);
}

int element_reader::missing(std::size_t index) {
  // Tolerated, the child is left unset and the current event is offered to the next one.
  return report(ELMX_MANDATORY_ELEMENT_MISSING, children_.name(index));
}

int element_reader::end() {
  if (token_ == TOK_END_TAG && found_ == name_) return 0;
  return report(ELMX_BAD_END_OF_ELEMENT, name_);
}

int element_reader::value_text(const std::string& item, elmx_whitespace mode, std::string& out) {
  // A malformed byte sequence reaches us as U+FFFD; refuse the value rather than keep a
  // silently altered text.
  const unsigned malformed = reader_.input().malformed_count();
  bool empty = false;
  if (const int code = reader_.simple_element_value(item, mode, out, empty); code != 0) {
    return report(code, item);
  }
  if (reader_.input().malformed_count() != malformed) {
    return report(ELMX_UNABLE_TO_READ_ELEMENT_VALUE, item);
  }
  return 0;
}

int element_reader::string_value(std::size_t index, std::u16string& out) {
  const std::string& item = children_.name(index);
  std::string text;
  if (const int code = value_text(found_, EXWS_PRESERVE, text); code != 0) return code;
  if (!utf8_to_utf16(text, out)) return report(ELMX_UNABLE_TO_READ_ELEMENT_VALUE, item);
  return 0;
}

int element_reader::refuse(int code, const std::string& item) {
  if (const int verdict = report(code, item); verdict != 0) return verdict;
  return next();  // tolerated: the value stays unset and the reading goes on
}

int element_reader::finish_scalar(bool& present) {
  present = true;
  return next();
}

int element_reader::scalar(std::size_t index, std::u16string& out, bool& present,
                           const enumeration* allowed) {
  std::u16string value;
  if (const int code = string_value(index, value); code != 0) return code;
  if (allowed != nullptr && check_enumeration(value, allowed->values) != 0) {
    return refuse(ELMX_VALUE_NOT_ENUMERATED, children_.name(index));
  }
  out = std::move(value);
  return finish_scalar(present);
}

namespace {

// Format, lower bound, upper bound: the order in which a bounded number is refused.
int check_bounded(std::string_view text, std::string_view min, std::string_view max) {
  if (const int code = check_integer_format(text); code != 0) return code;
  if (const int code = check_min_inclusive(text, min); code != 0) return code;
  return check_max_inclusive(text, max);
}

}  // namespace

template <class T>
int element_reader::bounded_scalar(std::size_t index, T& out, bool& present, std::string_view min,
                                   std::string_view max, int (*convert)(std::string_view, T&)) {
  const std::string& item = children_.name(index);
  std::string text;
  if (const int code = value_text(found_, EXWS_COLLAPSE, text); code != 0) return code;
  if (const int code = check_bounded(text, min, max); code != 0) return refuse(code, item);
  if (const int code = convert(text, out); code != 0) return refuse(code, item);
  return finish_scalar(present);
}

int element_reader::scalar(std::size_t index, std::int32_t& out, bool& present) {
  return bounded_scalar(index, out, present, k_int32_min_text, k_int32_max_text, convert_int32);
}

int element_reader::scalar(std::size_t index, std::uint32_t& out, bool& present) {
  return bounded_scalar(index, out, present, k_uint32_min_text, k_uint32_max_text, convert_uint32);
}

int element_reader::scalar(std::size_t index, bool& out, bool& present) {
  const std::string& item = children_.name(index);
  std::string text;
  if (const int code = value_text(found_, EXWS_COLLAPSE, text); code != 0) return code;
  if (const int code = convert_bool(text, out); code != 0) return refuse(code, item);
  return finish_scalar(present);
}

int element_reader::scalar(std::size_t index, std::string& out, bool& present) {
  const std::string& item = children_.name(index);
  std::string text;
  if (const int code = value_text(found_, EXWS_COLLAPSE, text); code != 0) return code;
  if (const int code = convert_integer(text, out); code != 0) return refuse(code, item);
  return finish_scalar(present);
}

int element_reader::text(std::u16string& out, bool& present) {
  std::string text;
  if (const int code = value_text(name_, EXWS_PRESERVE, text); code != 0) return code;
  std::u16string value;
  if (!utf8_to_utf16(text, value)) return report(ELMX_UNABLE_TO_READ_ELEMENT_VALUE, name_);
  out = std::move(value);
  present = true;
  return 0;
}

}  // namespace lmx::gen
