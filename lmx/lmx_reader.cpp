// The markup reader (see lmx_reader.h).
#include "lmx/lmx_reader.h"

#include <cstdio>

namespace lmx {

namespace {

bool is_space(int c) { return c == ' ' || c == '\t' || c == '\n' || c == '\r'; }

bool is_name_start(int c) {
  return (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') || c == '_' || c == ':' || c > 127;
}

bool is_name_char(int c) {
  return is_name_start(c) || (c >= '0' && c <= '9') || c == '.' || c == '-';
}

bool is_quote(int c) { return c == '"' || c == '\''; }

// The offending character of a message; the end of input has none.
std::string char_text(int c) {
  return c < 0 ? std::string("EOF") : std::string(1, static_cast<char>(c));
}

int digit_value(int c, int base) {
  if (c >= '0' && c <= '9') return c - '0';
  if (base == 16) {
    if (c >= 'a' && c <= 'f') return c - 'a' + 10;
    if (c >= 'A' && c <= 'F') return c - 'A' + 10;
  }
  return -1;
}

std::shared_ptr<const std::string> text(const char* s) {
  return std::make_shared<const std::string>(s);
}

}  // namespace

// ---- value sink ----

void c_xml_reader::value_sink::put(int byte) {
  switch (mode) {
    case EXWS_PRESERVE:
      out.push_back(static_cast<char>(byte));
      return;
    case EXWS_REPLACE:
      out.push_back(is_space(byte) ? ' ' : static_cast<char>(byte));
      return;
    case EXWS_COLLAPSE:
      if (is_space(byte)) {
        // Leading whitespace is dropped; a run inside becomes one space; a trailing run is
        // never written because nothing follows it.
        if (!out.empty()) space_pending = true;
        return;
      }
      flush();
      out.push_back(static_cast<char>(byte));
      return;
  }
}

void c_xml_reader::value_sink::flush() {
  if (space_pending) {
    out.push_back(' ');
    space_pending = false;
  }
}

void c_xml_reader::value_sink::put_code_point(unsigned long cp) {
  if (cp == 0x85 || cp == 0x2028) cp = '\n';
  if (cp < 0x80) {
    put(static_cast<int>(cp));
    return;
  }
  flush();
  append_utf8(out, cp);
}

// ---- construction, names and namespaces ----

c_xml_reader::c_xml_reader(c_read& source) : input_(source, errors_) {
  static const struct {
    const char* name;
    const char* replacement;
    char character;
  } kPredefined[] = {{"amp", "&#38;", '&'},
                     {"lt", "&#60;", '<'},
                     {"gt", ">", '>'},
                     {"apos", "'", '\''},
                     {"quot", "\"", '"'}};
  for (std::size_t i = 0; i < 5; ++i) {
    auto replacement = text(kPredefined[i].replacement);
    general_entities_[kPredefined[i].name] = replacement;
    predefined_[i] = {replacement.get(), kPredefined[i].character};
  }
  namespaces_ = {
      {"http://www.w3.org/2001/XMLSchema", NS_XML_SCHEMA},
      {"http://www.w3.org/2000/10/XMLSchema", NS_XML_SCHEMA},
      {"http://www.w3.org/2001/XMLSchema-instance", NS_XML_SCHEMA_INSTANCE},
      {"http://www.w3.org/XML/1998/namespace", NS_XML},
      {"urn:zarvo:lmx:types", NS_LMX_TYPES},
      {"http://zarvo.example/lmx/types", NS_LMX_TYPES},
  };
}

int c_xml_reader::namespace_id(const std::string& uri) {
  auto it = namespaces_.find(uri);
  if (it != namespaces_.end()) return it->second;
  const int id = next_namespace_id_++;
  namespaces_.emplace(uri, id);
  return id;
}

int c_xml_reader::resolve_prefix(const std::string& prefix) const {
  if (prefix == "xml") return NS_XML;
  for (auto s = scopes_.rbegin(); s != scopes_.rend(); ++s) {
    for (const auto& binding : s->prefixes) {
      if (binding.first == prefix) return binding.second;
    }
  }
  return NS_UNBOUND;
}

void c_xml_reader::resolve(const std::string& qname, bool attribute) {
  const std::size_t colon = qname.find(':');
  if (colon == std::string::npos) {
    prefix_.clear();
    local_ = qname;
    if (attribute) {
      ns_id_ = element_ns_;
    } else {
      ns_id_ = scopes_.empty() ? NS_NONE : scopes_.back().default_ns;
    }
  } else {
    prefix_.assign(qname, 0, colon);
    local_.assign(qname, colon + 1, std::string::npos);
    ns_id_ = resolve_prefix(prefix_);
  }
}

int c_xml_reader::lookup(const s_name_entry* table) const {
  int fallback = TOK_UNKNOWN;
  bool have_fallback = false;
  for (const s_name_entry* e = table; e != nullptr && e->name != nullptr; ++e) {
    if (local_ != e->name) continue;
    if (e->ns_id == ns_id_) return e->token;
    if (!have_fallback) {
      fallback = e->token;
      have_fallback = true;
    }
  }
  return fallback;
}

bool c_xml_reader::is_xsi_attribute(const std::string& name) const {
  const std::size_t colon = name.find(':');
  if (colon == std::string::npos) return false;
  return resolve_prefix(name.substr(0, colon)) == NS_XML_SCHEMA_INSTANCE;
}

int c_xml_reader::recorded_code() const {
  // Every failing step reports; the fallback only guards against a silent failure.
  return errors_.code() != ELMX_OK ? errors_.code() : ELMX_NOT_WELL_FORMED;
}

// ---- errors ----

int c_xml_reader::report_error(int code, const std::string& item_name, const char* source_file,
                               int source_line) {
  error_code_ = code;
  item_name_ = item_name;
  error_code_ = handle_error(code, item_name, source_file, source_line);
  return error_code_;
}

std::string c_xml_reader::get_error_message() const {
  if (error_code_ == ELMX_OK) return error_message(ELMX_OK);
  char head[32];
  std::snprintf(head, sizeof head, "line:%d-'", line());
  return head + item_name_ + "'-" + error_message(error_code_);
}

// ---- scanning ----

int c_xml_reader::skip_spaces() {
  int c = next_byte();
  while (is_space(c)) c = next_byte();
  return c;
}

bool c_xml_reader::read_name(int first, std::string& name) {
  name.clear();
  name.push_back(static_cast<char>(first));
  int c = next_byte();
  while (is_name_char(c)) {
    name.push_back(static_cast<char>(c));
    c = next_byte();
  }
  input_.push_back(c);
  return c >= 0;
}

c_xml_reader::step c_xml_reader::skip_declaration() {
  for (;;) {
    int c = next_byte();
    if (c < 0) return step::ended;
    if (c == '>') return step::ok;
    if (is_quote(c)) {
      const int quote = c;
      do {
        c = next_byte();
      } while (c >= 0 && c != quote);
      if (c < 0) return step::ended;
    }
  }
}

c_xml_reader::step c_xml_reader::scan_pi() {
  int previous = 0;
  for (;;) {
    const int c = next_byte();
    if (c < 0) return step::ended;
    if (c == '>' && previous == '?') return step::ok;
    previous = c;
  }
}

c_xml_reader::step c_xml_reader::scan_to_run_and_close(char mark, std::string* out, int* run) {
  int marks = 0;
  for (;;) {
    const int c = next_byte();
    if (c < 0) return step::ended;
    if (c == mark) {
      ++marks;
      continue;
    }
    if (c == '>' && marks >= 2) {
      *run = marks;
      return step::ok;
    }
    if (out != nullptr) {
      out->append(static_cast<std::size_t>(marks), mark);
      out->push_back(static_cast<char>(c));
    }
    marks = 0;
  }
}

c_xml_reader::step c_xml_reader::scan_comment() {
  int hyphens = 0;
  const step s = scan_to_run_and_close('-', nullptr, &hyphens);
  if (s == step::ok && hyphens > 2) {
    report(ELMX_SEV_WARNING, ELMX_BAD_COMMENT, "End of comment not Well-Formed");
  }
  return s;
}

c_xml_reader::step c_xml_reader::scan_cdata(std::string* out) {
  int brackets = 0;
  const step s = scan_to_run_and_close(']', out, &brackets);
  // Brackets beyond the two that end the section are its content.
  if (s == step::ok && out != nullptr) out->append(static_cast<std::size_t>(brackets - 2), ']');
  return s;
}

c_xml_reader::step c_xml_reader::scan_xml_declaration() {
  if (document_started_) {
    report(ELMX_SEV_FATAL, ELMX_BAD_XML_DECL, "XML declaration not at start of document");
    return step::failed;
  }
  for (;;) {
    const int c = skip_spaces();
    if (c < 0) return step::ended;
    if (c == '?') {
      const int d = next_byte();
      if (d == '>') return step::ok;
      if (d < 0) return step::ended;
      report(ELMX_SEV_ERROR, ELMX_NOT_WELL_FORMED, "XML not Well-Formed");
      return step::failed;
    }
    if (!is_name_start(c)) {
      report(ELMX_SEV_ERROR, ELMX_NOT_WELL_FORMED, "XML not Well-Formed");
      return step::failed;
    }
    std::string name;
    std::string value;
    read_name(c, name);
    if (!read_attribute_value(&value, EXWS_PRESERVE)) return step::failed;
    if (name == "version") {
      if (value != "1.0" && value != "1.1") {
        report(ELMX_SEV_ERROR, ELMX_BAD_XML_VERSION, "XML version " + value + " not understood");
        return step::failed;
      }
    } else if (name == "encoding") {
      if (input_.check_declared_encoding(value) != ELMX_OK) return step::failed;
    }
  }
}

bool c_xml_reader::expand_parameter_reference(std::string* literal) {
  std::string name;
  int c = next_byte();
  while (c >= 0 && c != ';' && !is_space(c) && !is_quote(c) && c != '<') {
    name.push_back(static_cast<char>(c));
    c = next_byte();
  }
  const bool terminated = c == ';';
  if (!terminated) input_.push_back(c);
  auto it = parameter_entities_.find(name);
  if (it == parameter_entities_.end()) {
    if (literal != nullptr) {
      literal->append("%").append(name);
      if (terminated) literal->push_back(';');
    } else {
      report(ELMX_SEV_ERROR, ELMX_ENTITY_NOT_FOUND, "Entity '" + name + "' not found");
    }
    return true;
  }
  return push_entity("%" + name, name, it->second);
}

bool c_xml_reader::push_entity(const std::string& key, const std::string& name,
                               const std::shared_ptr<const std::string>& replacement) {
  switch (input_.push_entity(key, replacement)) {
    case c_input::push_result::pushed:
      return true;
    case c_input::push_result::recursive:
      report(ELMX_SEV_FATAL, ELMX_RECURSIVE_ENTITY, "Recursive entity definition: " + name);
      return true;  // nothing is appended and the read goes on
    case c_input::push_result::over_budget:
      break;
  }
  report(ELMX_SEV_FATAL, ELMX_RECURSIVE_ENTITY,
         "Entity expansion limit exceeded (" + std::to_string(kEntityExpansionLimit) +
             " bytes) at: " + name);
  return false;
}

c_xml_reader::step c_xml_reader::read_entity_value(int quote, std::string& value) {
  const std::size_t depth = input_.depth();
  for (;;) {
    const int c = next_byte();
    if (c < 0) return step::ended;
    if (c == quote && input_.depth() == depth) return step::ok;
    if (c == '%') {
      if (!expand_parameter_reference(&value)) return step::failed;
      continue;
    }
    if (c == '&') {
      const int d = next_byte();
      if (d != '#') {  // general references stay as written until the entity is used
        value.push_back('&');
        input_.push_back(d);
        continue;
      }
      const long cp = read_char_reference();
      if (cp < 0) {
        report(ELMX_SEV_FATAL, ELMX_BAD_DTD, "DTD not Well Formed (bad character reference)");
        return step::failed;
      }
      append_utf8(value, (cp == 0x85 || cp == 0x2028) ? '\n' : static_cast<unsigned long>(cp));
      continue;
    }
    value.push_back(static_cast<char>(c));
  }
}

c_xml_reader::step c_xml_reader::scan_entity_declaration() {
  int c = skip_spaces();
  bool parameter = false;
  if (c == '%') {
    parameter = true;
    c = skip_spaces();
  }
  if (!is_name_start(c)) {
    if (c < 0) return step::ended;
    input_.push_back(c);
    return skip_declaration();
  }
  std::string name;
  read_name(c, name);
  c = skip_spaces();
  if (is_quote(c)) {
    std::string value;
    const step s = read_entity_value(c, value);
    if (s != step::ok) return s;
    auto& table = parameter ? parameter_entities_ : general_entities_;
    table[name] = std::make_shared<const std::string>(std::move(value));
  } else if (is_name_start(c)) {
    // External or unknown definitions leave the entity undefined, so its references stay
    // in the text as written.
    std::string keyword;
    read_name(c, keyword);
    if (keyword == "SYSTEM" || keyword == "PUBLIC") {
      report(ELMX_SEV_WARNING, ELMX_EXTERNAL_ENTITY, "External Entity definitions not supported");
    } else {
      report(ELMX_SEV_ERROR, ELMX_UNEXPECTED_ENTITY,
             "Unexpected value in Entity definition: " + keyword);
    }
  } else {
    if (c < 0) return step::ended;
    input_.push_back(c);
  }
  return skip_declaration();
}

c_xml_reader::step c_xml_reader::scan_doctype() {
  if (document_started_) {
    report(ELMX_SEV_ERROR, ELMX_BAD_DTD, "Document Type Declaration not at start of document");
    return step::failed;
  }
  if (dtd_read_) {
    report(ELMX_SEV_ERROR, ELMX_BAD_DTD, "Document Type Declaration already read");
    return step::failed;
  }
  dtd_read_ = true;
  // Up to the internal subset or the end; an external subset is never read.
  for (;;) {
    int c = next_byte();
    if (c < 0) return step::ended;
    if (c == '>') return step::ok;
    if (c == '[') break;
    if (is_quote(c)) {
      const int quote = c;
      do {
        c = next_byte();
      } while (c >= 0 && c != quote);
      if (c < 0) return step::ended;
    }
  }
  for (;;) {
    const int c = skip_spaces();
    if (c < 0) return step::ended;
    if (c == '<') {
      const int d = next_byte();
      step s = step::ok;
      if (d == '?') {
        s = scan_pi();
      } else if (d == '!') {
        const int e = next_byte();
        if (e == '-') {
          s = next_byte() == '-' ? scan_comment() : skip_declaration();
        } else if (is_name_start(e)) {
          std::string keyword;
          read_name(e, keyword);
          s = keyword == "ENTITY" ? scan_entity_declaration() : skip_declaration();
        } else {
          input_.push_back(e);
          s = skip_declaration();
        }
      } else {
        report(ELMX_SEV_FATAL, ELMX_BAD_DTD, "DTD not Well Formed (got <)");
        return step::failed;
      }
      if (s != step::ok) return s;
      continue;
    }
    if (c == '%') {
      if (!expand_parameter_reference(nullptr)) return step::failed;
      continue;
    }
    if (c == ']') {
      const int d = skip_spaces();
      if (d == '>') return step::ok;
      if (d < 0) return step::ended;
      report(ELMX_SEV_FATAL, ELMX_BAD_DTD,
             "DTD not Well Formed (expected '>', got " + char_text(d) + ")");
      return step::failed;
    }
    report(ELMX_SEV_FATAL, ELMX_BAD_DTD, "DTD not Well Formed (got " + char_text(c) + ")");
    return step::failed;
  }
}

void c_xml_reader::prescan_namespaces(scope& s) {
  // Runs between mark and return, so nothing here may report: the real read reports.
  std::string name;
  std::string value;
  for (;;) {
    int c = skip_spaces();
    if (c < 0 || c == '>') return;
    if (is_quote(c)) {
      const int quote = c;
      do {
        c = next_byte();
      } while (c >= 0 && c != quote);
      if (c < 0) return;
      continue;
    }
    if (!is_name_start(c)) continue;
    read_name(c, name);
    c = skip_spaces();
    if (c != '=') {
      input_.push_back(c);
      continue;
    }
    const int quote = skip_spaces();
    if (!is_quote(quote)) {
      input_.push_back(quote);
      continue;
    }
    value.clear();
    for (c = next_byte(); c >= 0 && c != quote; c = next_byte())
      value.push_back(static_cast<char>(c));
    if (c < 0) return;
    if (name == "xmlns") {
      s.default_ns = value.empty() ? NS_NONE : namespace_id(value);
    } else if (name.size() > 6 && name.compare(0, 6, "xmlns:") == 0) {
      s.prefixes.emplace_back(name.substr(6), namespace_id(value));
    }
  }
}

c_xml_reader::event c_xml_reader::scan_start_tag(int first) {
  std::string name;
  if (!read_name(first, name)) {
    report(ELMX_SEV_ERROR, ELMX_NOT_WELL_FORMED, "XML not Well-Formed");
    return EV_ERROR;
  }
  document_started_ = true;
  if (scopes_.empty() && root_name_.empty()) root_name_ = name;
  scope s;
  s.element = name;
  s.default_ns = scopes_.empty() ? NS_NONE : scopes_.back().default_ns;
  // Namespace declarations may follow the names that use them, so the whole tag is read
  // once for them before its attributes are handed out.
  input_.mark();
  prescan_namespaces(s);
  input_.return_to_mark();
  scopes_.push_back(std::move(s));
  qname_ = name;
  element_name_ = std::move(name);
  tag_state_ = tag_state::in_start_tag;
  attr_value_pending_ = false;
  closed_empty_ = false;
  return EV_START_TAG;
}

int c_xml_reader::end_of_document() {
  const auto not_well_formed = [this] {
    return report_error(ELMX_NOT_WELL_FORMED, root_name_, __FILE__, __LINE__);
  };
  if (tag_state_ == tag_state::in_start_tag || !scopes_.empty()) return not_well_formed();
  for (;;) {
    int c = skip_spaces();
    if (c < 0) break;
    if (c != '<') return not_well_formed();  // text after the root
    c = next_byte();
    step s = step::failed;
    if (c == '?') {
      // A processing instruction; a second XML declaration is none.
      std::string target;
      const int d = next_byte();
      if (is_name_start(d) && read_name(d, target) && target != "xml") s = scan_pi();
    } else if (c == '!') {
      if (next_byte() == '-' && next_byte() == '-') s = scan_comment();
    }
    // Anything else is a second root, a stray end tag, a section or a declaration out of place.
    if (s != step::ok) return not_well_formed();
  }
  // Decoding replaced what was no character and went on, and a value that held one was
  // refused, but such bytes anywhere make the document not well-formed.
  if (input_.malformed_count() != 0 || errors_.has_fatal()) return not_well_formed();
  return ELMX_OK;
}

c_xml_reader::event c_xml_reader::scan_end_tag() {
  std::string name;
  int c = skip_spaces();
  if (is_name_start(c)) {
    read_name(c, name);
  } else {
    input_.push_back(c);
  }
  do {
    c = next_byte();
  } while (c >= 0 && c != '>');
  if (c < 0) {
    report(ELMX_SEV_ERROR, ELMX_NOT_WELL_FORMED, "XML not Well-Formed");
    return EV_ERROR;
  }
  document_started_ = true;
  end_element();
  qname_ = std::move(name);
  tag_state_ = tag_state::content;
  return EV_END_TAG;
}

void c_xml_reader::end_element() {
  if (!scopes_.empty()) scopes_.pop_back();
}

c_xml_reader::event c_xml_reader::scan_event() {
  for (;;) {
    int c = skip_spaces();
    if (c < 0) return EV_END;
    if (c != '<') {
      document_started_ = true;
      while (c >= 0 && c != '<') c = next_byte();
      input_.push_back(c);
      return EV_CHARS;
    }
    c = skip_spaces();
    if (is_name_start(c)) return scan_start_tag(c);
    if (c == '/') return scan_end_tag();
    step s = step::ok;
    if (c == '?') {
      const int d = next_byte();
      std::string target;
      if (is_name_start(d)) {
        read_name(d, target);
      } else {
        input_.push_back(d);
      }
      s = target == "xml" ? scan_xml_declaration() : scan_pi();
    } else if (c == '!') {
      const int d = next_byte();
      if (d == '-') {
        s = next_byte() == '-' ? scan_comment() : skip_declaration();
      } else if (d == '[') {
        document_started_ = true;
        static const char kCdata[] = "CDATA[";
        for (const char* p = kCdata; *p != '\0' && s == step::ok; ++p) {
          const int e = next_byte();
          if (e < 0) {
            s = step::ended;
          } else if (e != *p) {
            report(ELMX_SEV_ERROR, ELMX_NOT_WELL_FORMED, "XML not Well-Formed");
            s = step::failed;
          }
        }
        if (s == step::ok) s = scan_cdata(nullptr);
      } else if (is_name_start(d)) {
        std::string keyword;
        read_name(d, keyword);
        s = keyword == "DOCTYPE" ? scan_doctype() : skip_declaration();
      } else {
        input_.push_back(d);
        s = skip_declaration();
      }
    } else if (c < 0) {
      return EV_END;
    } else {
      report(ELMX_SEV_ERROR, ELMX_NOT_WELL_FORMED, "XML not Well-Formed");
      return EV_ERROR;
    }
    if (s == step::failed) return EV_ERROR;
    if (s == step::ended) return EV_END;
  }
}

int c_xml_reader::finish_start_tag() {
  if (tag_state_ != tag_state::in_start_tag) {
    return closed_empty_ ? TOK_END_TAG : TOK_START_TAG_END;
  }
  attr_value_pending_ = false;
  for (;;) {
    int c = next_byte();
    if (c < 0) {
      report(ELMX_SEV_FATAL, ELMX_UNEXPECTED_EOM, "Unexpected end of file");
      return -1;
    }
    if (c == '>') {
      tag_state_ = tag_state::content;
      return TOK_START_TAG_END;
    }
    if (is_quote(c)) {
      const int quote = c;
      do {
        c = next_byte();
      } while (c >= 0 && c != quote);
      continue;  // the end of input is seen on the next turn
    }
    if (c == '/') {
      const int d = skip_spaces();
      if (d == '>') {
        tag_state_ = tag_state::content;
        closed_empty_ = true;
        end_element();
        return TOK_END_TAG;
      }
      report(ELMX_SEV_ERROR, ELMX_BAD_END_TAG,
             "Illegal character(s) after / at end of tag - " + char_text(d));
      return -1;
    }
  }
}

// ---- references and values ----

long c_xml_reader::read_char_reference() {
  int c = next_byte();
  int base = 10;
  if (c == 'x') {
    base = 16;
    c = next_byte();
  }
  unsigned long cp = 0;
  bool digits = false;
  bool too_big = false;
  for (int v = digit_value(c, base); v >= 0; v = digit_value(c, base)) {
    digits = true;
    // Stop accumulating once past the last code point, so long digit strings cannot overflow.
    if (!too_big) {
      cp = cp * static_cast<unsigned long>(base) + static_cast<unsigned long>(v);
      too_big = cp > 0x10FFFF;
    }
    c = next_byte();
  }
  if (c != ';') {
    input_.push_back(c);
    return -1;
  }
  if (!digits || too_big || cp == 0 || (cp >= 0xD800 && cp <= 0xDFFF)) return -1;
  return static_cast<long>(cp);
}

bool c_xml_reader::read_reference(value_sink& sink) {
  int c = next_byte();
  if (c == '#') {
    const long cp = read_char_reference();
    if (cp < 0) return false;
    sink.put_code_point(static_cast<unsigned long>(cp));
    return true;
  }
  std::string name;
  while (c >= 0 && c != ';' && !is_space(c) && !is_quote(c) && c != '<') {
    name.push_back(static_cast<char>(c));
    c = next_byte();
  }
  const bool terminated = c == ';';
  if (!terminated) input_.push_back(c);
  auto it = general_entities_.find(name);
  if (it == general_entities_.end()) {
    // An undeclared entity stays in the value as written.
    sink.flush();
    sink.out.push_back('&');
    sink.out.append(name);
    if (terminated) sink.out.push_back(';');
    return true;
  }
  // The predefined entities (unless redeclared) are one character each: appended directly,
  // so escaped text neither pays for a level nor uses up the expansion budget.
  for (const auto& p : predefined_) {
    if (p.text == it->second.get()) {
      sink.put(p.character);
      return true;
    }
  }
  return push_entity("&" + name, name, it->second);
}

bool c_xml_reader::read_element_value(std::string& value, elmx_whitespace mode) {
  value_sink sink{value, mode};
  const unsigned malformed_before = input_.malformed_count();
  for (;;) {
    const int c = next_byte();
    if (c < 0) {
      report(ELMX_SEV_ERROR, ELMX_UNEXPECTED_EOM, "Premature end of file encountered");
      return false;
    }
    if (c == '&') {
      if (!read_reference(sink)) return false;
      continue;
    }
    if (c != '<') {
      sink.put(c);
      continue;
    }
    const int d = next_byte();
    step s = step::ok;
    if (d == '!') {
      const int e = next_byte();
      if (e == '-' && next_byte() == '-') {
        s = scan_comment();
      } else if (e == '[') {
        static const char kCdata[] = "CDATA[";
        for (const char* p = kCdata; *p != '\0' && s == step::ok; ++p) {
          if (next_byte() != *p) s = step::failed;
        }
        if (s == step::ok) {
          std::string section;
          s = scan_cdata(&section);
          sink.flush();  // CDATA goes in as it stands
          value.append(section);
        }
      } else {
        s = step::failed;
      }
      if (s == step::failed) {
        report(ELMX_SEV_ERROR, ELMX_NOT_WELL_FORMED, "XML not well-formed");
        return false;
      }
    } else if (d == '?') {
      s = scan_pi();
    } else {
      input_.push_back(d);
      input_.push_back('<');
      break;
    }
    if (s == step::ended) {
      report(ELMX_SEV_ERROR, ELMX_UNEXPECTED_EOM, "Premature end of file encountered");
      return false;
    }
  }
  // A malformed byte sequence became U+FFFD; the value is not what was sent, so refuse it.
  return input_.malformed_count() == malformed_before;
}

bool c_xml_reader::read_attribute_value(std::string* value, elmx_whitespace mode) {
  std::string scratch;
  std::string& out = value != nullptr ? *value : scratch;
  out.clear();
  value_sink sink{out, mode};
  int c = skip_spaces();
  if (c != '=') {
    report(ELMX_SEV_FATAL, ELMX_NOT_WELL_FORMED,
           "Schema is not Well Formed (expected '=', got " + char_text(c) + ")");
    return false;
  }
  const int quote = skip_spaces();
  if (!is_quote(quote)) {
    report(ELMX_SEV_FATAL, ELMX_NOT_WELL_FORMED,
           "Schema is not Well Formed (expected '\"' or ''', got " + char_text(quote) + ")");
    return false;
  }
  const std::size_t depth = input_.depth();
  const unsigned malformed_before = input_.malformed_count();
  for (;;) {
    c = next_byte();
    if (c < 0) {
      report(ELMX_SEV_FATAL, ELMX_UNEXPECTED_EOM, "Unexpected end of file");
      return false;
    }
    // A quote inside an entity's text does not close the value.
    if (c == quote && input_.depth() == depth) break;
    if (c == '&') {
      if (!read_reference(sink)) return false;
      continue;
    }
    sink.put(c);
  }
  return input_.malformed_count() == malformed_before;
}

// ---- operations of the message classes ----

int c_xml_reader::next_element(const s_name_entry* table, int& error, std::string& name) {
  error = ELMX_OK;
  name.clear();
  if (tag_state_ == tag_state::in_start_tag) {
    // The caller did not read the attributes: finish the tag; "/>" is the element's end.
    const int t = finish_start_tag();
    if (t < 0) {
      error = recorded_code();
      return token_ = TOK_ERROR;
    }
    if (t == TOK_END_TAG) {
      qname_ = name = element_name_;
      return token_ = TOK_END_TAG;
    }
  }
  closed_empty_ = false;
  switch (scan_event()) {
    case EV_END:
      error = ELMX_UNEXPECTED_EOM;
      return token_ = TOK_END_OF_INPUT;
    case EV_ERROR:
      error = recorded_code();
      return token_ = TOK_ERROR;
    case EV_CHARS:
      return token_ = TOK_CHARS;
    case EV_END_TAG:
      name = qname_;
      resolve(qname_, false);
      return token_ = TOK_END_TAG;
    case EV_START_TAG:
      break;
  }
  resolve(qname_, false);
  element_ns_ = ns_id_;
  name = qname_;
  return token_ = lookup(table);
}

int c_xml_reader::next_attribute(const s_name_entry* table, int& error, std::string& name) {
  error = ELMX_OK;
  name.clear();
  if (tag_state_ != tag_state::in_start_tag) {
    name = element_name_;
    return token_ = closed_empty_ ? TOK_END_TAG : TOK_START_TAG_END;
  }
  if (attr_value_pending_) {
    attr_value_pending_ = false;
    if (!read_attribute_value(nullptr, EXWS_PRESERVE)) {
      error = recorded_code();
      return token_ = TOK_ERROR;
    }
  }
  for (;;) {
    const int c = skip_spaces();
    if (c < 0) {
      error = ELMX_UNEXPECTED_EOM;
      return token_ = TOK_END_OF_INPUT;
    }
    if (c == '>') {
      tag_state_ = tag_state::content;
      name = element_name_;
      return token_ = TOK_START_TAG_END;
    }
    if (c == '/') {
      const int d = skip_spaces();
      if (d != '>') {
        report(ELMX_SEV_ERROR, ELMX_BAD_END_TAG,
               "Illegal character(s) after / at end of tag - " + char_text(d));
        error = recorded_code();
        return token_ = TOK_ERROR;
      }
      tag_state_ = tag_state::content;
      closed_empty_ = true;
      end_element();
      name = element_name_;
      return token_ = TOK_END_TAG;
    }
    if (!is_name_start(c)) {
      report(ELMX_SEV_ERROR, ELMX_NOT_WELL_FORMED, "XML not Well-Formed");
      error = recorded_code();
      return token_ = TOK_ERROR;
    }
    read_name(c, qname_);
    if (qname_ == "xmlns" || qname_.compare(0, 6, "xmlns:") == 0) {
      // Declarations were bound when the tag was scanned.
      if (!read_attribute_value(nullptr, EXWS_PRESERVE)) {
        error = recorded_code();
        return token_ = TOK_ERROR;
      }
      continue;
    }
    attr_value_pending_ = true;
    resolve(qname_, true);
    name = qname_;
    if (ns_id_ == NS_XML_SCHEMA_INSTANCE) {
      if (local_ == "type") return token_ = TOK_XSI_TYPE;
      if (local_ == "nil") return token_ = TOK_XSI_NIL;
      if (local_ == "schemaLocation") return token_ = TOK_XSI_SCHEMA_LOCATION;
      if (local_ == "noNamespaceSchemaLocation")
        return token_ = TOK_XSI_NO_NAMESPACE_SCHEMA_LOCATION;
    }
    return token_ = table != nullptr ? lookup(table) : TOK_NAME;
  }
}

int c_xml_reader::attribute_value(std::string& value, elmx_whitespace mode) {
  attr_value_pending_ = false;
  return read_attribute_value(&value, mode) ? ELMX_OK : ELMX_UNABLE_TO_READ_ATTRIBUTE_VALUE;
}

int c_xml_reader::skip_attribute_value() {
  attr_value_pending_ = false;
  return read_attribute_value(nullptr, EXWS_PRESERVE) ? ELMX_OK
                                                      : ELMX_UNABLE_TO_READ_ATTRIBUTE_VALUE;
}

int c_xml_reader::simple_element_value(const std::string& expected_name, elmx_whitespace mode,
                                       std::string& value, bool& empty) {
  value.clear();
  empty = false;
  const int t = finish_start_tag();
  if (t < 0) return ELMX_BAD_START_TAG_END;
  if (t == TOK_END_TAG) {
    empty = true;
    return ELMX_OK;
  }
  if (!read_element_value(value, mode)) return ELMX_UNABLE_TO_READ_ELEMENT_VALUE;
  if (scan_event() != EV_END_TAG || qname_ != expected_name) return ELMX_BAD_END_OF_ELEMENT;
  token_ = TOK_END_TAG;
  return ELMX_OK;
}

int c_xml_reader::skip_element() {
  const int t = finish_start_tag();
  if (t < 0) return recorded_code();
  if (t == TOK_END_TAG) return ELMX_OK;
  std::vector<std::string> open{element_name_};
  while (!open.empty()) {
    switch (scan_event()) {
      case EV_END:
        return ELMX_UNEXPECTED_EOM;
      case EV_ERROR:
        return recorded_code();
      case EV_CHARS:
        break;
      case EV_START_TAG: {
        std::string name = qname_;
        const int inner = finish_start_tag();
        if (inner < 0) return recorded_code();
        if (inner == TOK_START_TAG_END) open.push_back(std::move(name));
        break;
      }
      case EV_END_TAG:
        if (qname_ != open.back()) {
          report(
              ELMX_SEV_ERROR, ELMX_NOT_WELL_FORMED,
              "Element start tag (" + open.back() + ") and end tag (" + qname_ + ") do not match");
          return recorded_code();
        }
        open.pop_back();
        break;
    }
  }
  closed_empty_ = false;
  token_ = TOK_END_TAG;
  return ELMX_OK;
}

}  // namespace lmx
