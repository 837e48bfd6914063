// The fleet configuration: what is refused (anything that would bind or send outside loopback,
// clashing endpoints, unknown kinds) and what a configuration without a fleet gets.
#include <gtest/gtest.h>

#include "suite/FleetConfig.h"

namespace Zarvo::suite {
namespace {

QByteArray fleetWith(const QByteArray& devices, const QByteArray& attributes = "") {
  return "<SuiteConfig><Name>s</Name><Fleet " + attributes + ">" + devices +
         "</Fleet></SuiteConfig>";
}

TEST(FleetConfig, RefusesUnsoundFleets) {
  struct Case {
    const char* why;
    QByteArray xml;
    const char* errorPart;
  };
  const Case cases[] = {
      {"a device outside loopback would bind a real interface",
       fleetWith(R"(<Device address="10.0.0.7"/>)"), "not in 127.0.0.0/8"},
      {"short forms are not taken for loopback", fleetWith(R"(<Device address="127.1"/>)"),
       "not in 127.0.0.0/8"},
      {"a device without an address", fleetWith("<Device/>"), "not in 127.0.0.0/8"},
      {"two devices on one print port",
       fleetWith(R"(<Device address="127.0.0.9"/><Device address="127.0.0.9"/>)"),
       "two devices listen on 127.0.0.9:9100"},
      {"two devices with one identifier",
       fleetWith(R"(<Device id="4" address="127.0.0.9"/><Device id="4" address="127.0.0.8"/>)"),
       "two devices with the id 4"},
      {"a stored file of an unknown kind",
       fleetWith(R"(<Device address="127.0.0.9"><File name="a" kind="truetype"/></Device>)"),
       "unknown kind"},
      {"a file name with a control byte would break the PJL line",
       fleetWith("<Device address=\"127.0.0.9\"><File name=\"a&#10;b\" kind=\"psForm\"/></Device>"),
       "control character"},
      {"an unknown fault",
       fleetWith(R"(<Device address="127.0.0.9"><Fault kind="melt"/></Device>)"), "unknown fault"},
      {"a trap row status outside valid/invalid",
       fleetWith(R"(<Device address="127.0.0.9"><TrapDest status="on"/></Device>)"),
       "valid or invalid"},
      {"SNMP version 4", fleetWith(R"(<Device address="127.0.0.9" snmpVersion="4"/>)"),
       "SNMP version"},
      {"two fleets: which one runs would be a guess", "<S><Fleet/><Fleet/></S>",
       "more than one Fleet"},
      {"not XML at all", "<SuiteConfig><Fleet>", "well-formed"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.why);
    FleetSetup fleet;
    QString error;
    EXPECT_FALSE(parseFleet(c.xml, &fleet, &error));
    EXPECT_TRUE(error.contains(QLatin1String(c.errorPart))) << error.toStdString();
  }
}

TEST(FleetConfig, WithoutAFleetElementTheEmbeddedDefaultRuns) {
  FleetSetup fleet;
  QString error;
  ASSERT_TRUE(parseFleet("<SuiteConfig><Name>zarvo-suite</Name></SuiteConfig>", &fleet, &error))
      << error.toStdString();
  ASSERT_EQ(fleet.devices.size(), 3);
  QStringList addresses;
  for (const DeviceSetup& d : fleet.devices) {
    addresses << d.address;
    EXPECT_EQ(d.printPort, 9100);
    EXPECT_EQ(d.webPort, 80);
    // Free rows, so a storage manager can register without borrowing someone else's.
    ASSERT_EQ(d.trapDests.size(), 4);
    for (const TrapDestSetup& row : d.trapDests) EXPECT_EQ(row.status, "invalid");
  }
  EXPECT_EQ(addresses, (QStringList{"127.0.0.2", "127.0.0.3", "127.0.0.4"}));
  EXPECT_EQ(fleet.devices.first().id, 1u);
  EXPECT_EQ(fleet.devices.last().id, 3u);
}

TEST(FleetConfig, ReadsDevicesFilesAndFaultsFromAttributes) {
  FleetSetup fleet;
  QString error;
  ASSERT_TRUE(
      parseFleet(fleetWith(R"(<Device address="127.0.0.9" name="Lab" snmpVersion="3" userName="adm"
                          printPort="0" webPort="0">
                     <File name="F" kind="pclFont" id="12" size="10"/>
                     <File name="T" kind="psForm" text="%!PS"/>
                     <TrapDest addr="127.0.0.1" status="valid"/>
                     <Fault kind="fail" status="NoRoom"/>
                   </Device>
                   <Device address="127.0.0.8"/>)",
                           "filesDir=\"/tmp/x\" confirmDelayMs=\"5\""),
                 &fleet, &error))
      << error.toStdString();
  EXPECT_EQ(fleet.filesDir, "/tmp/x");
  EXPECT_EQ(fleet.confirmDelayMs, 5);
  ASSERT_EQ(fleet.devices.size(), 2);
  const DeviceSetup& d = fleet.devices.first();
  EXPECT_EQ(d.snmpVersion, 3);
  EXPECT_EQ(d.userName, "adm");
  ASSERT_EQ(d.files.size(), 2);
  EXPECT_EQ(d.files.at(0).id, 12u);
  EXPECT_EQ(d.files.at(0).content.size(), 10);
  EXPECT_EQ(d.files.at(1).content, "%!PS");
  ASSERT_EQ(d.trapDests.size(), 1);  // given rows replace the four free ones
  EXPECT_EQ(d.fault.kind, FaultKind::Fail);
  EXPECT_EQ(d.fault.status, "NoRoom");
  // Identifiers count on from the last one given.
  EXPECT_EQ(fleet.devices.at(1).id, 2u);
  // Two devices on port 0 never clash: each gets its own port.
  EXPECT_TRUE(parseFleet(fleetWith(R"(<Device address="127.0.0.9" printPort="0" webPort="0"/>
                                      <Device id="9" address="127.0.0.9" printPort="0" webPort="0"/>)",
                                   R"(snmpPort="0")"),
                         &fleet, &error))
      << error.toStdString();
}

}  // namespace
}  // namespace Zarvo::suite
