// SNMP values and the MIB as the suite uses them, with net-snmp doing every encoding, decoding
// and MIB parse underneath (NetSnmpPdu.h holds the glue to the library's own types).
//
// net-snmp keeps process-wide state: its MIB tree, its USM user table, its request counters and
// its engine identity. None of it is locked inside the library, and its SNMPv3 code was never made
// thread-safe. So the suite sets the library up once per process (initialiseNetSnmp, before any
// SnmpEngine starts) and afterwards calls into it from one thread only: the SnmpEngine's loop
// (SnmpEngine.h), on which every agent, trap receiver and manager request of the process runs.
// The MIB is read once into plain values (SnmpMib) that any thread may use without the library.
#pragma once

#include <QByteArray>
#include <QList>
#include <QMap>
#include <QString>
#include <QStringList>
#include <memory>
#include <optional>
#include <vector>

namespace Zarvo::suite::snmp {

using OidPart = unsigned long;  // net-snmp's own `oid` (checked where the library is included)
using Oid = std::vector<OidPart>;

// ".1.3.6" -> {1, 3, 6}; a leading dot is optional. Nothing for text that is not dotted numbers.
std::optional<Oid> parseOid(const QString& text);
QString oidText(const Oid& oid);  // with a leading dot
bool startsWith(const Oid& oid, const Oid& prefix);
Oid operator+(Oid oid, const Oid& suffix);
Oid operator+(Oid oid, OidPart part);

// One value of a variable binding.
struct Value {
  enum class Kind {
    Null,
    Integer,
    OctetString,
    ObjectId,
    IpAddress,
    Counter32,
    Gauge32,
    TimeTicks,
    Counter64,
    Opaque,
    NoSuchObject,
    NoSuchInstance,
    EndOfMibView,
  };
  Kind kind = Kind::Null;
  qint64 number = 0;  // Integer, Counter32, Gauge32, TimeTicks; Counter64 as far as it fits
  QByteArray bytes;   // OctetString, Opaque, IpAddress (4 bytes)
  Oid objectId;       // ObjectId

  static Value integer(qint64 v) { return Value{Kind::Integer, v, {}, {}}; }
  static Value string(const QByteArray& v) { return Value{Kind::OctetString, 0, v, {}}; }
  static Value exception(Kind k) { return Value{k, 0, {}, {}}; }
  bool isException() const {
    return kind == Kind::NoSuchObject || kind == Kind::NoSuchInstance || kind == Kind::EndOfMibView;
  }
  bool operator==(const Value& o) const {
    return kind == o.kind && number == o.number && bytes == o.bytes && objectId == o.objectId;
  }
};

struct VarBind {
  Oid oid;
  Value value;
};

// An object of the MIB: a scalar, a table or one of its columns.
struct MibObject {
  QString name;
  Oid oid;
  Value::Kind kind = Value::Kind::Null;  // the column's or scalar's syntax
  QMap<qint64, QString> labels;          // enumerated values
  bool writable = false;
};

// A conceptual table: the entry's identifier and its readable columns in identifier order.
struct MibTable {
  QString name;
  Oid entry;
  QList<MibObject> columns;  // each column's oid is entry + its sub-identifier
};

// The value as the SNMP service answers it: enumerations as their labels, strings as text,
// numbers in decimal, addresses and identifiers dotted.
QString render(const Value& value, const QMap<qint64, QString>& labels = {});

// The value to write into a column from the text a request carries: a label or a number for an
// enumerated or integer column, the text itself for a string, dotted text for an address.
// Nothing when the text does not fit the column.
std::optional<Value> fromText(const MibObject& column, const QString& text);

// The objects of one MIB module, read from the library's tree once and held as plain values.
class SnmpMib {
 public:
  // Loads `module` from the file `<directory>/<module>.txt` (or any file the library finds for it
  // in `directory`) and takes every object under the module's root. When `arc` is not empty, the
  // module's enterprise root (the node its own identifiers hang under, ".1.3.6.1.4.1.<n>") is
  // replaced by `arc` in every identifier: a site with another arc keeps the module.
  // Null with `error` set when the module cannot be read.
  static std::unique_ptr<SnmpMib> load(const QString& directory, const QString& module,
                                       const QString& arc, QString* error);

  // A table by its name (the table's own name, "scmFileStorageTable").
  std::optional<MibTable> table(const QString& name) const;
  // Any object by name.
  std::optional<MibObject> object(const QString& name) const;
  // The root every identifier of the module hangs under (after the arc is applied).
  const Oid& root() const { return root_; }

  // Built from parts, for table maps and tests.
  void addTable(const MibTable& table) { tables_[table.name] = table; }
  void addObject(const MibObject& object) { objects_[object.name] = object; }

 private:
  Oid root_;
  QMap<QString, MibObject> objects_;
  QMap<QString, MibTable> tables_;
};

// SNMPv3 user-based security as the suite speaks it.
enum class PrivacyProtocol { Des, Aes };
struct UsmCredentials {
  QByteArray user;
  int level = 0;     // 0 noAuthNoPriv, 1 authNoPriv, 2 authPriv
  bool sha = false;  // authentication by SHA-1 (else MD5)
  QByteArray authPass;
  QByteArray privPass;
  PrivacyProtocol privacy = PrivacyProtocol::Aes;
};

// Sets the library up for this process, once: no configuration files or persistent state of the
// host are read or written, no MIB module but the suite's own is loaded, and the library's log
// lines go to the "info" log (prefixed "net-snmp: "). Later calls do nothing. Call it before any
// thread uses the library; SnmpEngine and SnmpMib::load call it themselves.
void initialiseNetSnmp();

}  // namespace Zarvo::suite::snmp
