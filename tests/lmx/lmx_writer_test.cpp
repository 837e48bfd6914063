// The XML writer's layouts byte for byte, its declarations, namespace handling and errors.
#include "lmx/lmx_writer.h"

#include <gtest/gtest.h>

#include <locale>
#include <sstream>

#include "tests/fakes/Bytes.h"

namespace {

// Printable bytes of a std::string (literals included) for readable diffs.
std::string hex(const std::string& s) { return testing_bytes::hex(s); }

class WriterTest : public ::testing::Test {
 protected:
  std::string out() const { return os_.str(); }

  std::ostringstream os_;
  lmx::c_xml_writer writer_{os_, "\t", "\n"};
};

TEST_F(WriterTest, NestedLayoutsIndentPerLevel) {
  const std::u16string path = u"C:\\up\\a.pcl";
  writer_.start_element("OrxRequest");
  writer_.write_attribute("command", u"DSMServerAddFile");
  writer_.end_start_tag();
  writer_.start_element("File");
  writer_.end_start_tag();
  writer_.write_element("Size", std::uint32_t{4294967295u});
  writer_.write_element("Details", u"");
  writer_.start_element("IP");
  writer_.write_attribute("addr", u"10.0.0.1");
  writer_.end_empty_element();
  EXPECT_EQ(writer_.level(), 2) << "an empty-element tag opens no level";
  writer_.start_inline_element("LargeFile");
  writer_.write_attribute("filename", u"a.pcl");
  writer_.end_inline_element("LargeFile", &path);
  writer_.start_inline_element("LargeFile");
  writer_.end_inline_element("LargeFile", nullptr);
  writer_.end_element("File");
  writer_.end_element("OrxRequest");
  EXPECT_EQ(hex(out()), hex("<OrxRequest command=\"DSMServerAddFile\">\n"
                            "\t<File>\n"
                            "\t\t<Size>4294967295</Size>\n"
                            "\t\t<Details></Details>\n"
                            "\t\t<IP addr=\"10.0.0.1\"/>\n"
                            "<LargeFile filename=\"a.pcl\">C:\\up\\a.pcl</LargeFile>\n"
                            "<LargeFile></LargeFile>\n"
                            "\t</File>\n"
                            "</OrxRequest>\n"));
  EXPECT_EQ(writer_.level(), 0);
}

// An unpaired surrogate ends only its own value: the markup stays well-formed.
TEST_F(WriterTest, ValuesAreEscapedInTextAndAttributes) {
  writer_.start_element("R");
  writer_.write_attribute("a", u"say \"hi\" & 'bye' <x>");
  writer_.end_start_tag();
  writer_.write_element("T", u"<a> & ]]> \u00E9\U0001F600");
  writer_.write_element("T", u"ok\xD800");
  writer_.write_element("U", u"next");
  writer_.end_element("R");
  EXPECT_EQ(hex(out()),
            hex("<R a=\"say &quot;hi&quot; &amp; &apos;bye&apos; &lt;x>\">\n"
                "\t<T>&lt;a> &amp; ]]&gt; \xC3\xA9\xF0\x9F\x98\x80</T>\n"
                "\t<T>ok</T>\n\t<U>next</U>\n"
                "</R>\n"));
}

TEST_F(WriterTest, TypedLeafValues) {
  writer_.write_element("B", true);
  writer_.write_element("S", std::int32_t{-2147483647 - 1});
  writer_.write_element("U", std::uint32_t{4294967295u});
  writer_.write_element("F", 0.1f);
  writer_.write_element("D", -0.0);
  writer_.write_integer_element("I", "99999999999999999999");
  EXPECT_EQ(hex(out()), hex("<B>true</B>\n<S>-2147483648</S>\n<U>4294967295</U>\n<F>0.1</F>\n"
                            "<D>-0.0</D>\n<I>99999999999999999999</I>\n"));
}

// A numeric facet that groups thousands, as a user locale might.
struct GroupingPunct : std::numpunct<char> {
  char do_thousands_sep() const override { return '.'; }
  std::string do_grouping() const override { return "\3"; }
  char do_decimal_point() const override { return ','; }
};

TEST(Writer, NumbersCarryNoLocaleSeparators) {
  std::ostringstream os;
  os.imbue(std::locale(std::locale::classic(), new GroupingPunct));
  lmx::c_xml_writer w(os, "", "");
  w.write_element("N", std::uint32_t{1234567});
  w.write_element("D", 1234.5);
  os << 7654321;  // the stream itself is left in the classic locale too
  EXPECT_EQ(os.str(), "<N>1234567</N><D>1234.5</D>7654321");
}

TEST(Writer, DeclarationOptions) {
  struct Case {
    const char* why;
    int options;
    const char* text;
  } const kCases[] = {
      {"no bits: nothing", lmx::EXO_NONE, ""},
      {"declaration", lmx::EXO_XML_DECL, "<?xml version=\"1.0\" encoding=\"UTF-8\"?>\r\n"},
      {"standalone alone still declares", lmx::EXO_STANDALONE,
       "<?xml version=\"1.0\" encoding=\"UTF-8\" standalone=\"yes\"?>\r\n"},
      {"both bits", lmx::EXO_XML_DECL | lmx::EXO_STANDALONE,
       "<?xml version=\"1.0\" encoding=\"UTF-8\" standalone=\"yes\"?>\r\n"},
  };
  for (const Case& c : kCases) {
    SCOPED_TRACE(c.why);
    std::ostringstream os;
    lmx::c_xml_writer w(os, c.options, "  ", "\r\n");
    EXPECT_EQ(hex(os.str()), hex(c.text)) << "the declaration ends with the newline string";
  }
}

TEST_F(WriterTest, NamespaceDeclarationsOnlyOnTheFirstElement) {
  writer_.add_namespace("", "urn:default");
  writer_.add_namespace("p", "urn:p");
  writer_.add_namespace("p", "urn:p2");  // replaces
  writer_.start_element("Root", {{"a", "urn:a\"q"}}, true);
  writer_.end_start_tag();
  writer_.start_element("Child", {{"b", "urn:b"}}, true);
  writer_.end_empty_element();
  writer_.end_element("Root");
  EXPECT_EQ(hex(out()), hex("<Root xmlns:a=\"urn:a&quot;q\" xmlns=\"urn:default\" "
                            "xmlns:p=\"urn:p2\" "
                            "xmlns:xsi=\"http://www.w3.org/2001/XMLSchema-instance\">\n"
                            "\t<Child/>\n"
                            "</Root>\n"));
  EXPECT_TRUE(writer_.namespaces_written());
}

TEST_F(WriterTest, RootWithoutDeclarationsStaysBare) {
  writer_.start_element("OrxRequest");
  writer_.end_empty_element();
  writer_.write_namespaces({{"late", "urn:late"}}, true);  // too late: already written
  EXPECT_EQ(out(), "<OrxRequest/>\n");
}

TEST_F(WriterTest, LevelNeverGoesBelowZero) {
  writer_.end_element("Stray");
  writer_.write_element("Next", u"x");
  EXPECT_EQ(out(), "</Stray>\n<Next>x</Next>\n");
  EXPECT_EQ(writer_.level(), 0);
}

TEST_F(WriterTest, AReportedErrorIsReturnedKeptAndNamedWithItsItem) {
  EXPECT_EQ(writer_.get_error_message(), "No Error");
  EXPECT_EQ(writer_.report_error(lmx::ELMX_VALUE_EXCEEDS_MAX, "Result", __FILE__, __LINE__),
            lmx::ELMX_VALUE_EXCEEDS_MAX);
  EXPECT_EQ(writer_.error_code(), lmx::ELMX_VALUE_EXCEEDS_MAX);
  EXPECT_EQ(writer_.get_error_message(), "'Result'-Value greater than specified maximum");
  EXPECT_EQ(writer_.report_error(99, "X", nullptr, 0), 99);
  EXPECT_EQ(writer_.get_error_message(), "'X'-") << "a code outside the table has no message";
}

// A writer that tolerates one code through the second handler slot.
class TolerantWriter : public lmx::c_xml_writer {
 public:
  using lmx::c_xml_writer::c_xml_writer;
  using lmx::c_xml::handle_error;
  int handle_error(int code) override { return code == lmx::ELMX_VALUE_NOT_ENUMERATED ? 0 : code; }
};

TEST(Writer, HandlerCanTolerateACode) {
  std::ostringstream os;
  TolerantWriter w(os, "", "");
  EXPECT_EQ(w.report_error(lmx::ELMX_VALUE_NOT_ENUMERATED, "Type", __FILE__, __LINE__), 0);
  EXPECT_EQ(w.get_error_message(), "No Error") << "a tolerated code leaves no error held";
  EXPECT_EQ(w.report_error(lmx::ELMX_VALUE_BAD_FORMAT, "Size", __FILE__, __LINE__),
            lmx::ELMX_VALUE_BAD_FORMAT);
  EXPECT_EQ(w.get_error_message(), "'Size'-Invalid value format for this type");
}

}  // namespace
