// What a simulated printer answers over SNMP, apart from sockets and the library: its objects as
// one sorted list (the system group, "scmFileStorageTable", "staticTrapDestTable"), the answers to
// GET, GETNEXT and GETBULK over that list, and the checks of a SET, which may write the
// trap-destination columns only. Pure values, so every protocol rule is tested without a socket.
#pragma once

#include <QList>
#include <QString>
#include <optional>
#include <vector>

#include "suite/DeviceState.h"
#include "suite/FleetConfig.h"
#include "suite/NetSnmp.h"

namespace Zarvo::suite::snmp {

// SNMP error statuses the printer answers with.
enum ErrorStatus : long {
  kNoError = 0,
  kTooBig = 1,
  kNoSuchName = 2,
  kBadValue = 3,
  kGenErr = 5,
  kWrongType = 7,
  kWrongLength = 8,
  kWrongValue = 10,
  kNoCreation = 11,
  kNotWritable = 17,
};

enum class PduKind { Get, GetNext, GetBulk, Set };

struct AgentRequest {
  PduKind kind = PduKind::Get;
  int version = 2;  // 1 (SNMPv1), 2 (SNMPv2c) or 3
  long nonRepeaters = 0;
  long maxRepetitions = 0;
  QList<VarBind> varBinds;
};

struct AgentAnswer {
  long errorStatus = kNoError;
  long errorIndex = 0;  // from 1; 0 when no binding is at fault
  QList<VarBind> varBinds;
};

// Where the printer's tables live, from the MIB (with the fleet's arc applied).
struct PrinterLayout {
  MibTable files;      // scmFileStorageTable
  MibTable trapDests;  // staticTrapDestTable
  Oid enterprise;      // the download-status trap's enterprise
  Oid statusVariable;  // its status variable
  Oid systemObjectId;  // what sysObjectID.0 answers: the MIB's root

  // The layout from a loaded MIB; nothing (with `error`) when a table or column is missing.
  static std::optional<PrinterLayout> fromMib(const SnmpMib& mib, QString* error);
};

// One snapshot of the printer's objects, sorted by identifier.
class PrinterView {
 public:
  PrinterView(const PrinterLayout& layout, const DeviceSetup& setup, const DeviceTable& files,
              const QList<TrapDestSetup>& trapDests, quint16 defaultTrapPort);

  // Answers a read. `maxBytes` bounds the encoded answer: a GETBULK stops adding repetitions
  // before it, a GET or GETNEXT that cannot fit answers tooBig.
  AgentAnswer answer(const AgentRequest& request, qsizetype maxBytes) const;
  const std::vector<VarBind>& objects() const { return objects_; }

 private:
  const VarBind* find(const Oid& oid) const;
  const VarBind* after(const Oid& oid) const;
  std::vector<VarBind> objects_;
};

// A SET checked against the printer's trap-destination table (`rows` rows). Every binding must
// name a writable column of an existing row with a value of the column's type and range; then
// the answer repeats the bindings and `cells` holds the writes, else nothing is written.
struct SetPlan {
  AgentAnswer answer;
  QList<TrapDestCell> cells;
};
SetPlan planSet(const PrinterLayout& layout, const AgentRequest& request, qsizetype rows);

// A rough upper bound of the bytes a binding takes in a message.
qsizetype encodedSize(const VarBind& binding);

}  // namespace Zarvo::suite::snmp
