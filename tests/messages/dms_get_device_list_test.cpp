// The "DMSGetDeviceList" packets exchanged with the device management service: the exact trees
// they write, the reading rules on both sides, and that an answer which is not a response
// document is refused rather than read as empty.
#include <gtest/gtest.h>

#include <functional>

#include "messages/DMSGetDeviceList.h"
#include "tests/messages/DomPackets.h"

namespace Zarvo {
namespace {

using dom_packets::kDeclaration;
using dom_packets::utf16;
using dom_packets::written;

TEST(DeviceListRequest, WritesOnlyWhatIsSet) {
  struct Row {
    const char* why;
    std::function<void(CmdDMSGetDeviceListRequest&)> fill;
    QString children;
  };
  const Row kRows[] = {
      {"nothing set: the bare envelope", [](CmdDMSGetDeviceListRequest&) {}, "/"},
      {"two groups: one Group with the first",
       [](CmdDMSGetDeviceListRequest& r) {
         r.groups = {"g1", "g2"};
       },
       "<Filter><Group ID=\"g1\"/></Filter>"},
      {"a filter without identifier has no ID; criteria in order",
       [](CmdDMSGetDeviceListRequest& r) {
         r.devices.append(DeviceFilter{-1, {{"Model", "X"}, {"Site", "B&C"}}});
         r.devices.append(DeviceFilter{7, {}});
       },
       "<Filter><Device><Model>X</Model><Site>B&amp;C</Site></Device><Device ID=\"7\"/>"
       "</Filter>"},
      {"force and properties",
       [](CmdDMSGetDeviceListRequest& r) {
         r.forceUpToDate = true;
         r.properties = {"IP", "SNMP_VER"};
       },
       "<ForceUpToDate></ForceUpToDate><PropertyList><Device><IP/><SNMP_VER/></Device>"
       "</PropertyList>"},
  };
  for (const Row& row : kRows) {
    SCOPED_TRACE(row.why);
    CmdDMSGetDeviceListRequest request;
    row.fill(request);
    const QString expected = row.children == "/" ? "<OrxRequest command=\"DMSGetDeviceList\"/>"
                                                 : "<OrxRequest command=\"DMSGetDeviceList\">" +
                                                       row.children + "</OrxRequest>";
    EXPECT_EQ(written(request), kDeclaration + expected);
  }
}

TEST(DeviceListRequest, ReadingFindsElementsAtAnyDepthAndIgnoresRepeatedSections) {
  CmdDMSGetDeviceListRequest r;
  r.fromByteArray(utf16(kDeclaration +
                        "<OrxRequest command=\"DMSGetDeviceList\"><Filter><Group ID=\"a\"/>"
                        "<Group/><x><Group ID=\"b\"/></x><Device ID=\"12\"><M>v</M></Device>"
                        "<Device/><Device ID=\"z\"/></Filter><ForceUpToDate/>"
                        "<PropertyList><Device><IP/><UserName/></Device></PropertyList>"
                        "</OrxRequest>"));
  EXPECT_EQ(r.groups, (QStringList{"a", "b"}));
  ASSERT_EQ(r.devices.size(), 3);
  EXPECT_EQ(r.devices[0].id, 12);
  EXPECT_EQ(r.devices[0].criteria, (QList<QPair<QString, QString>>{{"M", "v"}}));
  EXPECT_EQ(r.devices[1].id, -1);
  EXPECT_EQ(r.devices[2].id, 0) << "not a number";
  EXPECT_TRUE(r.forceUpToDate);
  EXPECT_EQ(r.properties, (QStringList{"IP", "UserName"}));

  r.fromByteArray(utf16(kDeclaration +
                        "<OrxRequest command=\"DMSGetDeviceList\"><Filter><Device ID=\"1\"/>"
                        "</Filter><Filter/><ForceUpToDate/><ForceUpToDate/></OrxRequest>"));
  EXPECT_TRUE(r.devices.isEmpty()) << "two Filter elements: no filters at all";
  EXPECT_FALSE(r.forceUpToDate);
  EXPECT_TRUE(r.properties.isEmpty());
}

TEST(DeviceListResponse, SimpleAndListPropertiesAndTheirWrittenForm) {
  const QString body =
      kDeclaration +
      "<OrxResponse><Result>0</Result><Details>OK</Details><Device ID=\"4000000000\">"
      "<IP>10.0.0.5</IP><Trays><Tray><Size>A4</Size><Id>1</Id></Tray>"
      "<Tray><Size>A3</Size></Tray><Tray/></Trays><IP>10.0.0.6</IP></Device>"
      "</OrxResponse>";
  CmdDMSGetDeviceListResponse r;
  r.fromByteArray(utf16(body));
  ASSERT_EQ(r.devices.size(), 1);
  const DeviceRecord& d = r.devices.first();
  EXPECT_EQ(d.id, 4000000000u);
  EXPECT_EQ(d.property("IP"), "10.0.0.6") << "a later property replaces an earlier one";
  EXPECT_EQ(d.property("SNMP_VER"), "") << "missing";
  ASSERT_EQ(d.listProperties.count("Trays"), 1u);
  ASSERT_EQ(d.listProperties.at("Trays").size(), 3);
  EXPECT_EQ(d.listProperties.at("Trays")[0].at("Size"), "A4");
  EXPECT_EQ(written(r), kDeclaration +
                            "<OrxResponse><Result>0</Result><Details>OK</Details>"
                            "<Device ID=\"4000000000\"><IP>10.0.0.6</IP><Trays><Tray><Id>1</Id>"
                            "<Size>A4</Size></Tray><Tray><Size>A3</Size></Tray><Tray/></Trays>"
                            "</Device></OrxResponse>");
}

TEST(DeviceListResponse, AnAnswerThatIsNoResponseDocumentIsAPacketError) {
  dom_packets::expectNoResponseDocumentRefused<CmdDMSGetDeviceListResponse>();
}

}  // namespace
}  // namespace Zarvo
