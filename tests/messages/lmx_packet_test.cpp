// Packets over the generated classes: the bytes they write, the exception a bad body raises,
// and the result/details bridge to the DOM packets of sibling services.
#include <gtest/gtest.h>

#include "DSMCancelOperation_Request.h"
#include "DSMCopyFile_Response.h"
#include "DSMServerDeleteFile_Request.h"
#include "NSFindService_Response.h"
#include "framework/LMXPacket.h"
#include "tests/fakes/Bytes.h"

namespace Zarvo {
namespace {

using testing_bytes::hex;
using Zarvo::LMXRequest;
using Zarvo::LMXResponse;
using Zarvo::WrongPacketFormat;

using CancelRequest = LMXRequest<DSMCancelOperation_Request::c_OrxRequest>;
using DeleteRequest = LMXRequest<DSMServerDeleteFile_Request::c_OrxRequest>;
using PlainResponse = LMXResponse<DSMCopyFile_Response::c_OrxResponse>;
using FindResponse = LMXResponse<NSFindService_Response::c_OrxResponse>;

QString thrownMessage(Zarvo::Packet& packet, const QByteArray& bytes) {
  try {
    packet.fromByteArray(bytes);
  } catch (const WrongPacketFormat& e) {
    return e.message();
  }
  return "no exception";
}

TEST(LMXPacket, WritesUtf8WithTheRootOnTheDeclarationLine) {
  CancelRequest request;
  request.set_OperationID(12);
  QByteArray bytes;
  request.toByteArray(bytes);
  EXPECT_EQ(hex(bytes), hex(std::string("<?xml version=\"1.0\" encoding=\"UTF-8\"?>"
                                        "<OrxRequest command=\"DSMCancelOperation\">\n"
                                        "\t<OperationID>12</OperationID>\n</OrxRequest>\n")));
  EXPECT_EQ(request.command(), "DSMCancelOperation");

  PlainResponse response;
  response.setResult(5, QString::fromUtf8("Service paused \xC3\xA9"));
  response.toByteArray(bytes);
  EXPECT_EQ(hex(bytes), hex(std::string("<?xml version=\"1.0\" encoding=\"UTF-8\"?><OrxResponse>\n"
                                        "\t<Result>5</Result>\n"
                                        "\t<Details>Service paused \xC3\xA9</Details>\n"
                                        "</OrxResponse>\n")));
}

TEST(LMXPacket, BadBodyThrowsTheReaderText) {
  CancelRequest request;
  EXPECT_EQ(thrownMessage(request, "<OrxResponse/>"), "line:1-'OrxRequest'-Element not found");
  EXPECT_EQ(thrownMessage(request, ""), "line:1-'OrxRequest'-Unexpected end of message");
  EXPECT_EQ(thrownMessage(request,
                          "<OrxRequest command=\"c\">\n<OperationID>x</OperationID>"
                          "</OrxRequest>"),
            "line:2-'OperationID'-Invalid value format for this type");
}

// A body that is no well-formed document is refused, whatever its root held: the dispatcher
// answers Result 3 with this text. These were read as if the junk were not there.
TEST(LMXPacket, ABodyThatIsNoWellFormedDocumentIsRefused) {
  const QByteArray request = "<OrxRequest command=\"c\"><OperationID>1</OperationID></OrxRequest>";
  for (const QByteArray& junk :
       {QByteArray("<OrxRequest command=\"c\"/>"), QByteArray("x"), QByteArray("\0", 1),
        QByteArray("\xE2\x82")}) {
    SCOPED_TRACE(hex(junk));
    CancelRequest packet;
    EXPECT_EQ(thrownMessage(packet, request + junk), "line:1-'OrxRequest'-Not well formed");
  }
  CancelRequest packet;
  EXPECT_EQ(thrownMessage(packet, request + "\n<!-- end -->\n"), "no exception");
  EXPECT_EQ(packet.get_OperationID(), 1u);
}

TEST(LMXPacket, AReadReplacesWhatWasReadBeforeAndAFailedOneLeavesIt) {
  DeleteRequest request;
  const QByteArray body =
      "<OrxRequest command=\"DSMServerDeleteFile\"><File><FileName>a</FileName>"
      "</File></OrxRequest>";
  request.fromByteArray(body);
  request.fromByteArray(body);
  ASSERT_EQ(request.size_File(), 1u) << "the second read replaces the first";
  // The second body fails after its first File: nothing of it may stick.
  EXPECT_NE(thrownMessage(request,
                          "<OrxRequest command=\"DSMServerDeleteFile\"><File><FileName>b"
                          "</FileName></File><File/></OrxRequest>"),
            "no exception");
  ASSERT_EQ(request.size_File(), 1u);
  EXPECT_EQ(request.get_File(0).get_FileName(), u"a");
}

TEST(LMXPacket, OperationsOfTheOtherKindThrowEmpty) {
  CancelRequest request;
  PlainResponse response;
  auto message = [](auto&& call) {
    try {
      call();
    } catch (const WrongPacketFormat& e) {
      return e.message().isEmpty() ? QString("empty") : e.message();
    }
    return QString("no exception");
  };
  EXPECT_EQ(message([&] { (void)request.result(); }), "empty");
  EXPECT_EQ(message([&] { (void)request.details(); }), "empty");
  EXPECT_EQ(message([&] { request.setResult(1, "x"); }), "empty");
  EXPECT_EQ(message([&] { (void)response.command(); }), "empty");
}

TEST(LMXPacket, ReadsTheUtf16BytesOfADomResponse) {
  QByteArray bytes;
  Zarvo::ResponsePacket(3, QString::fromUtf8("Wrong request format: \xC3\xA9 <&>"))
      .toByteArray(bytes);
  PlainResponse response;
  response.fromByteArray(bytes);
  EXPECT_EQ(response.result(), 3);
  EXPECT_EQ(response.details(), QString::fromUtf8("Wrong request format: \xC3\xA9 <&>"));

  // A DOM response has no ServiceURL, so a response that needs one refuses it.
  FindResponse find;
  Zarvo::ResponsePacket(0).toByteArray(bytes);
  EXPECT_EQ(thrownMessage(find, bytes), "line:1-'ServiceURL'-Mandatory element missing");
}

TEST(LMXPacket, ReadsARequestBuiltAsADomPacket) {
  // In-process calls hand a DOM request to a handler that expects generated classes: the
  // UTF-16 bytes of the one must read as the other.
  Zarvo::RequestPacket dom("DSMCancelOperation");
  dom.addElement("OperationID", " 17 ");
  QByteArray bytes;
  dom.toByteArray(bytes);
  CancelRequest request;
  request.fromByteArray(bytes);
  EXPECT_EQ(request.command(), "DSMCancelOperation");
  EXPECT_EQ(request.get_OperationID(), 17u);
}

}  // namespace

}  // namespace Zarvo
