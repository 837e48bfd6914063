// Byte-exact output of the generated classes: the layouts peers parse (declaration and root
// on one line, a tab per level, empty-element roots and IP, one-line LargeFile).
#include <gtest/gtest.h>

#include <functional>
#include <string>

#include "DSMAddFile_Request.h"
#include "DSMClearCompletedOperation_Request.h"
#include "DSMCopyFile_Response.h"
#include "DSMDetailsOperation_Response.h"
#include "DSMGetFileList_Response.h"
#include "MGMTCloseApplication_Response.h"
#include "MessageIO.h"
#include "NSRegisterService_Request.h"
#include "SNMPSetValues_Request.h"
#include "SNMPTrap_Request.h"
#include "tests/fakes/Bytes.h"

namespace {

using testing_bytes::hex;

struct LayoutCase {
  const char* why;
  std::function<message_io::Written()> write;
  std::string expected;  // without the declaration
};

template <class T>
std::function<message_io::Written()> fresh() {
  return [] { return message_io::write(T()); };
}

message_io::Written addFile(void (*fill)(DSMAddFile_Request::c_OrxRequest::c_LargeFile&)) {
  DSMAddFile_Request::c_OrxRequest request;
  request.set_DeviceIP(u"10.0.0.7");
  request.append_LargeFile();
  fill(request.back_LargeFile());
  return message_io::write(request);
}

TEST(WriteLayout, MatchesTheWireBytes) {
  const LayoutCase cases[] = {
      {"plain storage-manager response: Details starts empty",
       fresh<DSMCopyFile_Response::c_OrxResponse>(),
       "<OrxResponse>\n\t<Result>0</Result>\n\t<Details></Details>\n</OrxResponse>\n"},
      {"framework response: Details starts as OK",
       fresh<MGMTCloseApplication_Response::c_OrxResponse>(),
       "<OrxResponse>\n\t<Result>0</Result>\n\t<Details>OK</Details>\n</OrxResponse>\n"},
      {"child-less request root is one empty-element tag holding its own command",
       fresh<DSMClearCompletedOperation_Request::c_OrxRequest>(),
       "<OrxRequest command=\"DSMClearCompletedOperation\"/>\n"},
      {"LargeFile with attribute and text on one line",
       [] {
         return addFile([](auto& f) {
           f.set_filename(u"C:\\up\\font.pcl");
           f.set_value(u"/tmp/upload 1");
         });
       },
       "<OrxRequest command=\"DSMAddFile\">\n\t<DeviceIP>10.0.0.7</DeviceIP>\n"
       "<LargeFile filename=\"C:\\up\\font.pcl\">/tmp/upload 1</LargeFile>\n</OrxRequest>\n"},
      {"LargeFile without filename writes no attribute",
       [] { return addFile([](auto& f) { f.set_value(u"/tmp/a"); }); },
       "<OrxRequest command=\"DSMAddFile\">\n\t<DeviceIP>10.0.0.7</DeviceIP>\n"
       "<LargeFile>/tmp/a</LargeFile>\n</OrxRequest>\n"},
      {"LargeFile without text still has start and end tag",
       [] { return addFile([](auto& f) { f.set_filename(u"x.pcl"); }); },
       "<OrxRequest command=\"DSMAddFile\">\n\t<DeviceIP>10.0.0.7</DeviceIP>\n"
       "<LargeFile filename=\"x.pcl\"></LargeFile>\n</OrxRequest>\n"},
      {"IP is an empty-element tag at its depth",
       [] {
         SNMPSetValues_Request::c_OrxRequest request;
         auto& device = request.item_Device(0);
         device.get_RequestParams().enable_IP().set_address(u"10.0.0.5");
         auto& vars = device.get_RequestVariables();
         vars.get_staticTrapDestAddr().set_Index("1");
         vars.get_staticTrapDestAddr().set_Value(u"10.0.0.1");
         vars.get_staticTrapDestCommunity().set_Index("1");
         vars.get_staticTrapDestCommunity().set_Value(u"public");
         vars.get_staticTrapDestStatus().set_Index("1");
         vars.get_staticTrapDestStatus().set_Value(u"4");
         return message_io::write(request);
       },
       "<OrxRequest command=\"SNMPSetValues\">\n\t<Device>\n\t\t<RequestParams>\n"
       "\t\t\t<IP address=\"10.0.0.5\"/>\n\t\t</RequestParams>\n\t\t<RequestVariables>\n"
       "\t\t\t<staticTrapDestAddr>\n\t\t\t\t<Index>1</Index>\n\t\t\t\t<Value>10.0.0.1</Value>\n"
       "\t\t\t</staticTrapDestAddr>\n\t\t\t<staticTrapDestCommunity>\n\t\t\t\t<Index>1</Index>\n"
       "\t\t\t\t<Value>public</Value>\n\t\t\t</staticTrapDestCommunity>\n"
       "\t\t\t<staticTrapDestStatus>\n\t\t\t\t<Index>1</Index>\n\t\t\t\t<Value>4</Value>\n"
       "\t\t\t</staticTrapDestStatus>\n\t\t</RequestVariables>\n\t</Device>\n</OrxRequest>\n"},
      {"absent IP is not written at all",
       [] {
         SNMPSetValues_Request::c_OrxRequest request;
         request.append_Device();
         std::string bytes = message_io::write(request).bytes;
         return message_io::Written{0, bytes.substr(0, bytes.find("<RequestVariables>"))};
       },
       "<OrxRequest command=\"SNMPSetValues\">\n\t<Device>\n\t\t<RequestParams>\n"
       "\t\t</RequestParams>\n\t\t"},
      {"anonymous method group: one element per value, no wrapper",
       [] {
         NSRegisterService_Request::c_OrxRequest request;
         request.set_URL(u"http://127.0.0.1:8080/");
         request.anon_method().append(u"DSMAddFile");
         request.anon_method().append(u"MGMTCloseApplication");
         return message_io::write(request);
       },
       "<OrxRequest command=\"NSRegisterService\">\n\t<URL>http://127.0.0.1:8080/</URL>\n"
       "\t<method>DSMAddFile</method>\n\t<method>MGMTCloseApplication</method>\n"
       "</OrxRequest>\n"},
      {"Variables without Variable: the empty-element form that reads back",
       [] {
         SNMPTrap_Request::c_OrxRequest trap;
         trap.set_HostIp(u"h");
         trap.set_Enterprise(u"e");
         trap.set_GenericNumber("6");
         trap.set_SpecificNumber("1");
         (void)trap.enable_Variables();
         return message_io::write(trap);
       },
       "<OrxRequest command=\"SNMPTrap\">\n\t<HostIp>h</HostIp>\n\t<Enterprise>e</Enterprise>\n"
       "\t<GenericNumber>6</GenericNumber>\n\t<SpecificNumber>1</SpecificNumber>\n"
       "\t<Variables/>\n</OrxRequest>\n"},
      {"list item without values is an empty-element tag; with one value it is complete",
       [] {
         DSMGetFileList_Response::c_OrxResponse list;
         list.append_FileStorage();
         list.item_FileStorage(1).set_FileIndex(3);
         return message_io::write(list);
       },
       "<OrxResponse>\n\t<Result>0</Result>\n\t<Details></Details>\n\t<FileStorage/>\n"
       "\t<FileStorage>\n\t\t<FileIndex>3</FileIndex>\n\t\t<FileName></FileName>\n"
       "\t\t<FileSize>0</FileSize>\n\t\t<FileType></FileType>\n"
       "\t\t<FilePersistence></FilePersistence>\n\t\t<FileStorageFileID>0</FileStorageFileID>\n"
       "\t</FileStorage>\n</OrxResponse>\n"},
      {"numbers, bools and escaped text in a nested item",
       [] {
         DSMDetailsOperation_Response::c_OrxResponse response;
         response.set_Type(6);
         response.set_Status(2);
         response.set_Source(u"a<b&c");
         response.set_Destination(u"\"q\" 'a' \u00e9");
         auto& file = response.item_File(0);
         file.set_FileName(u"f>1");
         file.set_FileSize(4294967295u);
         file.set_FileType(u"pclMacro");
         file.set_Source(u"-");
         file.set_Destination(u"-");
         file.set_Result(true);
         file.set_Details(u"completed");
         return message_io::write(response);
       },
       "<OrxResponse>\n\t<Result>0</Result>\n\t<Details></Details>\n\t<Type>COPY</Type>\n"
       "\t<Status>COMPLETED</Status>\n\t<Source>a&lt;b&amp;c</Source>\n"
       "\t<Destination>&quot;q&quot; &apos;a&apos; \xC3\xA9</Destination>\n\t<File>\n"
       "\t\t<FileName>f>1</FileName>\n\t\t<FileSize>4294967295</FileSize>\n"
       "\t\t<FileType>pclMacro</FileType>\n\t\t<Source>-</Source>\n"
       "\t\t<Destination>-</Destination>\n\t\t<Result>true</Result>\n"
       "\t\t<Details>completed</Details>\n\t</File>\n</OrxResponse>\n"},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.why);
    const message_io::Written out = c.write();
    EXPECT_EQ(out.code, 0);
    std::string bytes = out.bytes;
    const std::string declaration = message_io::kDeclaration;
    if (bytes.compare(0, declaration.size(), declaration) == 0) bytes.erase(0, declaration.size());
    EXPECT_EQ(hex(bytes), hex(c.expected));
  }
}

}  // namespace
