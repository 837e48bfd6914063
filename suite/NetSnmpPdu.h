// The glue between net-snmp's own types and the suite's SNMP values (NetSnmp.h). Only the suite's
// .cpp files include this header: the library's headers bring many macros of their own, which
// stay out of everything else. Every function here runs on the SnmpEngine's thread, or before
// any engine runs (see NetSnmp.h).
#pragma once

// clang-format off
#include <net-snmp/net-snmp-config.h>
#include <net-snmp/net-snmp-includes.h>
// clang-format on

#include <QByteArray>
#include <memory>
#include <optional>
#include <type_traits>

#include "suite/NetSnmp.h"

namespace Zarvo::suite::snmp {

static_assert(std::is_same_v<OidPart, oid>, "OidPart must be net-snmp's oid");

struct PduDeleter {
  void operator()(netsnmp_pdu* pdu) const {
    if (pdu) snmp_free_pdu(pdu);
  }
};
using PduPtr = std::unique_ptr<netsnmp_pdu, PduDeleter>;

Oid toOid(const oid* name, size_t length);
Value toValue(const netsnmp_variable_list* variable);
VarBind toVarBind(const netsnmp_variable_list* variable);
QList<VarBind> varBinds(const netsnmp_pdu* pdu);
// Appends a binding to the PDU with the value's own type (the MIB is not consulted).
void addVarBind(netsnmp_pdu* pdu, const VarBind& binding);

// The message bytes of a community-based PDU (version 1 or 2c), encoded by the library.
// Empty when the library refuses the PDU.
QByteArray encodeCommunityPdu(netsnmp_pdu* pdu, const QByteArray& community);

// The keys of an SNMPv3 user localised for one engine, made by the library's key functions.
struct UsmKeys {
  Oid authProtocol;
  QByteArray authKey;
  Oid privProtocol;
  QByteArray privKey;
};
// Nothing (with `error`) when a pass phrase is shorter than the 8 characters SNMPv3 asks for.
std::optional<UsmKeys> localisedKeys(const UsmCredentials& credentials, const QByteArray& engineId,
                                     QString* error);
// The library's user table entry for (engine, name), or null.
usmUser* findUser(const QByteArray& engineId, const QByteArray& name);
// True when the entry holds the keys a request at `level` uses: none at noAuthNoPriv, the
// authentication key (and its protocol) from authNoPriv on, the privacy key too at authPriv.
bool holdsKeys(const usmUser* user, const UsmKeys& keys, int level);
// Adds an entry for (engine, name) with these keys to the library's user table.
void addUser(const QByteArray& engineId, const QByteArray& name, const UsmKeys& keys);
// Takes the entry out of the table and frees it.
void dropUser(usmUser* user);
// This process's own engine identifier: the one every simulated printer answers as.
QByteArray localEngineId();

// The name of an SNMP error status ("noSuchName", "notWritable"...).
QByteArray errorStatusName(long status);

}  // namespace Zarvo::suite::snmp
