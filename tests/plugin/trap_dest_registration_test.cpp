// The trap destination of a download: which row of the device's "staticTrapDestTable" is taken,
// what is written there and written back (against the loopback SNMP fake, through the naming
// service), and when nothing may be written at all.
#include <gtest/gtest.h>

#include <algorithm>
#include <mutex>

#include "framework/Log.h"
#include "plugin/TrapDestRegistration.h"
#include "tests/fakes/FakeSuiteServices.h"
#include "tests/fakes/LogLines.h"
#include "tests/fakes/ServiceClients.h"

namespace Zarvo::dsm {
namespace {

using testing_suite::FakeSNMPService;
using testing_suite::SnmpTable;
using testing_suite::XmlNode;

const QString kTable = QStringLiteral("staticTrapDestTable");
const QString kDevice = QStringLiteral("127.0.0.7");

// "err" lines since `from`, without the client's own retry notes (a URL cached for an earlier
// case's fake is refused once, then asked afresh).
QStringList errSince(qsizetype from) {
  QStringList out;
  for (const QString& line : testing_log::LogLines::get().since(from, "err")) {
    if (!line.startsWith("SendRequest retry")) out << line;
  }
  return out;
}

// (column name, Index, Value) of each cell of one "SNMPSetValues" request, in order.
struct Cell {
  QString column, index, value;
  bool operator==(const Cell& o) const {
    return column == o.column && index == o.index && value == o.value;
  }
};
QList<Cell> cellsOf(const QByteArray& setRequest, QString* address) {
  XmlNode root;
  EXPECT_TRUE(testing_suite::parseXml(setRequest, &root));
  QList<Cell> cells;
  const QList<const XmlNode*> devices = root.childrenNamed("Device");
  EXPECT_EQ(devices.size(), 1);
  if (devices.size() != 1) return cells;
  const XmlNode* params = devices[0]->child("RequestParams");
  *address = params && params->child("IP") ? params->child("IP")->attribute("address") : "";
  if (const XmlNode* vars = devices[0]->child("RequestVariables")) {
    for (const XmlNode& c : vars->children) {
      cells.append({c.name, c.child("Index") ? c.child("Index")->text : "?",
                    c.child("Value") ? c.child("Value")->text : "?"});
    }
  }
  return cells;
}

QList<Cell> row(int index, const QString& addr, const QString& community, const QString& status) {
  const QString i = QString::number(index);
  return {{"staticTrapDestAddr", i, addr},
          {"staticTrapDestCommunity", i, community},
          {"staticTrapDestStatus", i, status}};
}

class Registration : public testing_orx::LoopbackServices {
 protected:
  void SetUp() override {
    routeSnmpTo(snmp_);
    errFrom_ = testing_log::LogLines::get().mark();
  }
  void routeSnmpTo(const FakeSNMPService& snmp) {
    route("SNMPGetValues", snmp.url());
    route("SNMPSetValues", snmp.url());
  }
  QStringList errLines() { return errSince(errFrom_); }

  FakeSNMPService snmp_;
  qsizetype errFrom_ = 0;
};

TEST_F(Registration, TakesAFreeRowElseBorrowsTheFirstAndLeavesTheTableAsItWas) {
  const QStringList columns = {"staticTrapDestIndex", "staticTrapDestAddr",
                               "staticTrapDestCommunity", "staticTrapDestStatus"};
  struct Case {
    const char* why;
    QList<QStringList> rows;
    QList<Cell> registered;
    QList<Cell> undone;
  };
  const Case kCases[] = {
      {"the second and fourth rows are free: the second is used and set free again",
       {{"1", "10.1.1.1", "c1", "valid"},
        {"2", "0.0.0.0", "old", "invalid"},
        {"3", "10.1.1.3", "c3", "valid"},
        {"4", "", "", "invalid"}},
       row(1, "127.0.0.1", "public", "valid"),
       row(1, "0.0.0.0", "old", "invalid")},
      {"no row is free: the first is borrowed and written back exactly",
       {{"1", "10.1.1.1", "priv & <c>", "valid"}, {"2", "10.1.1.2", "c2", "valid"}},
       row(0, "127.0.0.1", "public", "valid"),
       row(0, "10.1.1.1", "priv & <c>", "valid")},
  };
  for (const Case& c : kCases) {
    SCOPED_TRACE(c.why);
    FakeSNMPService snmp;
    routeSnmpTo(snmp);
    const SnmpTable before{columns, c.rows};
    snmp.setTable(kDevice, kTable, before);
    {
      TrapDestRegistration registration(client(), kDevice);
      EXPECT_EQ(registration.row(), c.registered.first().index.toInt());
      ASSERT_EQ(snmp.setRequests().size(), 1);
      QString address;
      EXPECT_EQ(cellsOf(snmp.setRequests()[0], &address), c.registered);
      EXPECT_EQ(address, kDevice);
      EXPECT_FALSE(snmp.table(kDevice, kTable) == before) << "the device now sends its traps here";
    }
    ASSERT_EQ(snmp.setRequests().size(), 2);
    QString address;
    EXPECT_EQ(cellsOf(snmp.setRequests()[1], &address), c.undone);
    EXPECT_EQ(snmp.table(kDevice, kTable), before);

    // The read asked this device's table with the fixed SNMP parameters.
    ASSERT_EQ(snmp.getRequests().size(), 1);
    XmlNode get;
    ASSERT_TRUE(testing_suite::parseXml(snmp.getRequests()[0], &get));
    const XmlNode* device = get.child("Device");
    ASSERT_NE(device, nullptr);
    EXPECT_EQ(device->child("RequestParams")->child("IP")->attribute("address"), kDevice);
    EXPECT_EQ(device->child("RequestParams")->child("IP")->attribute("IP_VER"), "4");
    EXPECT_EQ(device->child("RequestParams")->child("SNMP")->attribute("SNMP_VER"), "1");
    EXPECT_NE(device->child("RequestVariables")->child(kTable), nullptr);
  }
  EXPECT_TRUE(errLines().isEmpty());
}

TEST_F(Registration, WritesNothingWhenThereIsNothingToTakeOver) {
  const QString err = QStringLiteral("Error during retrieving Trap table.");
  struct Case {
    const char* why;
    std::function<void(FakeSNMPService&)> setUp;
    QStringList errors;
  };
  const Case kCases[] = {
      {"the device reports errors",
       [](FakeSNMPService& s) {
         s.setTable(kDevice, kTable, {{"staticTrapDestStatus"}, {{"invalid"}}});
         s.setDeviceErrors(kDevice, {{2, "noSuchName"}});
       },
       {err}},
      {"the service fails the request: no device entry",
       [](FakeSNMPService& s) { s.setResult(7, "busy"); },
       {err}},
      {"a table without a status column",
       [](FakeSNMPService& s) {
         s.setTable(kDevice, kTable, {{"staticTrapDestAddr"}, {{"10.1.1.1"}}});
       },
       {}},
      {"a table without rows",
       [](FakeSNMPService& s) {
         s.setTable(kDevice, kTable, {{"staticTrapDestAddr", "staticTrapDestStatus"}, {}});
       },
       {}},
  };
  for (const Case& c : kCases) {
    SCOPED_TRACE(c.why);
    FakeSNMPService snmp;
    routeSnmpTo(snmp);
    c.setUp(snmp);
    const qsizetype from = testing_log::LogLines::get().mark();
    {
      TrapDestRegistration registration(client(), kDevice);
      EXPECT_EQ(registration.row(), -1);
    }
    EXPECT_EQ(snmp.getRequests().size(), 1);
    EXPECT_TRUE(snmp.setRequests().isEmpty()) << "neither registered nor undone";
    EXPECT_EQ(errSince(from), c.errors);
  }
}

TEST_F(Registration, NoAddressTowardsTheDeviceRegistersNoEmptyDestination) {
  // An address no route leads to: writing "" as the device's trap destination would take a
  // row for nothing (and leave the device's traps going nowhere).
  const QString device = QStringLiteral("not-an-address");
  snmp_.setTable(device, kTable,
                 {{"staticTrapDestAddr", "staticTrapDestStatus"}, {{"10.1.1.1", "invalid"}}});
  {
    TrapDestRegistration registration(client(), device);
    EXPECT_EQ(registration.row(), -1);
  }
  EXPECT_TRUE(snmp_.setRequests().isEmpty());
  const QStringList lines = errLines();
  ASSERT_EQ(lines.size(), 1);
  EXPECT_TRUE(lines[0].contains(device)) << lines[0].toStdString();
}

TEST_F(Registration, AColumnTooShortForTheRowIsWrittenBackEmpty) {
  snmp_.setTable(kDevice, kTable,
                 {{"staticTrapDestStatus", "staticTrapDestAddr"}, {{"valid", "10.1.1.1"}}});
  { TrapDestRegistration registration(client(), kDevice); }
  ASSERT_EQ(snmp_.setRequests().size(), 2);
  QString address;
  EXPECT_EQ(cellsOf(snmp_.setRequests()[1], &address), row(0, "10.1.1.1", "", "valid"))
      << "the table has no community column: its saved value is empty";
}

}  // namespace

}  // namespace Zarvo::dsm
