// SNMP requests to devices, as the SNMP service makes them: a walk of a table's columns, a GET of
// scalars, one SET. Each runs as a small state machine on the SnmpEngine's loop, with its own
// net-snmp session; the calling thread waits for its outcome. Every wait is bounded: each request
// by the time-out and retries of SnmpLimits, a walk as a whole by its row and time limits.
//
// SNMPv1 walks with GETNEXT, SNMPv2c and SNMPv3 with GETBULK. SNMPv3 discovers the device's
// engine first, then speaks with the keys of the request. net-snmp keeps one table of users per
// process, keyed by engine and user name, and would quietly go on using the first keys it saw for
// a pair; so before each exchange the entry is made to hold exactly the request's keys. For a
// device answering as this process's own engine (a simulated printer of the same suite) the
// entry is the printer's: a request whose keys differ from it fails as the printer would answer
// it, without being sent.
#pragma once

#include <QByteArray>
#include <QList>
#include <QString>
#include <chrono>
#include <optional>
#include <vector>

#include "suite/NetSnmp.h"
#include "suite/SnmpEngine.h"

namespace Zarvo::suite::snmp {

struct SnmpTarget {
  QString address;  // dotted IPv4
  quint16 port = 161;
  int version = 1;  // 1, 2 (for 2c) or 3
  QByteArray community;
  UsmCredentials usm;  // version 3
  QByteArray contextName;
};

struct SnmpLimits {
  std::chrono::milliseconds timeout{1000};  // per request, before each retry
  int retries = 2;
  int maxRows = 100'000;                       // a walk stops with an error past this
  std::chrono::milliseconds walkTime{60'000};  // and after this long
  int maxRepetitions = 25;                     // rows per GETBULK
};

// Why an exchange failed; `code` 0 means it did not. The codes are those of the SNMP service's
// per-device errors: 1 no answer, 16 refused by the device's security, an SNMP error status
// (2 noSuchName, 17 notWritable...) as the device answered it, and the service's own:
enum : int {
  kNoResponse = 1,
  kAuthorization = 16,
  kWalkTooLong = 101,  // more rows than the limit, or longer than the time limit
  kBadAnswer = 102,    // an answer that breaks the protocol (identifiers going backwards)
  kNotSent = 103,      // no session to that address could be opened
};
struct SnmpFailure {
  int code = 0;
  QByteArray message;
  explicit operator bool() const { return code != 0; }
};

struct WalkResult {
  SnmpFailure failure;
  // One row per instance (the part of the identifier after the column), in identifier order;
  // each holds one cell per asked column, empty where the device has no value.
  std::vector<Oid> instances;
  std::vector<std::vector<std::optional<Value>>> rows;
};

struct GetResult {
  SnmpFailure failure;
  QList<VarBind> varBinds;  // exceptions (noSuchObject...) as the device answered them
};

class SnmpClient {
 public:
  SnmpClient(SnmpEngine& engine, SnmpLimits limits) : engine_(engine), limits_(limits) {}

  // From any thread but the loop's; each blocks until its bounded outcome.
  WalkResult walk(const SnmpTarget& target, const QList<Oid>& columns) const;
  GetResult get(const SnmpTarget& target, const QList<Oid>& oids) const;
  GetResult set(const SnmpTarget& target, const QList<VarBind>& bindings) const;

  const SnmpLimits& limits() const { return limits_; }

 private:
  SnmpEngine& engine_;
  const SnmpLimits limits_;
};

}  // namespace Zarvo::suite::snmp
