// Whole request and response bodies through the generated readers: every refusal carries its
// code and an error text naming the item, and the tolerated forms read normally.
#include <gtest/gtest.h>

#include <functional>
#include <initializer_list>
#include <string>
#include <vector>

#include "DSMCancelOperation_Request.h"
#include "DSMCopyFile_Request.h"
#include "DSMDetailsOperation_Response.h"
#include "DSMGetFileList_Response.h"
#include "DSMGetOperationList_Request.h"
#include "DSMServerAddFile_Request.h"
#include "MessageIO.h"
#include "NSFindService_Response.h"
#include "SNMPSetValues_Request.h"
#include "SNMPTrap_Request.h"

namespace {

using Reader = std::function<message_io::Read(const std::string&)>;

template <class T>
Reader as() {
  return [](const std::string& body) {
    T message;
    return message_io::read(message, body);
  };
}

const std::string kXml = "<?xml version=\"1.0\" encoding=\"UTF-8\"?>\n";

std::string cancel(const std::string& attributes, const std::string& id) {
  return kXml + "<OrxRequest" + attributes + ">\n\t<OperationID>" + id +
         "</OperationID>\n</OrxRequest>\n";
}

std::string file(const std::string& name, const std::string& size, const std::string& type) {
  return "<File><FileName>" + name + "</FileName><FileSize>" + size + "</FileSize><FileType>" +
         type + "</FileType><FileStorageFileID>7</FileStorageFileID></File>";
}

std::string copy(const std::string& files, const std::string& destinations) {
  return kXml + "<OrxRequest command=\"DSMCopyFile\"><Source><DeviceIP>10.0.0.1</DeviceIP>" +
         files + "</Source>" + destinations + "</OrxRequest>";
}

const std::string kDest = "<Destinations><DeviceIP>10.0.0.2</DeviceIP></Destinations>";

std::string trap(const std::string& generic, const std::string& variables) {
  return kXml +
         "<OrxRequest command=\"SNMPTrap\"><HostIp>10.0.0.9</HostIp>"
         "<Enterprise>.1.3.6.1.4.1.32473</Enterprise><GenericNumber>" +
         generic + "</GenericNumber><SpecificNumber>1</SpecificNumber>" + variables +
         "</OrxRequest>";
}

std::string row(const std::string& name) {
  return "<" + name + "><Index>1</Index><Value>v</Value></" + name + ">";
}

std::string setValues(const std::string& params, const std::string& rows) {
  return kXml + "<OrxRequest command=\"SNMPSetValues\"><Device><RequestParams>" + params +
         "</RequestParams><RequestVariables>" + rows + "</RequestVariables></Device></OrxRequest>";
}

std::string response(const std::string& result, const std::string& rest = "") {
  return kXml + "<OrxResponse><Result>" + result + "</Result><Details>x</Details>" + rest +
         "</OrxResponse>";
}

std::string detailsFile(const std::string& result) {
  return "<Type>ADD</Type><Status>FAILED</Status><Source>-</Source><Destination>d</Destination>"
         "<File><FileName>n</FileName><FileSize>1</FileSize><FileType>psForm</FileType>"
         "<Source>s</Source><Destination>d</Destination><Result>" +
         result + "</Result><Details>t</Details></File>";
}

struct ReadCase {
  const char* why;
  Reader read;
  std::string body;
  int code;
  std::string error;  // the error text after "line:N-"; empty when the read succeeds
};

TEST(ReadChecks, RefusesWithCodeAndItem) {
  const std::string three =
      row("staticTrapDestAddr") + row("staticTrapDestCommunity") + row("staticTrapDestStatus");
  const ReadCase cases[] = {
      {"command given twice", as<DSMCancelOperation_Request::c_OrxRequest>(),
       cancel(" command=\"DSMCancelOperation\" command=\"x\"", "1"), 3,
       "'command'-Attribute has already been read"},
      {"unknown attribute without prefix", as<DSMCancelOperation_Request::c_OrxRequest>(),
       cancel(" command=\"DSMCancelOperation\" foo=\"1\"", "1"), 39, "'foo'-Unexpected attribute"},
      {"xsi prefix without its namespace declaration is just another attribute",
       as<DSMCancelOperation_Request::c_OrxRequest>(), cancel(" command=\"c\" xsi:type=\"t\"", "1"),
       39, "'xsi:type'-Unexpected attribute"},
      {"unquoted attribute value", as<DSMCancelOperation_Request::c_OrxRequest>(),
       cancel(" command=c", "1"), 28, "'command'-Unable to read attribute value"},
      {"command missing", as<DSMCancelOperation_Request::c_OrxRequest>(), cancel("", "1"), 25,
       "'OrxRequest'-Required attribute(s) missing"},
      {"IP without address", as<SNMPSetValues_Request::c_OrxRequest>(), setValues("<IP/>", three),
       25, "'IP'-Required attribute(s) missing"},
      {"empty-element root of a command with children",
       as<DSMCancelOperation_Request::c_OrxRequest>(),
       kXml + "<OrxRequest command=\"DSMCancelOperation\"/>", 32,
       "'OrxRequest'-Unexpected empty element"},
      {"empty-element Destinations", as<DSMCopyFile_Request::c_OrxRequest>(),
       copy(file("a", "1", "psFont"), "<Destinations/>"), 32,
       "'Destinations'-Unexpected empty element"},
      {"Source holds no File", as<DSMCopyFile_Request::c_OrxRequest>(), copy("", kDest), 21,
       "'File'-Mandatory element missing"},
      {"Destinations with start and end tag but no DeviceIP",
       as<DSMCopyFile_Request::c_OrxRequest>(),
       copy(file("a", "1", "psFont"), "<Destinations></Destinations>"), 21,
       "'DeviceIP'-Mandatory element missing"},
      {"children out of order", as<DSMCopyFile_Request::c_OrxRequest>(),
       copy("<File><FileSize>1</FileSize><FileName>a</FileName></File>", kDest), 21,
       "'FileName'-Mandatory element missing"},
      {"Variables with start and end tag but no Variable", as<SNMPTrap_Request::c_OrxRequest>(),
       trap("6", "<Variables></Variables>"), 21, "'Variable'-Mandatory element missing"},
      {"RequestVariables lacks staticTrapDestStatus", as<SNMPSetValues_Request::c_OrxRequest>(),
       setValues("", row("staticTrapDestAddr") + row("staticTrapDestCommunity")), 21,
       "'staticTrapDestStatus'-Mandatory element missing"},
      {"ServerAddFile needs at least one LargeFile", as<DSMServerAddFile_Request::c_OrxRequest>(),
       kXml + "<OrxRequest command=\"DSMServerAddFile\"></OrxRequest>", 21,
       "'LargeFile'-Mandatory element missing"},
      {"FileSize with a letter", as<DSMCopyFile_Request::c_OrxRequest>(),
       copy(file("a", "12a", "psFont"), kDest), 35,
       "'FileSize'-Invalid value format for this type"},
      {"empty-element FileSize is not a number", as<DSMCopyFile_Request::c_OrxRequest>(),
       copy("<File><FileName>a</FileName><FileSize/></File>", kDest), 35,
       "'FileSize'-Invalid value format for this type"},
      {"GenericNumber 6x", as<SNMPTrap_Request::c_OrxRequest>(), trap("6x", ""), 35,
       "'GenericNumber'-Invalid value format for this type"},
      {"per-file bool yes", as<DSMDetailsOperation_Response::c_OrxResponse>(),
       response("0", detailsFile("yes")), 35, "'Result'-Invalid value format for this type"},
      {"FileSize one past the unsigned range", as<DSMCopyFile_Request::c_OrxRequest>(),
       copy(file("a", "4294967296", "psFont"), kDest), 36,
       "'FileSize'-Value greater than specified maximum"},
      {"Result one past the signed range", as<NSFindService_Response::c_OrxResponse>(),
       response("2147483648", "<ServiceURL>u</ServiceURL>"), 36,
       "'Result'-Value greater than specified maximum"},
      {"negative FileSize", as<DSMCopyFile_Request::c_OrxRequest>(),
       copy(file("a", "-1", "psFont"), kDest), 37, "'FileSize'-Value less than specified minimum"},
      {"Result one below the signed range", as<NSFindService_Response::c_OrxResponse>(),
       response("-2147483649", "<ServiceURL>u</ServiceURL>"), 37,
       "'Result'-Value less than specified minimum"},
      {"enumeration is case-sensitive", as<DSMCopyFile_Request::c_OrxRequest>(),
       copy(file("a", "1", "PSFONT"), kDest), 38, "'FileType'-Value does not match enumerations"},
      {"enumeration keeps whitespace", as<DSMCopyFile_Request::c_OrxRequest>(),
       copy(file("a", "1", "psFont "), kDest), 38, "'FileType'-Value does not match enumerations"},
      {"unexpected child after the last one", as<DSMCancelOperation_Request::c_OrxRequest>(),
       kXml + "<OrxRequest command=\"DSMCancelOperation\"><OperationID>1</OperationID>"
              "<Extra>2</Extra></OrxRequest>",
       10, "'OrxRequest'-Bad end of element"},
      {"end tag of another name", as<DSMCancelOperation_Request::c_OrxRequest>(),
       kXml + "<OrxRequest command=\"DSMCancelOperation\"><OperationID>1</OperationID>"
              "</OrxResponse>",
       10, "'OrxRequest'-Bad end of element"},
      {"a response where a request is expected", as<DSMCancelOperation_Request::c_OrxRequest>(),
       response("0"), 16, "'OrxRequest'-Element not found"},
      {"body cut short", as<DSMCancelOperation_Request::c_OrxRequest>(),
       kXml + "<OrxRequest command=\"DSMCancelOperation\"><OperationID>1</OperationID>", 34,
       "'OrxRequest'-Unexpected end of message"},
      {"malformed UTF-8 in a string value is refused, not altered",
       as<DSMCopyFile_Request::c_OrxRequest>(), copy(file("a\xC3(b", "1", "psFont"), kDest), 29,
       "'FileName'-Unable to read element value"},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.why);
    const message_io::Read result = c.read(c.body);
    EXPECT_EQ(result.code, c.code);
    const std::string::size_type dash = result.error.find('-');
    EXPECT_EQ(result.error.substr(0, 5), "line:");
    EXPECT_EQ(dash == std::string::npos ? result.error : result.error.substr(dash + 1), c.error);
  }
}

TEST(ReadChecks, ErrorTextCountsLines) {
  DSMCancelOperation_Request::c_OrxRequest request;
  const message_io::Read result = message_io::read(request, cancel(" command=\"x\"", "-1"));
  EXPECT_EQ(result.code, 37);
  EXPECT_EQ(result.error, "line:3-'OperationID'-Value less than specified minimum");
}

TEST(ReadChecks, ToleratedForms) {
  const ReadCase cases[] = {
      {"schema-instance attributes on the root", as<DSMCancelOperation_Request::c_OrxRequest>(),
       cancel(" xmlns:xsi=\"http://www.w3.org/2001/XMLSchema-instance\" command=\"c\""
              " xsi:noNamespaceSchemaLocation=\"m.xsd\" xsi:type=\"t\"",
              "1"),
       0, ""},
      {"schema-instance namespace under another prefix",
       as<DSMCancelOperation_Request::c_OrxRequest>(),
       cancel(
           " command=\"c\" xmlns:s=\"http://www.w3.org/2001/XMLSchema-instance\" s:nil=\"false\"",
           "1"),
       0, ""},
      {"empty-element root of a child-less command",
       as<DSMGetOperationList_Request::c_OrxRequest>(),
       kXml + "<OrxRequest command=\"DSMGetOperationList\"/>", 0, ""},
      {"child-less root with start and end tag", as<DSMGetOperationList_Request::c_OrxRequest>(),
       kXml + "<OrxRequest command=\"DSMGetOperationList\">\n</OrxRequest>", 0, ""},
      {"empty-element items of a list response", as<DSMGetFileList_Response::c_OrxResponse>(),
       response("0", "<FileStorage/><FileStorage/>"), 0, ""},
      {"trap without Variables", as<SNMPTrap_Request::c_OrxRequest>(), trap("6", ""), 0, ""},
      {"unbounded GenericNumber", as<SNMPTrap_Request::c_OrxRequest>(),
       trap("99999999999999999999", ""), 0, ""},
      {"comment and processing instruction between children",
       as<DSMCancelOperation_Request::c_OrxRequest>(),
       kXml + "<OrxRequest command=\"c\"><!-- c --><?pi x?><OperationID>1</OperationID>"
              "</OrxRequest>",
       0, ""},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.why);
    const message_io::Read result = c.read(c.body);
    EXPECT_EQ(result.code, 0) << result.error;
  }
}

TEST(ReadChecks, ValuesAsRead) {
  DSMCopyFile_Request::c_OrxRequest copyRequest;
  ASSERT_EQ(
      message_io::read(copyRequest,
                       copy(file(" a ", " 42 ", "pclFont") + file("b", "0042", "psForm"), kDest))
          .code,
      0);
  const auto& source = copyRequest.get_Source();
  ASSERT_EQ(source.size_File(), 2u);
  EXPECT_EQ(source.get_File(0).get_FileName(), u" a ");  // strings keep their blanks
  EXPECT_EQ(source.get_File(0).get_FileSize(), 42u);     // numbers drop them
  EXPECT_EQ(source.get_File(1).get_FileSize(), 42u);
  EXPECT_EQ(source.get_File(1).get_FileType(), u"psForm");
  EXPECT_EQ(copyRequest.get_command(), u"DSMCopyFile");
  EXPECT_TRUE(copyRequest.isset_command());

  SNMPTrap_Request::c_OrxRequest empty;
  ASSERT_EQ(message_io::read(empty, trap("+007", "<Variables/>")).code, 0);
  EXPECT_TRUE(empty.isset_Variables());
  EXPECT_EQ(empty.get_Variables().size_Variable(), 0u);
  EXPECT_EQ(empty.get_GenericNumber(), "7");

  SNMPTrap_Request::c_OrxRequest none;
  ASSERT_EQ(message_io::read(none, trap("6", "")).code, 0);
  EXPECT_FALSE(none.isset_Variables());

  DSMDetailsOperation_Response::c_OrxResponse details;
  ASSERT_EQ(message_io::read(details, response("0", detailsFile("1"))).code, 0);
  ASSERT_EQ(details.size_File(), 1u);
  EXPECT_TRUE(details.get_File(0).get_Result());
  const std::string rewritten = message_io::write(details).bytes;
  EXPECT_NE(rewritten.find("<Result>true</Result>"), std::string::npos);

  SNMPSetValues_Request::c_OrxRequest set;
  ASSERT_EQ(
      message_io::read(set, setValues("<IP address=\"10.1.2.3\"></IP>",
                                      row("staticTrapDestAddr") + row("staticTrapDestCommunity") +
                                          row("staticTrapDestStatus")))
          .code,
      0);
  EXPECT_EQ(set.get_Device(0).get_RequestParams().get_IP().get_address(), u"10.1.2.3");
}

}  // namespace

namespace {

// A reader whose handlers tolerate some codes, as a caller may derive one.
class TolerantReader : public lmx::c_xml_reader {
 public:
  TolerantReader(lmx::c_read& source, std::initializer_list<int> tolerated)
      : lmx::c_xml_reader(source), tolerated_(tolerated) {}
  int handle_error(int code) override {
    for (int t : tolerated_) {
      if (t == code) return 0;
    }
    return code;
  }
  using lmx::c_xml_reader::handle_error;

 private:
  std::vector<int> tolerated_;
};

TEST(ReadChecks, ToleratedCodesCarryOn) {
  const std::string body = kXml +
                           "<OrxRequest command=\"DSMCopyFile\" extra=\"1\"><Source>"
                           "<DeviceIP>10.0.0.1</DeviceIP>" +
                           file("a", "99999999999", "PSFONT") + file("b", "2", "psForm") +
                           "</Source><Destinations><DeviceIP>d</DeviceIP></Destinations>"
                           "</OrxRequest>";
  lmx::c_read_memory source(body.data(), body.size());
  TolerantReader reader(source, {39, 36, 38});
  DSMCopyFile_Request::c_OrxRequest request;
  ASSERT_EQ(request.read(reader), 0) << reader.get_error_message();
  const auto& files = request.get_Source();
  ASSERT_EQ(files.size_File(), 2u);
  EXPECT_FALSE(files.get_File(0).isset_FileSize());  // the refused values stay unset
  EXPECT_FALSE(files.get_File(0).isset_FileType());
  EXPECT_EQ(files.get_File(0).get_FileStorageFileID(), 7u);  // and reading went on
  EXPECT_EQ(files.get_File(1).get_FileType(), u"psForm");
  EXPECT_EQ(request.get_Destinations().get_DeviceIP(0), u"d");

  lmx::c_read_memory again(body.data(), body.size());
  TolerantReader strict(again, {39, 36});  // 38 not tolerated: the read stops there
  DSMCopyFile_Request::c_OrxRequest refused;
  EXPECT_EQ(refused.read(strict), 38);
}

}  // namespace
