// The DOM packets: exact UTF-16 output, reading either encoding, the exactly-one rule of the
// element lookups, and hostile documents.
#include "framework/Packet.h"

#include <gtest/gtest.h>

#include "tests/fakes/Bytes.h"

namespace Zarvo {
namespace {

using testing_bytes::hex;

QByteArray utf16le(const QString& s) {
  QByteArray out;
  for (QChar c : s) {
    out.append(char(c.unicode() & 0xFF));
    out.append(char(c.unicode() >> 8));
  }
  return out;
}

TEST(ResponsePacket, WritesUtf16LittleEndianWithoutBom) {
  QByteArray bytes;
  ResponsePacket(0).toByteArray(bytes);
  EXPECT_EQ(hex(bytes),
            hex(utf16le("<?xml version=\"1.0\" encoding=\"UTF-16\" standalone=\"no\" ?>"
                        "<OrxResponse><Result>0</Result><Details>OK</Details></OrxResponse>")));
}

// The host's own answers skip the DOM writer; they must still be the writer's bytes exactly.
TEST(ResponsePacket, WritingWithoutATreeGivesTheDomWritersBytes) {
  struct ThroughTheTree : ResponsePacket {  // another class: always written through the DOM
    using ResponsePacket::ResponsePacket;
  };
  struct Case {
    const char* why;
    int result;
    QString details;
  };
  const Case kCases[] = {
      {"success", 0, "OK"},
      {"unknown command", 2, "Can't handle command: NoSuchCommand"},
      {"paused service", 5, "Service paused"},
      {"negative code", -1, "Command handler raised an exception"},
      {"characters the writer escapes go the long way", 3, "a < b & c > d \"q\""},
      {"quotes it leaves alone", 3, "it's \"quoted\""},
      {"empty details go the long way", 0, ""},
      {"non-ASCII goes the long way", 1, QString::fromUtf8("caf\xC3\xA9")},
      {"control characters go the long way", 1, "tab\there"},
      {"a percent sign is not a placeholder", 7, "%1 and %2"},
  };
  for (const Case& c : kCases) {
    SCOPED_TRACE(c.why);
    QByteArray fast, tree;
    ResponsePacket(c.result, c.details).toByteArray(fast);
    ThroughTheTree(c.result, c.details).toByteArray(tree);
    EXPECT_EQ(hex(fast), hex(tree));
  }
}

TEST(ResponsePacket, DetailsDefaultFromTheCode) {
  EXPECT_EQ(ResponsePacket(0).details(), "OK");
  EXPECT_EQ(ResponsePacket(4).details(), "Fail");
  EXPECT_EQ(ResponsePacket(4, "why").details(), "why");
}

TEST(ResponsePacket, ReadsWhatItWroteAndUtf8AndWritesALaterResult) {
  QByteArray bytes;
  ResponsePacket(-6, QString::fromUtf8("caf\xC3\xA9 <&>")).toByteArray(bytes);
  ResponsePacket back;
  back.fromByteArray(bytes);
  EXPECT_EQ(back.result(), -6);
  EXPECT_EQ(back.details(), QString::fromUtf8("caf\xC3\xA9 <&>"));

  ResponsePacket utf8;
  utf8.fromByteArray(
      "<?xml version=\"1.0\" encoding=\"UTF-8\"?>\n<OrxResponse>\n\t<Result>12"
      "</Result>\n\t<Details>d</Details>\n</OrxResponse>\n");
  EXPECT_EQ(utf8.result(), 12);
  EXPECT_EQ(utf8.details(), "d");

  ResponsePacket packet(0);
  packet.toByteArray(bytes);
  packet.setResult(3, "later");  // after a write: written too
  packet.toByteArray(bytes);
  back.fromByteArray(bytes);
  EXPECT_EQ(back.result(), 3);
  EXPECT_EQ(back.details(), "later");
}

TEST(ResponsePacket, ElementLookupsNeedExactlyOneElement) {
  struct Case {
    const char* why;
    QByteArray xml;
    int result;
    QString details;
  };
  const Case cases[] = {
      {"Result twice is ignored", "<OrxResponse><Result>4</Result><Result>5</Result></OrxResponse>",
       0, ""},
      {"no Result reads as 0", "<OrxResponse><Details>x</Details></OrxResponse>", 0, "x"},
      {"not a number reads as 0", "<OrxResponse><Result>abc</Result></OrxResponse>", 0, ""},
      {"nested below the root counts", "<OrxResponse><a><Result>9</Result></a></OrxResponse>", 9,
       ""},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.why);
    ResponsePacket p;
    p.fromByteArray(c.xml);
    EXPECT_EQ(p.result(), c.result);
    EXPECT_EQ(p.details(), c.details);
  }
}

TEST(PacketDOM, BytesThatAreNotADocumentThrowWithTheParserMessage) {
  const QByteArray cases[] = {"", "not xml at all", "<OrxResponse><Result>0</Res",
                              "<OrxResponse/>junk", QByteArray("\xFF\xFE\x00", 3)};
  for (const QByteArray& bytes : cases) {
    SCOPED_TRACE(hex(bytes));
    ResponsePacket p;
    try {
      p.fromByteArray(bytes);
      ADD_FAILURE() << "no exception";
    } catch (const WrongPacketFormat& e) {
      EXPECT_FALSE(e.message().isEmpty());
    }
  }
}

TEST(PacketDOM, ExternalEntitiesAreNeverFetched) {
  ResponsePacket p;
  const QByteArray xml =
      "<?xml version=\"1.0\"?><!DOCTYPE OrxResponse [<!ENTITY e SYSTEM \"file:///etc/hostname\">]>"
      "<OrxResponse><Result>1</Result><Details>&e;</Details></OrxResponse>";
  try {
    p.fromByteArray(xml);
    EXPECT_TRUE(p.details().isEmpty()) << p.details().toStdString();
  } catch (const WrongPacketFormat&) {
    SUCCEED();  // refusing the document is just as safe
  }
}

TEST(PacketDOM, EntityExpansionIsBounded) {
  QByteArray xml = "<?xml version=\"1.0\"?><!DOCTYPE r [<!ENTITY a0 \"xxxxxxxxxx\">";
  for (int i = 1; i < 10; ++i) {
    xml += QStringLiteral("<!ENTITY a%1 \"").arg(i).toUtf8();
    for (int k = 0; k < 10; ++k) xml += QStringLiteral("&a%1;").arg(i - 1).toUtf8();
    xml += "\">";
  }
  xml += "]><OrxResponse><Details>&a9;</Details></OrxResponse>";
  ResponsePacket p;
  EXPECT_THROW(p.fromByteArray(xml), WrongPacketFormat);
}

TEST(RequestPacket, BuildsTheEnvelopeAndKeepsItsOwnCommand) {
  Zarvo::RequestPacket packet("DSMGetFileList");
  QByteArray bytes;
  packet.toByteArray(bytes);
  EXPECT_TRUE(
      QString::fromUtf16(reinterpret_cast<const char16_t*>(bytes.constData()), bytes.size() / 2)
          .endsWith("<OrxRequest command=\"DSMGetFileList\"/>"));
  Zarvo::RequestPacket read("Mine");
  read.fromByteArray("<OrxRequest command=\"Other\"/>");
  EXPECT_EQ(read.command(), "Mine");
  EXPECT_THROW(read.result(), WrongPacketFormat);
  EXPECT_THROW(ResponsePacket().command(), WrongPacketFormat);
}

}  // namespace

}  // namespace Zarvo
