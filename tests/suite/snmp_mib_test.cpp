// The suite's MIB: net-snmp's own snmptranslate loads it without a word on its own, the
// identifiers the storage manager relies on are where they must be, the SNMP service reads its
// tables from it (moved under another arc when the fleet has one), and the values it renders
// and parses are the texts the storage manager reads and writes.
#include <gtest/gtest.h>

#include "suite/NetSnmp.h"
#include "tests/suite/SuiteTestSupport.h"

namespace Zarvo::suite::snmp {
namespace {

testing_suite::Tool translate(const QStringList& args) {
  testing_suite::Tool t = testing_suite::runTool("snmptranslate", args, true);
  t.out = t.out.trimmed();
  t.err = t.err.trimmed();
  return t;
}

TEST(ZarvoStorageMib, SnmptranslateLoadsItAndFindsTheIdentifiersTheStorageManagerUses) {
  SKIP_WHEN_STARTING_PROGRAMS();
  struct Case {
    const char* why;
    const char* name;
    const char* oid;
  };
  const Case cases[] = {
      {"the file list's table", "scmFileStorageTable", ".1.3.6.1.4.1.32473.11.5.11.84.1"},
      {"the registration's table", "staticTrapDestTable", ".1.3.6.1.4.1.32473.11.5.11.85.1"},
      {"the status variable the trap handler compares", "scmDownloadStatus",
       ".1.3.6.1.4.1.32473.11.5.11.83.1.1.1.5"},
      {"the enterprise the trap handler compares", "scmDownloadTrapEnterprise",
       ".1.3.6.1.4.1.32473.11.5.11.83.1.2.1"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.why);
    // Only our module ("-m" without "+"), so anything on stderr is about it.
    const testing_suite::Tool t =
        translate({"-M", ZARVO_MIB_DIR, "-m", "ZARVO-STORAGE-MIB", "-IR", "-On", c.name});
    EXPECT_EQ(t.exit, 0);
    EXPECT_EQ(t.out, c.oid);
    EXPECT_EQ(t.err, "") << "the module must load without complaints";
  }
  // And as the README says it, added to whatever the host's list holds.
  const testing_suite::Tool added =
      translate({"-M", QStringLiteral("+") + ZARVO_MIB_DIR, "-m", "+ZARVO-STORAGE-MIB", "-IR",
                 "-On", "scmFileStorageTable"});
  EXPECT_EQ(added.out, ".1.3.6.1.4.1.32473.11.5.11.84.1");
  EXPECT_FALSE(added.err.contains("ZARVO")) << added.err.toStdString();
  // The download-status trap is a TRAP-TYPE of that enterprise, number 1.
  const testing_suite::Tool trap = translate(
      {"-M", ZARVO_MIB_DIR, "-m", "ZARVO-STORAGE-MIB", "-IR", "-On", "scmDownloadStatusTrap"});
  EXPECT_EQ(trap.out, ".1.3.6.1.4.1.32473.11.5.11.83.1.2.1.0.1");
}

TEST(ZarvoStorageMib, TheServiceReadsTablesColumnsAndLabelsFromIt) {
  QString error;
  const auto mib = SnmpMib::load(ZARVO_MIB_DIR, "ZARVO-STORAGE-MIB", "", &error);
  ASSERT_TRUE(mib) << error.toStdString();
  const auto files = mib->table("scmFileStorageTable");
  ASSERT_TRUE(files);
  QStringList names;
  for (const MibObject& c : files->columns) names << c.name;
  // The storage manager's six columns, in identifier order, all of them readable.
  EXPECT_EQ(names, (QStringList{"scmFileStorageFileIndex", "scmFileStorageFileName",
                                "scmFileStorageFileSize", "scmFileStorageFileType",
                                "scmFileStorageFilePersistence", "scmFileStorageFileID"}));
  EXPECT_EQ(oidText(files->entry), ".1.3.6.1.4.1.32473.11.5.11.84.1.1");
  EXPECT_EQ(files->columns.at(3).labels.value(3), "pclFont");
  EXPECT_FALSE(files->columns.at(1).writable);

  const auto traps = mib->table("staticTrapDestTable");
  ASSERT_TRUE(traps);
  names.clear();
  for (const MibObject& c : traps->columns) {
    names << c.name;
    EXPECT_TRUE(c.writable) << c.name.toStdString();
  }
  // The index is not-accessible: a walk never asks for it.
  EXPECT_EQ(names, (QStringList{"staticTrapDestAddr", "staticTrapDestCommunity",
                                "staticTrapDestStatus", "staticTrapDestPort"}));
  EXPECT_FALSE(mib->table("scmDownloadStatus"));  // a column is no table

  // Another maker's arc moves every identifier under it.
  const auto moved = SnmpMib::load(ZARVO_MIB_DIR, "ZARVO-STORAGE-MIB", ".1.3.6.1.4.1.99", &error);
  ASSERT_TRUE(moved) << error.toStdString();
  EXPECT_EQ(oidText(moved->table("scmFileStorageTable")->entry), ".1.3.6.1.4.1.99.11.5.11.84.1.1");
  EXPECT_EQ(oidText(moved->root()), ".1.3.6.1.4.1.99");

  EXPECT_FALSE(SnmpMib::load(ZARVO_MIB_DIR, "NO-SUCH-MIB", "", &error));
  EXPECT_TRUE(error.contains("NO-SUCH-MIB")) << error.toStdString();
}

TEST(ZarvoStorageMib, ValuesTravelAsTheTextsTheStorageManagerUses) {
  const SnmpMib* mib = &testing_suite::storageMib();
  const MibObject status = *mib->object("staticTrapDestStatus");
  const MibObject addr = *mib->object("staticTrapDestAddr");
  const MibObject port = *mib->object("staticTrapDestPort");
  struct Case {
    const char* why;
    MibObject column;
    const char* text;
    std::optional<Value> value;
  };
  const Case cases[] = {
      {"a label becomes its number", status, "valid", Value::integer(1)},
      {"so does the number itself", status, "2", Value::integer(2)},
      {"a number the enumeration lacks", status, "3", std::nullopt},
      {"a label of another column", status, "pclFont", std::nullopt},
      {"an address column takes any text, the empty one too", addr, "", Value::string("")},
      {"an integer column", port, "1162", Value::integer(1162)},
      {"letters are no integer", port, "16x", std::nullopt},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.why);
    EXPECT_EQ(fromText(c.column, c.text), c.value);
  }
  EXPECT_EQ(render(Value::integer(2), status.labels), "invalid");
  EXPECT_EQ(render(Value::integer(7), status.labels), "7");  // not in the MIB: the number
  EXPECT_EQ(render(Value{Value::Kind::IpAddress, 0, QByteArray("\x7f\0\0\x01", 4), {}}),
            "127.0.0.1");
  EXPECT_EQ(parseOid(".1.3.6"), (Oid{1, 3, 6}));
  EXPECT_FALSE(parseOid("1..3"));
  EXPECT_FALSE(parseOid(".1.x"));
}

}  // namespace
}  // namespace Zarvo::suite::snmp
