// A simulated printer's SNMP answers without a socket: what GET, GETNEXT and GETBULK return over
// its objects for each protocol version, and which SETs it takes (the trap-destination columns
// only, with values that fit them) and which it refuses, with the error each version expects.
#include <gtest/gtest.h>

#include "suite/PrinterMib.h"
#include "tests/suite/SuiteTestSupport.h"

namespace Zarvo::suite::snmp {
namespace {

using K = Value::Kind;

const PrinterLayout& layout() { return testing_suite::printerLayout(); }

Oid column(const MibTable& table, const char* name) {
  for (const MibObject& c : table.columns) {
    if (c.name == QLatin1String(name)) return c.oid;
  }
  ADD_FAILURE() << name;
  return {};
}

const Oid kArc = {1, 3, 6, 1, 4, 1, 32473};
const Oid kSysName = {1, 3, 6, 1, 2, 1, 1, 5, 0};

PrinterView view() {
  DeviceSetup d;
  d.address = "127.0.0.2";
  d.name = "Desk";
  d.model = "ZX-410";
  DeviceState state("127.0.0.2",
                    {{"Courier", "pclFont", 3, "permanent", "12345"},
                     {"inv.ps", "psForm", 0, "volatile", "%!PS"}},
                    {});
  QList<TrapDestSetup> rows = {{"127.0.0.1", "public", "valid", 0},
                               {"", "public", "invalid", 1162}};
  return PrinterView(layout(), d, state.fileStorageTable(), rows, 162);
}

AgentRequest request(PduKind kind, int version, QList<Oid> oids, long nonRepeaters = 0,
                     long maxRepetitions = 0) {
  AgentRequest r;
  r.kind = kind;
  r.version = version;
  r.nonRepeaters = nonRepeaters;
  r.maxRepetitions = maxRepetitions;
  for (const Oid& o : oids) r.varBinds << VarBind{o, Value()};
  return r;
}

TEST(PrinterView, ServesItsTablesWithTheMibsTypesAndNumbers) {
  const PrinterView v = view();
  auto file = [](const char* name, int row) { return column(layout().files, name) + OidPart(row); };
  auto trap = [](const char* name, int row) {
    return column(layout().trapDests, name) + OidPart(row);
  };
  struct Case {
    const char* why;
    Oid oid;
    Value value;
  };
  const Case cases[] = {
      {"names are strings", file("scmFileStorageFileName", 2), Value::string("inv.ps")},
      {"sizes are the stored bytes", file("scmFileStorageFileSize", 1), Value::integer(5)},
      {"kinds go as the MIB's numbers", file("scmFileStorageFileType", 1), Value::integer(3)},
      {"persistence too", file("scmFileStorageFilePersistence", 2), Value::integer(3)},
      {"the index column is readable", file("scmFileStorageFileIndex", 2), Value::integer(2)},
      {"a free row has an empty address", trap("staticTrapDestAddr", 2), Value::string("")},
      {"status labels are numbers", trap("staticTrapDestStatus", 1), Value::integer(1)},
      {"a row without a port sends to the fleet's", trap("staticTrapDestPort", 1),
       Value::integer(162)},
      {"a row's own port", trap("staticTrapDestPort", 2), Value::integer(1162)},
      {"the system group", kSysName, Value::string("Desk")},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.why);
    const AgentAnswer a = v.answer(request(PduKind::Get, 2, {c.oid}), 60000);
    ASSERT_EQ(a.errorStatus, kNoError);
    ASSERT_EQ(a.varBinds.size(), 1);
    EXPECT_EQ(a.varBinds.first().value, c.value);
  }
}

TEST(PrinterView, MissingObjectsAnswerAsEachVersionSays) {
  const PrinterView v = view();
  const Oid name3 = column(layout().files, "scmFileStorageFileName") + OidPart(3);
  const Oid nowhere = {1, 3, 6, 1, 9, 9};
  const Oid pastEnd = {2, 1};
  struct Case {
    const char* why;
    AgentRequest request;
    long status;
    long index;
    K kind;  // of the one binding when no error
  };
  const Case cases[] = {
      {"v2c: a row the table lacks", request(PduKind::Get, 2, {name3}), kNoError, 0,
       K::NoSuchInstance},
      {"v2c: an object nobody defines", request(PduKind::Get, 2, {nowhere}), kNoError, 0,
       K::NoSuchObject},
      {"v1 has only noSuchName, at the binding's position",
       request(PduKind::Get, 1, {kSysName, name3}), kNoSuchName, 2, K::Null},
      {"v2c: GETNEXT past the last object", request(PduKind::GetNext, 2, {pastEnd}), kNoError, 0,
       K::EndOfMibView},
      {"v1: GETNEXT past the last object", request(PduKind::GetNext, 1, {pastEnd}), kNoSuchName, 1,
       K::Null},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.why);
    const AgentAnswer a = v.answer(c.request, 60000);
    EXPECT_EQ(a.errorStatus, c.status);
    EXPECT_EQ(a.errorIndex, c.index);
    if (c.status == kNoError) {
      ASSERT_EQ(a.varBinds.size(), 1);
      EXPECT_EQ(a.varBinds.first().value.kind, c.kind);
    } else {
      EXPECT_EQ(a.varBinds.size(), c.request.varBinds.size());  // v1 errors echo the request
    }
  }
}

TEST(PrinterView, GetNextWalksInIdentifierOrderFromAnywhere) {
  const PrinterView v = view();
  // From the enterprise arc, the first object is the first row of the first file column.
  AgentAnswer a = v.answer(request(PduKind::GetNext, 2, {kArc}), 60000);
  ASSERT_EQ(a.varBinds.size(), 1);
  EXPECT_EQ(a.varBinds.first().oid, column(layout().files, "scmFileStorageFileIndex") + OidPart(1));
  // Walking on visits every object once, strictly increasing.
  Oid at = kArc;
  int seen = 0;
  while (true) {
    a = v.answer(request(PduKind::GetNext, 2, {at}), 60000);
    if (a.varBinds.first().value.kind == K::EndOfMibView) break;
    ASSERT_LT(at, a.varBinds.first().oid);
    at = a.varBinds.first().oid;
    ++seen;
  }
  EXPECT_EQ(seen, 2 * 6 + 2 * 4);  // two files of six columns, two rows of four
}

TEST(PrinterView, GetBulkRepeatsWholeRowsWithinItsBudget) {
  const PrinterView v = view();
  const Oid names = column(layout().files, "scmFileStorageFileName");
  const Oid sizes = column(layout().files, "scmFileStorageFileSize");
  struct Case {
    const char* why;
    AgentRequest request;
    qsizetype budget;
    qsizetype bindings;
  };
  const Case cases[] = {
      {"one non-repeater, two columns repeated three times",
       request(PduKind::GetBulk, 2, {kSysName, names, sizes}, 1, 3), 60000, 1 + 2 * 3},
      {"no repetitions asked: only the non-repeaters",
       request(PduKind::GetBulk, 2, {kSysName, names}, 1, 0), 60000, 1},
      {"non-repeaters beyond the bindings count as all of them",
       request(PduKind::GetBulk, 2, {kSysName, names}, 9, 5), 60000, 2},
      {"a budget for one row gives one row, never half of one",
       request(PduKind::GetBulk, 2, {names, sizes}, 0, 50), 110, 2},
      {"past the end of the view the repetitions stop",
       request(PduKind::GetBulk, 2, {Oid{2, 0}}, 0, 1000), 60000, 1},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.why);
    const AgentAnswer a = v.answer(c.request, c.budget);
    EXPECT_EQ(a.errorStatus, kNoError);
    EXPECT_EQ(a.varBinds.size(), c.bindings);
  }
  // A GET that cannot fit at all is tooBig.
  EXPECT_EQ(v.answer(request(PduKind::Get, 2, {kSysName}), 10).errorStatus, kTooBig);
}

TEST(PrinterMib, SetsWriteTrapDestinationsOnlyAndAllOrNothing) {
  const MibTable& traps = layout().trapDests;
  const Oid addr = column(traps, "staticTrapDestAddr");
  const Oid community = column(traps, "staticTrapDestCommunity");
  const Oid status = column(traps, "staticTrapDestStatus");
  const Oid port = column(traps, "staticTrapDestPort");
  const Oid fileName = column(layout().files, "scmFileStorageFileName");
  auto set = [](int version, QList<VarBind> bindings) {
    AgentRequest r;
    r.kind = PduKind::Set;
    r.version = version;
    r.varBinds = bindings;
    return r;
  };
  struct Case {
    const char* why;
    AgentRequest request;
    long status;
    long index;
    qsizetype cells;
  };
  const Case cases[] = {
      {"a whole row as the storage manager registers",
       set(2, {{addr + OidPart(2), Value::string("127.0.0.1")},
               {community + OidPart(2), Value::string("public")},
               {status + OidPart(2), Value::integer(1)}}),
       kNoError, 0, 3},
      {"an empty address frees a row", set(2, {{addr + OidPart(1), Value::string("")}}), kNoError,
       0, 1},
      {"the port column", set(2, {{port + OidPart(1), Value::integer(1162)}}), kNoError, 0, 1},
      {"the file table is read-only", set(2, {{fileName + OidPart(1), Value::string("x")}}),
       kNotWritable, 1, 0},
      {"v1 says noSuchName for it", set(1, {{fileName + OidPart(1), Value::string("x")}}),
       kNoSuchName, 1, 0},
      {"rows are not created", set(2, {{status + OidPart(5), Value::integer(1)}}), kNoCreation, 1,
       0},
      {"an instance of more than one part",
       set(2, {{status + OidPart(1) + OidPart(1), Value::integer(1)}}), kNotWritable, 1, 0},
      {"a status outside valid/invalid", set(2, {{status + OidPart(1), Value::integer(3)}}),
       kWrongValue, 1, 0},
      {"v1 says badValue for it", set(1, {{status + OidPart(1), Value::integer(3)}}), kBadValue, 1,
       0},
      {"an address that is no IPv4 address", set(2, {{addr + OidPart(1), Value::string("host")}}),
       kWrongValue, 1, 0},
      {"a number where text belongs", set(2, {{addr + OidPart(1), Value::integer(7)}}), kWrongType,
       1, 0},
      {"a community longer than the column",
       set(2, {{community + OidPart(1), Value::string(QByteArray(65, 'c'))}}), kWrongLength, 1, 0},
      {"port 0 sends nowhere", set(2, {{port + OidPart(1), Value::integer(0)}}), kWrongValue, 1, 0},
      {"one bad binding refuses the good ones before it",
       set(2, {{addr + OidPart(1), Value::string("127.0.0.1")},
               {status + OidPart(1), Value::integer(9)}}),
       kWrongValue, 2, 0},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.why);
    const SetPlan plan = planSet(layout(), c.request, 2);
    EXPECT_EQ(plan.answer.errorStatus, c.status);
    EXPECT_EQ(plan.answer.errorIndex, c.index);
    EXPECT_EQ(plan.cells.size(), c.cells);
    EXPECT_EQ(plan.answer.varBinds.size(), c.request.varBinds.size());
  }
  // The cells name the columns and rows the device state takes.
  const SetPlan plan = planSet(
      layout(),
      set(2, {{status + OidPart(2), Value::integer(2)}, {port + OidPart(2), Value::integer(99)}}),
      2);
  ASSERT_EQ(plan.cells.size(), 2);
  EXPECT_EQ(plan.cells.at(0).column, "staticTrapDestStatus");
  EXPECT_EQ(plan.cells.at(0).row, 1);
  EXPECT_EQ(plan.cells.at(0).value, "invalid");
  EXPECT_EQ(plan.cells.at(1).value, "99");
}

}  // namespace
}  // namespace Zarvo::suite::snmp
