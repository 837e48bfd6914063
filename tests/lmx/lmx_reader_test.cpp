// The markup reader driven the way message classes drive it: a small hand-made message (root
// with a required attribute, a string child, a repeated child) read from documents in every
// encoding, with references, entities, prolog constructs, namespaces and broken input.
#include <gtest/gtest.h>

#include <chrono>
#include <string>
#include <vector>

#include "lmx/lmx_reader.h"
#include "tests/fakes/Bytes.h"

namespace {

using testing_bytes::hex;

enum Token { kRoot = lmx::TOK_USER, kName, kItem, kId = lmx::TOK_USER };

const lmx::s_name_entry kRootNames[] = {{lmx::NS_NONE, "Msg", kRoot}, {0, nullptr, 0}};
const lmx::s_name_entry kAttributes[] = {{lmx::NS_NONE, "id", kId}, {0, nullptr, 0}};
const lmx::s_name_entry kChildren[] = {
    {lmx::NS_NONE, "Name", kName}, {lmx::NS_NONE, "Item", kItem}, {0, nullptr, 0}};

// <Msg id="..."> <Name>string</Name> <Item>..</Item>* </Msg>, read like generated code does.
struct Message {
  std::string id;
  std::string name;
  bool name_empty = false;
  std::vector<std::string> items;
  lmx::elmx_whitespace item_mode = lmx::EXWS_COLLAPSE;
  std::vector<int> events;  // every token the reader handed out, in order

  int read(lmx::c_xml_reader& r) {
    std::string found;
    int error = 0;
    int token = r.next_element(kRootNames, error, found);
    events.push_back(token);
    if (error != 0) return r.report_error(error, "Msg", __FILE__, __LINE__);
    if (token != kRoot)
      return r.report_error(lmx::ELMX_ELEMENT_NOT_FOUND, "Msg", __FILE__, __LINE__);
    bool have_id = false;
    bool empty = false;
    for (;;) {
      token = r.next_attribute(kAttributes, error, found);
      events.push_back(token);
      if (error != 0) return r.report_error(error, "Msg", __FILE__, __LINE__);
      if (token == lmx::TOK_START_TAG_END) break;
      if (token == lmx::TOK_END_TAG) {
        empty = true;
        break;
      }
      if (token == kId) {
        if (r.attribute_value(id, lmx::EXWS_PRESERVE) != 0)
          return r.report_error(lmx::ELMX_UNABLE_TO_READ_ATTRIBUTE_VALUE, "id", __FILE__, __LINE__);
        have_id = true;
        continue;
      }
      // xsi attributes are passed over; others too when the handler tolerates the code.
      if (!r.is_xsi_attribute(found)) {
        if (int code = r.report_error(lmx::ELMX_UNEXPECTED_ATTRIBUTE, found, __FILE__, __LINE__))
          return code;
      }
      if (r.skip_attribute_value() != 0)
        return r.report_error(lmx::ELMX_UNABLE_TO_READ_ATTRIBUTE_VALUE, found, __FILE__, __LINE__);
    }
    if (!have_id)
      return r.report_error(lmx::ELMX_REQUIRED_ATTRIBUTES_MISSING, "Msg", __FILE__, __LINE__);
    if (empty) return r.report_error(lmx::ELMX_UNEXPECTED_EMPTY_ELEMENT, "Msg", __FILE__, __LINE__);

    token = r.next_element(kChildren, error, found);
    events.push_back(token);
    if (error != 0) return r.report_error(error, "Msg", __FILE__, __LINE__);
    if (token != kName)
      return r.report_error(lmx::ELMX_MANDATORY_ELEMENT_MISSING, "Name", __FILE__, __LINE__);
    if (int code = r.simple_element_value(found, lmx::EXWS_PRESERVE, name, name_empty); code != 0)
      return r.report_error(code, "Name", __FILE__, __LINE__);
    token = r.next_element(kChildren, error, found);
    events.push_back(token);
    while (error == 0 && token == kItem) {
      std::string value;
      bool item_empty = false;
      if (int code = r.simple_element_value(found, item_mode, value, item_empty); code != 0)
        return r.report_error(code, "Item", __FILE__, __LINE__);
      items.push_back(value);
      token = r.next_element(kChildren, error, found);
      events.push_back(token);
    }
    if (error != 0) return r.report_error(error, "Msg", __FILE__, __LINE__);
    if (token != lmx::TOK_END_TAG || found != "Msg")
      return r.report_error(lmx::ELMX_BAD_END_OF_ELEMENT, "Msg", __FILE__, __LINE__);
    return 0;
  }
};

struct Outcome {
  int code = 0;
  Message msg;
  int recorded = 0;  // the error record's latest accepted code
  int severity = 0;
  int fatal = 0;
  int line = 0;
  std::string text;  // the reader's error text
  std::string record_message;
};

Outcome read(const std::string& doc, lmx::elmx_whitespace item_mode = lmx::EXWS_COLLAPSE) {
  lmx::c_read_memory source(doc.data(), doc.size());
  lmx::c_xml_reader reader(source);
  Outcome o;
  o.msg.item_mode = item_mode;
  o.code = o.msg.read(reader);
  o.recorded = reader.error_record().code();
  o.severity = reader.error_record().severity();
  o.fatal = reader.error_record().fatal_count();
  o.line = reader.line();
  o.text = reader.get_error_message();
  o.record_message = reader.error_record().message();
  return o;
}

// A document whose Name value is `value` (written into the XML as is).
std::string with_name(const std::string& value, const std::string& prolog = "") {
  return prolog + "<Msg id=\"1\"><Name>" + value + "</Name></Msg>";
}

// ---- encodings ----

std::string utf16(const std::u16string& s, bool big_endian, bool bom) {
  std::string out;
  if (bom) out += big_endian ? "\xFE\xFF" : "\xFF\xFE";
  for (char16_t u : s) {
    const char unit[2] = {static_cast<char>(u >> (big_endian ? 8 : 0)),
                          static_cast<char>(u >> (big_endian ? 0 : 8))};
    out.append(unit, 2);
  }
  return out;
}

std::string latin1(const std::u16string& s) {
  std::string out;
  for (char16_t u : s) out.push_back(static_cast<char>(u));
  return out;
}

std::u16string widen_ascii(const std::string& s) { return std::u16string(s.begin(), s.end()); }

TEST(ReaderEncodings, SameDocumentReadsTheSameInEveryEncoding) {
  // Body in UTF-16 (all characters below U+0100 so that Latin-1 and UCS-2 can carry it).
  auto body = [](const std::u16string& decl) {
    return decl +
           u"\r\n<Msg id=\"7 \u00e9\">\n\t<Name>A&amp;b \u00e9\u00ff</Name>\r\n"
           u"\t<Item> 1 </Item>\n\t<Item>two</Item>\n</Msg>\n";
  };
  auto decl = [](const char* enc) {
    return widen_ascii(std::string("<?xml version=\"1.0\" encoding=\"") + enc + "\"?>");
  };
  const std::string utf8 =
      "\r\n<Msg id=\"7 \xC3\xA9\">\n\t<Name>A&amp;b \xC3\xA9\xC3\xBF</Name>\r\n"
      "\t<Item> 1 </Item>\n\t<Item>two</Item>\n</Msg>\n";
  struct Row {
    const char* why;
    std::string bytes;
  };
  const Row rows[] = {
      {"UTF-8 without declaration", utf8},
      {"UTF-8 with mark", "\xEF\xBB\xBF<?xml version=\"1.0\" encoding=\"UTF-8\"?>" + utf8},
      {"UTF-16LE with mark", utf16(body(decl("UTF-16")), false, true)},
      {"UTF-16LE without mark", utf16(body(decl("UTF-16")), false, false)},
      {"UTF-16BE with mark", utf16(body(decl("UTF-16")), true, true)},
      {"UTF-16BE without mark", utf16(body(decl("UTF-16")), true, false)},
      {"UCS-2 little-endian", utf16(body(decl("ISO-10646-UCS-2")), false, true)},
      {"UCS-2 big-endian", utf16(body(decl("ISO-10646-UCS-2")), true, false)},
      {"ISO-8859-1", latin1(body(decl("ISO-8859-1")))},
  };
  for (const Row& r : rows) {
    SCOPED_TRACE(r.why);
    const Outcome o = read(r.bytes);
    ASSERT_EQ(o.code, 0) << o.text << " / " << o.record_message;
    EXPECT_EQ(hex(o.msg.id), hex(std::string("7 \xC3\xA9")));
    EXPECT_EQ(hex(o.msg.name), hex(std::string("A&b \xC3\xA9\xC3\xBF")));
    EXPECT_EQ(o.msg.items, (std::vector<std::string>{"1", "two"}));
    EXPECT_EQ(o.recorded, 0);
    EXPECT_EQ(o.line, 6);  // CR LF pairs count once
    const std::vector<int> events = {kRoot, kId,   lmx::TOK_START_TAG_END, kName,
                                     kItem, kItem, lmx::TOK_END_TAG};
    EXPECT_EQ(o.msg.events, events);
  }
}

TEST(ReaderEncodings, DeclarationAndDetectionFailures) {
  // A high surrogate in place of "q" breaks the UTF-16 pair inside the value.
  std::string broken = utf16(widen_ascii(with_name("qz")), false, true);
  broken.replace(broken.find(std::string("q\0", 2)), 2, std::string("\x3D\xD8", 2));
  struct Row {
    const char* why;
    std::string doc;
    int code;
    int recorded;
    const char* record_message;  // nullptr: not checked
  };
  const Row rows[] = {
      {"UTF-8 mark, declaration naming UTF-16",
       "\xEF\xBB\xBF<?xml version=\"1.0\" encoding=\"UTF-16\"?>" + with_name("x"), 6, 6, nullptr},
      {"unknown first byte reads as empty input, the detection report kept", "x" + with_name("x"),
       34, 6, "Unrecognised character encoding"},
      {"unknown version", "<?xml version=\"2.0\"?>" + with_name("x"), 14, 14,
       "XML version 2.0 not understood"},
      {"broken UTF-16 pair ends the input inside the value", broken, 29, 6, nullptr},
  };
  for (const Row& r : rows) {
    SCOPED_TRACE(r.why);
    const Outcome o = read(r.doc);
    EXPECT_EQ(o.code, r.code);
    EXPECT_EQ(o.recorded, r.recorded);
    if (r.record_message != nullptr) {
      EXPECT_EQ(o.record_message, r.record_message);
    }
  }
  EXPECT_EQ(read("x" + with_name("x")).text, "line:1-'Msg'-Unexpected end of message");
}

// ---- values ----

TEST(ReaderValues, ReferencesAndMarkupInsideValues) {
  struct Row {
    const char* why;
    std::string xml;
    std::string value;
  };
  const Row rows[] = {
      {"predefined entities", "a&lt;b&amp;&gt;&apos;&quot;", "a<b&>'\""},
      {"decimal reference", "&#65;", "A"},
      {"hexadecimal reference", "&#x41;", "A"},
      {"tab by reference", "a&#9;b", "a\tb"},
      {"reference above U+FFFF", "&#x1F600;", "\xF0\x9F\x98\x80"},
      {"U+2028 by reference is a line feed", "&#x2028;", "\n"},
      {"undeclared entity stays as written", "a&nope;b", "a&nope;b"},
      {"ampersand without a name", "a & b", "a & b"},
      {"CDATA as it stands", "<![CDATA[<x>&amp;]]]>y", "<x>&amp;]y"},
      {"comment and PI skipped", "a<!-- c -->b<?pi x?>c", "abc"},
      {"CR LF inside the value", "a\r\nb\rc", "a\nb\nc"},
  };
  for (const Row& r : rows) {
    SCOPED_TRACE(r.why);
    const Outcome o = read(with_name(r.xml));
    ASSERT_EQ(o.code, 0) << o.text;
    EXPECT_EQ(hex(o.msg.name), hex(r.value));
  }
}

TEST(ReaderValues, WhitespaceModes) {
  const std::string doc = "<Msg id=\" a \"><Name> x </Name><Item>\t a \n\n b  </Item></Msg>";
  struct Row {
    const char* why;
    lmx::elmx_whitespace mode;
    std::string item;
  };
  const Row rows[] = {
      {"preserve keeps everything", lmx::EXWS_PRESERVE, "\t a \n\n b  "},
      {"replace makes each whitespace a space", lmx::EXWS_REPLACE, "  a    b  "},
      {"collapse folds and trims", lmx::EXWS_COLLAPSE, "a b"},
  };
  for (const Row& r : rows) {
    SCOPED_TRACE(r.why);
    const Outcome o = read(doc, r.mode);
    ASSERT_EQ(o.code, 0) << o.text;
    EXPECT_EQ(o.msg.id, " a ");
    EXPECT_EQ(o.msg.name, " x ");
    ASSERT_EQ(o.msg.items.size(), 1u);
    EXPECT_EQ(o.msg.items[0], r.item);
  }
}

TEST(ReaderValues, BrokenValuesFailInsteadOfBeingCutShort) {
  struct Row {
    const char* why;
    std::string bytes;
  };
  const Row rows[] = {
      {"bad continuation byte", "a\xC3(b"},
      {"truncated sequence before the end tag", "a\xE2\x82"},
      {"overlong form", "a\xC0\xAF"},
      {"above U+10FFFF", "\xF4\x90\x80\x80"},
      {"lone high surrogate", "\xED\xA0\x80z"},
      {"reference above U+10FFFF", "&#x110000;"},
      {"reference whose digits overflow", "&#99999999999999999999999999;"},
      {"reference to 0", "&#0;"},
      {"reference to a surrogate", "&#xD800;"},
      {"reference without semicolon", "&#65 b"},
      {"reference without digits", "&#;"},
  };
  for (const Row& r : rows) {
    SCOPED_TRACE(r.why);
    EXPECT_EQ(read(with_name(r.bytes)).code, 29);
    EXPECT_EQ(read("<Msg id=\"" + r.bytes + "\"><Name/></Msg>").code, 28);
  }
  // Valid multi-byte text reads unchanged.
  const std::string ok = "\xC3\xA9\xE2\x82\xAC\xF0\x9F\x98\x80\xEF\xBF\xBD";
  EXPECT_EQ(hex(read(with_name(ok)).msg.name), hex(ok));
}

TEST(ReaderValues, EmptyElementsReadAsEmptyValues) {
  const Outcome o = read("<Msg id='1'><Name/><Item/></Msg>");
  ASSERT_EQ(o.code, 0) << o.text;
  EXPECT_TRUE(o.msg.name_empty);
  EXPECT_EQ(o.msg.items, std::vector<std::string>{""});
}

// ---- prolog, DTD and entities ----

// Markup errors and prolog constructs: the code returned, the code the error record kept and,
// where named, its severity.
TEST(ReaderErrors, MarkupPrologAndDoctype) {
  constexpr int kAny = -1;
  struct Row {
    const char* why;
    std::string doc;
    int code;
    int recorded;
    int severity;
  };
  const Row rows[] = {
      {"empty root with content expected", "<Msg id='1'/>", 32, 0, kAny},
      {"missing equals", "<Msg id '1'><Name/></Msg>", 28, 23, kAny},
      {"missing quote", "<Msg id=1><Name/></Msg>", 28, 23, kAny},
      {"value runs to the end", "<Msg id='1", 28, 34, kAny},
      {"wrong end tag", "<Msg id='1'><Name>x</Nam></Msg>", 10, 0, kAny},
      {"junk after slash", "<Msg id='1'><Name a='/>'/ x>", 11, 12, kAny},
      {"text where a child should be", "<Msg id='1'>text<Name/></Msg>", 21, 0, kAny},
      {"markup bang inside a value", "<Msg id='1'><Name>a<!x></Name></Msg>", 29, 23, kAny},
      {"declaration after a comment", "<!-- c --><?xml version='1.0'?>" + with_name("x"), 0, 0, 0},
      {"declaration after the root start", "<Msg id='1'><?xml version='1.0'?><Name/></Msg>", 13, 13,
       lmx::ELMX_SEV_FATAL},
      {"three hyphens end a comment with a warning", "<!-- c --->" + with_name("x"), 0, 8,
       lmx::ELMX_SEV_WARNING},
      {"processing instruction in the prolog", "<?style a='b'?>" + with_name("x"), 0, 0, 0},
      {"doctype with external id only", "<!DOCTYPE Msg SYSTEM 'x[.dtd'>" + with_name("x"), 0, 0, 0},
      {"doctype twice", "<!DOCTYPE Msg><!DOCTYPE Msg>" + with_name("x"), 9, 9, lmx::ELMX_SEV_ERROR},
      {"doctype after the root", "<Msg id='1'><!DOCTYPE Msg><Name/></Msg>", 9, 9,
       lmx::ELMX_SEV_ERROR},
      {"subset closed without '>'", "<!DOCTYPE Msg [ ] x>" + with_name("x"), 9, 9,
       lmx::ELMX_SEV_FATAL},
      {"junk in the subset", "<!DOCTYPE Msg [ x ]>" + with_name("x"), 9, 9, lmx::ELMX_SEV_FATAL},
      {"SYSTEM entity warns only", "<!DOCTYPE Msg [<!ENTITY e SYSTEM 'e.xml'>]>" + with_name("&e;"),
       0, 17, lmx::ELMX_SEV_WARNING},
      {"unknown keyword in an entity", "<!DOCTYPE Msg [<!ENTITY e BOGUS 'x'>]>" + with_name("x"), 0,
       33, lmx::ELMX_SEV_ERROR},
      {"undeclared parameter entity", "<!DOCTYPE Msg [ %p; ]>" + with_name("x"), 0, 41,
       lmx::ELMX_SEV_ERROR},
      {"bad character reference in an entity",
       "<!DOCTYPE Msg [<!ENTITY e '&#0;'>]>" + with_name("x"), 9, 9, lmx::ELMX_SEV_FATAL},
      {"bad element opener", "<Msg id='1'><=/></Msg>", 23, 23, lmx::ELMX_SEV_ERROR},
  };
  for (const Row& r : rows) {
    SCOPED_TRACE(r.why);
    const Outcome o = read(r.doc);
    EXPECT_EQ(o.code, r.code) << o.text;
    EXPECT_EQ(o.recorded, r.recorded) << o.record_message;
    if (r.recorded != 0 && r.severity != kAny) {
      EXPECT_EQ(o.severity, r.severity);
    }
  }
  // The SYSTEM entity stays undefined: its reference is kept as written.
  EXPECT_EQ(read("<!DOCTYPE Msg [<!ENTITY e SYSTEM 'e.xml'>]>" + with_name("&e;")).msg.name, "&e;");
}

TEST(ReaderEntities, InternalEntitiesExpandInValuesAndAttributes) {
  const std::string dtd =
      "<!DOCTYPE Msg [\n"
      "  <!-- parameter entities build general ones -->\n"
      "  <!ENTITY % p 'pa'>\n"
      "  <!ENTITY % decl '<!ENTITY fromp \"from %p;\">'>\n"
      "  %decl;\n"
      "  <!ENTITY e 'E&amp;&#x41;'>\n"
      "  <!ENTITY q '\"'>\n"
      "  <!ENTITY later 'first'>\n"
      "  <!ENTITY later 'second'>\n"
      "]>";
  const Outcome o = read(dtd + "<Msg id=\"&q;&e;\"><Name>&e;|&fromp;|&later;</Name></Msg>");
  ASSERT_EQ(o.code, 0) << o.text << " / " << o.record_message;
  EXPECT_EQ(o.msg.id, "\"E&A");  // a quote from an entity does not close the value
  EXPECT_EQ(o.msg.name, "E&A|from pa|second");
}

TEST(ReaderEntities, SelfReferenceExpandsOnceAndIsRecorded) {
  const Outcome o = read("<!DOCTYPE Msg [<!ENTITY e 'a&e;b'>]>" + with_name("[&e;]"));
  EXPECT_EQ(o.code, 0) << o.text;
  EXPECT_EQ(o.msg.name, "[ab]");
  EXPECT_EQ(o.recorded, 24);
  EXPECT_EQ(o.fatal, 1);
  EXPECT_EQ(o.record_message, "Recursive entity definition: e");

  // Mutual recursion through parameter entities is caught the same way.
  const Outcome p =
      read("<!DOCTYPE Msg [<!ENTITY % a '%b;'><!ENTITY % b '%a;'> %a; ]>" + with_name("x"));
  EXPECT_EQ(p.code, 0);
  EXPECT_EQ(p.recorded, 24);
}

TEST(ReaderEntities, ExponentialExpansionIsCappedAndFailsTheValue) {
  // Ten levels, each ten references to the one below: 10^10 bytes if left unchecked.
  auto nested = [](const std::string& decl, const std::string& ref) {
    std::string dtd = "<!DOCTYPE Msg [<!ENTITY " + decl + "0 'xxxxxxxxxx'>";
    for (int i = 1; i < 10; ++i) {
      std::string refs;
      for (int k = 0; k < 10; ++k) refs += ref + std::to_string(i - 1) + ";";
      dtd += "<!ENTITY " + decl + std::to_string(i) + " '" + refs + "'>";
    }
    return dtd;
  };
  const std::string dtd = nested("l", "&l") + "]>";
  const auto start = std::chrono::steady_clock::now();
  const Outcome bomb = read(dtd + with_name("&l9;"));
  EXPECT_LT(std::chrono::steady_clock::now() - start, std::chrono::seconds(20));
  EXPECT_EQ(bomb.code, 29);
  EXPECT_EQ(bomb.recorded, 24);
  EXPECT_EQ(bomb.fatal, 1);
  EXPECT_NE(bomb.record_message.find("limit"), std::string::npos) << bomb.record_message;
  EXPECT_EQ(read(dtd + "<Msg id='&l9;'><Name/></Msg>").code, 28);

  // Parameter entities grow while the subset is read (their references are expanded when
  // declared): the subset fails there, with the same code.
  const Outcome subset = read(nested("% p", "%p") + "]>" + with_name("x"));
  EXPECT_EQ(subset.code, 24);
  EXPECT_EQ(subset.fatal, 1);

  // Escapes are single characters and never use up the budget, however many there are.
  {
    std::string escapes;
    for (int i = 0; i < 100; ++i) escapes += "&amp;&lt;";
    const std::string doc = with_name(escapes);
    lmx::c_read_memory source(doc.data(), doc.size());
    lmx::c_xml_reader reader(source);
    reader.input().set_expansion_limit(16);
    Message m;
    EXPECT_EQ(m.read(reader), 0);
    EXPECT_EQ(m.name.size(), 200u);
  }

  // The same entities used within the budget (10^4 bytes) read normally.
  const Outcome fine = read(dtd + with_name("&l3;"));
  EXPECT_EQ(fine.code, 0);
  EXPECT_EQ(fine.msg.name, std::string(10000, 'x'));
  EXPECT_EQ(fine.recorded, 0);
}

// ---- namespaces ----

TEST(ReaderNamespaces, PrefixesDefaultsAndSchemaInstanceAttributes) {
  const std::string xsi = "'http://www.w3.org/2001/XMLSchema-instance'";
  struct Row {
    const char* why;
    std::string doc;
    int code;
  };
  const Row rows[] = {
      {"xsi attribute skipped", "<Msg xmlns:xsi=" + xsi + " xsi:type='t' id='1'><Name/></Msg>", 0},
      {"declared after its use", "<Msg id='1' xsi:nil='false' xmlns:xsi=" + xsi + "><Name/></Msg>",
       0},
      {"default namespace falls back to the local name", "<Msg xmlns='urn:o' id='1'><Name/></Msg>",
       0},
      {"unbound prefix is not xsi", "<Msg id='1' xsi:type='t'><Name/></Msg>", 39},
  };
  for (const Row& r : rows) {
    SCOPED_TRACE(r.why);
    EXPECT_EQ(read(r.doc).code, r.code);
  }

  const std::string doc =
      "<a:Root xmlns:a='urn:a' xmlns='urn:d' xmlns:i='http://www.w3.org/2001/XMLSchema-instance'"
      " i:nil='true' xml:lang='en' plain='1'><Child xmlns='' a:x='1'/></a:Root>";
  lmx::c_read_memory source(doc.data(), doc.size());
  lmx::c_xml_reader r(source);
  const lmx::s_name_entry roots[] = {
      {1000, "Root", 20}, {lmx::NS_NONE, "Root", 21}, {0, nullptr, 0}};
  std::string name;
  int error = 0;
  EXPECT_EQ(r.next_element(roots, error, name), 20);  // full match beats the fallback
  EXPECT_EQ(r.namespace_id(), 1000);
  EXPECT_EQ(r.local_name(), "Root");
  EXPECT_EQ(r.prefix(), "a");
  EXPECT_EQ(r.next_attribute(nullptr, error, name), lmx::TOK_XSI_NIL);
  EXPECT_TRUE(r.is_xsi_attribute(name));
  EXPECT_EQ(r.skip_attribute_value(), 0);
  EXPECT_EQ(r.next_attribute(nullptr, error, name), lmx::TOK_NAME);
  EXPECT_EQ(r.namespace_id(), lmx::NS_XML);
  EXPECT_EQ(r.next_attribute(nullptr, error, name), lmx::TOK_NAME);  // value left unread
  EXPECT_EQ(r.namespace_id(), 1000);  // an attribute without prefix takes its element's
  EXPECT_EQ(r.next_attribute(nullptr, error, name), lmx::TOK_START_TAG_END);
  EXPECT_EQ(r.next_element(nullptr, error, name), lmx::TOK_UNKNOWN);
  EXPECT_EQ(name, "Child");
  EXPECT_EQ(r.namespace_id(), lmx::NS_NONE);                          // xmlns='' undoes the default
  EXPECT_EQ(r.next_element(nullptr, error, name), lmx::TOK_END_TAG);  // "/>" of Child
  EXPECT_EQ(name, "Child");
  EXPECT_EQ(r.next_element(nullptr, error, name), lmx::TOK_END_TAG);
  EXPECT_EQ(name, "a:Root");
  EXPECT_EQ(r.next_element(nullptr, error, name), lmx::TOK_END_OF_INPUT);
  EXPECT_EQ(error, lmx::ELMX_UNEXPECTED_EOM);
  EXPECT_EQ(r.namespace_id("urn:d"), 1001);
  EXPECT_EQ(r.namespace_id("urn:new"), 1002);
  EXPECT_EQ(r.namespace_id("http://www.w3.org/2001/XMLSchema"), lmx::NS_XML_SCHEMA);
}

// ---- error text, handlers, robustness ----

TEST(ReaderErrors, ErrorTextNamesLineItemAndMessage) {
  const Outcome o = read("<Msg id='1'>\r\n<Name>a\r\nb</Name>\r\n<Bad/>\r\n</Msg>");
  EXPECT_EQ(o.code, 10);
  EXPECT_EQ(o.text, "line:4-'Msg'-Bad end of element");

  lmx::c_read_memory source("<a/>", 4);
  lmx::c_xml_reader r(source);
  EXPECT_EQ(r.get_error_message(), "No Error");
  EXPECT_EQ(r.report_error(99, "X", __FILE__, __LINE__), 99);
  EXPECT_EQ(r.get_error_message(), "line:1-'X'-");  // a code outside the table has no message
}

TEST(ReaderErrors, SkipElementChecksNesting) {
  struct Row {
    const char* why;
    std::string doc;
    int code;
  };
  const Row rows[] = {
      {"nested elements skipped", "<a x='>'><b><c/>t<![CDATA[</a>]]></b><!-- </a> --></a><z/>", 0},
      {"mismatched end tag", "<a><b></c></a>", 23},
      {"input ends inside", "<a><b>", 34},
  };
  for (const Row& r : rows) {
    SCOPED_TRACE(r.why);
    lmx::c_read_memory source(r.doc.data(), r.doc.size());
    lmx::c_xml_reader reader(source);
    std::string name;
    int error = 0;
    ASSERT_EQ(reader.next_element(nullptr, error, name), lmx::TOK_UNKNOWN);
    EXPECT_EQ(reader.skip_element(), r.code);
    if (r.code == 0) {
      EXPECT_EQ(reader.next_element(nullptr, error, name), lmx::TOK_UNKNOWN);
      EXPECT_EQ(name, "z");
    }
  }
}

// What may follow the root element: blanks, comments and processing instructions, nothing
// else; and the input as a whole must have been characters. Each row read as a message first
// (which stops at the root's end), then checked to the end of the input.
TEST(ReaderDocumentEnd, OnlyMiscellanyMayFollowTheRootAndEveryByteMustBeACharacter) {
  const std::string doc = "<Msg id=\"1\"><Name>a</Name></Msg>";
  const std::u16string wide = widen_ascii(doc);
  struct Case {
    const char* why;
    std::string bytes;
    bool wellFormed;
  };
  const Case kCases[] = {
      {"nothing after the root", doc, true},
      {"blanks, a comment and a processing instruction", doc + " \n<!-- c --><?pi x?>\r\n", true},
      {"UTF-16 with blanks after the root", utf16(wide + u"\n ", false, true), true},
      {"text after the root", doc + "x", false},
      {"a second root", doc + "<Msg id=\"2\"><Name>b</Name></Msg>", false},
      {"a stray end tag", doc + "</Msg>", false},
      {"a CDATA section", doc + "<![CDATA[x]]>", false},
      {"a second XML declaration", doc + "<?xml version=\"1.0\"?>", false},
      {"a document type declaration", doc + "<!DOCTYPE Msg>", false},
      {"a comment that never ends", doc + "<!-- c", false},
      {"a NUL after the root", doc + std::string(1, '\0'), false},
      {"a NUL inside a comment before the root", "<!-- a" + std::string(1, '\0') + " -->" + doc,
       false},
      {"UTF-8 cut inside a character at the end", doc + "\xC3", false},
      {"a byte that starts no UTF-8 character", doc + "<!-- \xFF -->", false},
      {"UTF-16 with an odd byte at the end", utf16(wide, false, true) + "\n", false},
      {"UTF-16 ending in half a surrogate pair", utf16(wide + u"\xD83D", false, true), false},
  };
  for (const Case& c : kCases) {
    SCOPED_TRACE(c.why);
    lmx::c_read_memory source(c.bytes.data(), c.bytes.size());
    lmx::c_xml_reader reader(source);
    Message msg;
    ASSERT_EQ(msg.read(reader), 0) << reader.get_error_message();
    EXPECT_EQ(msg.name, "a");
    const int code = reader.end_of_document();
    EXPECT_EQ(code, c.wellFormed ? 0 : int(lmx::ELMX_NOT_WELL_FORMED));
    if (!c.wellFormed) {
      EXPECT_NE(reader.get_error_message().find("'Msg'-Not well formed"), std::string::npos)
          << reader.get_error_message();
    }
  }
}

TEST(ReaderErrors, EveryTruncationFailsCleanly) {
  // Cut a document with every construct at every byte: no cut may read as success or run
  // past the end (the sanitizer build checks the latter).
  const std::string doc =
      "\xEF\xBB\xBF<?xml version='1.0' encoding='UTF-8'?><!-- c -->"
      "<!DOCTYPE Msg [<!ENTITY e 'v&#65;'><!ENTITY % p '<!ENTITY f \"w\">'> %p; ]>"
      "<Msg "
      "id='&e;\xC3\xA9'><Name>a&e;&f;&#x42;<![CDATA[c]]>\xE2\x82\xAC</Name><Item>1</Item></Msg>";
  ASSERT_EQ(read(doc).code, 0);
  for (std::size_t cut = 0; cut < doc.size() - 1; ++cut) {
    SCOPED_TRACE(cut);
    const Outcome o = read(doc.substr(0, cut));
    EXPECT_NE(o.code, 0);
  }
  // And as UTF-16, where a cut may also split a code unit.
  std::u16string wide;
  for (char c : std::string("<Msg id='1'><Name>ab</Name></Msg>"))
    wide.push_back(static_cast<char16_t>(c));
  const std::string bytes = utf16(wide, false, true);
  for (std::size_t cut = 0; cut < bytes.size() - 2; ++cut) {
    SCOPED_TRACE(cut);
    EXPECT_NE(read(bytes.substr(0, cut)).code, 0);
  }
}

}  // namespace
