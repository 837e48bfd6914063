#include "suite/SnmpConfig.h"

#include <QHostAddress>
#include <QSet>
#include <QXmlStreamReader>
#include <algorithm>

#include "framework/Log.h"

namespace Zarvo::suite {

using snmp::operator+;  // identifiers are std::vectors: no lookup finds it on its own

namespace {

using snmp::Value;

bool takeUInt(const QString& text, qulonglong low, qulonglong high, qulonglong* out) {
  bool ok = false;
  const qulonglong v = text.trimmed().toULongLong(&ok);
  if (!ok || v < low || v > high) return false;
  *out = v;
  return true;
}

// One optional element: `take` stores a well-formed text and returns true, or leaves the setting
// alone and returns false.
struct Element {
  const char* name;
  const char* expected;  // what the log says a well-formed value is
  bool (*take)(const QString& text, SnmpSetup& into);
};

const Element kElements[] = {
    {"TrapPort", "a port 0 to 65535",
     [](const QString& t, SnmpSetup& s) {
       qulonglong v = 0;
       if (!takeUInt(t, 0, 65535, &v)) return false;
       s.trapPort = quint16(v);
       return true;
     }},
    {"TrapAddress", "an IPv4 address",
     [](const QString& t, SnmpSetup& s) {
       QHostAddress a;
       if (t.trimmed().count('.') != 3 || !a.setAddress(t.trimmed()) ||
           a.protocol() != QAbstractSocket::IPv4Protocol) {
         return false;
       }
       s.trapAddress = t.trimmed();
       return true;
     }},
    {"SnmpTimeoutMs", "10 to 60000",
     [](const QString& t, SnmpSetup& s) {
       qulonglong v = 0;
       if (!takeUInt(t, 10, 60000, &v)) return false;
       s.timeout = std::chrono::milliseconds(v);
       return true;
     }},
    {"SnmpRetries", "0 to 10",
     [](const QString& t, SnmpSetup& s) {
       qulonglong v = 0;
       if (!takeUInt(t, 0, 10, &v)) return false;
       s.retries = int(v);
       return true;
     }},
    {"SnmpWalkRows", "1 to 100000",
     [](const QString& t, SnmpSetup& s) {
       qulonglong v = 0;
       if (!takeUInt(t, 1, 100000, &v)) return false;
       s.walkRows = int(v);
       return true;
     }},
    {"SnmpWalkSeconds", "1 to 60",
     [](const QString& t, SnmpSetup& s) {
       qulonglong v = 0;
       if (!takeUInt(t, 1, 60, &v)) return false;
       s.walkTime = std::chrono::seconds(v);
       return true;
     }},
    {"SnmpBulkRows", "1 to 200",
     [](const QString& t, SnmpSetup& s) {
       qulonglong v = 0;
       if (!takeUInt(t, 1, 200, &v)) return false;
       s.bulkRows = int(v);
       return true;
     }},
    {"SnmpPrivacy", "AES or DES",
     [](const QString& t, SnmpSetup& s) {
       if (t.trimmed() == QLatin1String("AES")) {
         s.privacy = snmp::PrivacyProtocol::Aes;
       } else if (t.trimmed() == QLatin1String("DES")) {
         s.privacy = snmp::PrivacyProtocol::Des;
       } else {
         return false;
       }
       return true;
     }},
    {"MibDirectory", "a directory",
     [](const QString& t, SnmpSetup& s) {
       if (t.trimmed().isEmpty()) return false;
       s.mibDirectory = t.trimmed();
       return true;
     }},
};

std::optional<Value::Kind> kindOf(const QString& type) {
  static const std::pair<const char*, Value::Kind> kKinds[] = {
      {"string", Value::Kind::OctetString}, {"integer", Value::Kind::Integer},
      {"address", Value::Kind::IpAddress},  {"counter", Value::Kind::Counter32},
      {"gauge", Value::Kind::Gauge32},      {"timeticks", Value::Kind::TimeTicks},
      {"oid", Value::Kind::ObjectId}};
  for (const auto& [name, kind] : kKinds) {
    if (type == QLatin1String(name)) return kind;
  }
  return std::nullopt;
}

// A TableMap element (the reader on its start tag); nothing, with `error`, when it is unsound.
std::optional<snmp::MibTable> readTableMap(QXmlStreamReader& xml, QString* error) {
  const QXmlStreamAttributes a = xml.attributes();
  snmp::MibTable table;
  table.name = a.value(QLatin1String("name")).toString().trimmed();
  const auto oid = snmp::parseOid(a.value(QLatin1String("oid")).toString());
  if (table.name.isEmpty() || !oid) {
    *error = QStringLiteral("TableMap needs a name and a dotted oid");
    xml.skipCurrentElement();
    return std::nullopt;
  }
  table.entry = *oid + snmp::OidPart(1);
  while (xml.readNextStartElement()) {
    if (xml.name() != QLatin1String("Column")) {
      xml.skipCurrentElement();
      continue;
    }
    const QXmlStreamAttributes c = xml.attributes();
    snmp::MibObject column;
    column.name = c.value(QLatin1String("name")).toString().trimmed();
    qulonglong sub = 0;
    const auto kind = kindOf(c.hasAttribute(QLatin1String("type"))
                                 ? c.value(QLatin1String("type")).toString().trimmed()
                                 : QStringLiteral("string"));
    if (column.name.isEmpty() ||
        !takeUInt(c.value(QLatin1String("sub")).toString(), 1, 0xffffffffULL, &sub) || !kind) {
      *error = QStringLiteral(
                   "TableMap %1: a Column needs a name, a sub-identifier and a known "
                   "type")
                   .arg(table.name);
      xml.skipCurrentElement();
      return std::nullopt;
    }
    column.oid = table.entry + snmp::OidPart(sub);
    column.kind = *kind;
    column.writable = true;
    const QString values = c.value(QLatin1String("values")).toString().trimmed();
    for (const QString& pair : values.split(',', Qt::SkipEmptyParts)) {
      const QStringList parts = pair.split('=');
      bool ok = false;
      const qint64 number = parts.value(1).trimmed().toLongLong(&ok);
      if (parts.size() != 2 || !ok || parts.at(0).trimmed().isEmpty()) {
        *error = QStringLiteral("TableMap %1: values are label=number pairs").arg(table.name);
        xml.skipCurrentElement();
        return std::nullopt;
      }
      column.labels.insert(number, parts.at(0).trimmed());
    }
    table.columns << column;
    xml.skipCurrentElement();
  }
  if (table.columns.isEmpty()) {
    *error = QStringLiteral("TableMap %1 maps no column").arg(table.name);
    return std::nullopt;
  }
  std::sort(table.columns.begin(), table.columns.end(),
            [](const snmp::MibObject& x, const snmp::MibObject& y) { return x.oid < y.oid; });
  return table;
}

}  // namespace

SnmpSetup parseSnmpSetup(const QByteArray& bytes) {
  SnmpSetup setup;
  QXmlStreamReader xml(bytes);
  QSet<QString> seen;
  while (!xml.atEnd()) {
    xml.readNext();
    if (!xml.isStartElement()) continue;
    if (xml.name() == QLatin1String("TableMap")) {
      QString error;
      const auto table = readTableMap(xml, &error);
      if (table) {
        setup.tableMaps << *table;
      } else {
        ZLOG("err") << error << "; the map is left out";
      }
      continue;
    }
    for (const Element& e : kElements) {
      if (xml.name() != QLatin1String(e.name)) continue;
      const QString name = QLatin1String(e.name);
      const QString text = xml.readElementText();
      if (seen.contains(name)) break;  // the first element of a name counts
      seen << name;
      if (!e.take(text, setup)) {
        ZLOG("err") << e.name << " is not " << e.expected << ", using the default: " << text;
      }
      break;
    }
  }
  return setup;
}

}  // namespace Zarvo::suite
