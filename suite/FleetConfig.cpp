#include "suite/FleetConfig.h"

#include <QHostAddress>
#include <QMap>
#include <QSet>
#include <QXmlStreamReader>

namespace Zarvo::suite {

namespace {

const QStringList kKinds = {QStringLiteral("psFont"), QStringLiteral("psForm"),
                            QStringLiteral("pclFont"), QStringLiteral("pclMacro")};
const QStringList kPersistences = {QStringLiteral("other"), QStringLiteral("unknown"),
                                   QStringLiteral("volatile"), QStringLiteral("nonvolatile"),
                                   QStringLiteral("permanent")};
constexpr qint64 kMaxGeneratedSize = 64 * 1024 * 1024;

// Reproducible filler for a file given only by its size, recognisable when inspected.
QByteArray filler(const QString& name, qint64 size) {
  const QByteArray seed = "[" + name.toUtf8() + "]";
  QByteArray out;
  out.reserve(size);
  while (out.size() < size) out += seed;
  out.truncate(size);
  return out;
}

bool readUInt(const QXmlStreamAttributes& a, const char* name, quint32* value, QString* error) {
  if (!a.hasAttribute(QLatin1String(name))) return true;
  bool ok = false;
  const uint v = a.value(QLatin1String(name)).toUInt(&ok);
  if (!ok) {
    *error = QStringLiteral("attribute %1 is not a number").arg(QLatin1String(name));
    return false;
  }
  *value = v;
  return true;
}

QString text(const QXmlStreamAttributes& a, const char* name, const QString& fallback = {}) {
  return a.hasAttribute(QLatin1String(name)) ? a.value(QLatin1String(name)).toString() : fallback;
}

bool readFault(const QXmlStreamAttributes& a, Fault* fault, QString* error) {
  const auto kind = faultFromName(text(a, "kind"));
  if (!kind) {
    *error = QStringLiteral("unknown fault \"%1\"").arg(text(a, "kind"));
    return false;
  }
  fault->kind = *kind;
  quint32 delay = quint32(fault->delayMs);
  if (!readUInt(a, "delayMs", &delay, error)) return false;
  fault->delayMs = int(qMin<quint32>(delay, 600'000));
  fault->status = text(a, "status", fault->status);
  return true;
}

bool readFile(const QXmlStreamAttributes& a, StoredFileSetup* file, QString* error) {
  file->name = text(a, "name");
  file->kind = text(a, "kind");
  file->persistence = text(a, "persistence", QStringLiteral("permanent"));
  if (file->name.isEmpty()) {
    *error = QStringLiteral("a stored file without a name");
    return false;
  }
  for (const QChar c : file->name) {
    if (c.unicode() < 0x20 || c.unicode() == 0x7f) {
      *error = QStringLiteral("file name \"%1\" holds a control character").arg(file->name);
      return false;
    }
  }
  if (!kKinds.contains(file->kind)) {
    *error = QStringLiteral("file \"%1\": unknown kind \"%2\"").arg(file->name, file->kind);
    return false;
  }
  if (!kPersistences.contains(file->persistence)) {
    *error = QStringLiteral("file \"%1\": unknown persistence \"%2\"")
                 .arg(file->name, file->persistence);
    return false;
  }
  if (!readUInt(a, "id", &file->id, error)) return false;
  if (a.hasAttribute(QLatin1String("text"))) {
    file->content = text(a, "text").toUtf8();
  } else {
    quint32 size = 1024;
    if (!readUInt(a, "size", &size, error)) return false;
    if (size > kMaxGeneratedSize) {
      *error = QStringLiteral("file \"%1\" is larger than 64 MiB").arg(file->name);
      return false;
    }
    file->content = filler(file->name, size);
  }
  return true;
}

bool readPort(const QXmlStreamAttributes& a, const char* name, quint16* port, QString* error) {
  quint32 value = *port;
  if (!readUInt(a, name, &value, error)) return false;
  if (value > 65535) {
    *error = QStringLiteral("attribute %1 is no port").arg(QLatin1String(name));
    return false;
  }
  *port = quint16(value);
  return true;
}

bool isUnicastIpv4(const QString& address) {
  QHostAddress parsed;
  if (address.count('.') != 3 || !parsed.setAddress(address)) return false;
  if (parsed.protocol() != QAbstractSocket::IPv4Protocol) return false;
  const quint32 v = parsed.toIPv4Address();
  return v != 0 && v != 0xffffffffu && (v >> 28) != 0xe;  // not any, broadcast or multicast
}

bool readDevice(QXmlStreamReader& xml, DeviceSetup* device, QString* error) {
  const QXmlStreamAttributes a = xml.attributes();
  if (!readUInt(a, "id", &device->id, error)) return false;
  device->address = text(a, "address");
  device->name = text(a, "name", device->address);
  device->model = text(a, "model", QStringLiteral("ZX-410"));
  quint32 version = 1;
  if (!readUInt(a, "snmpVersion", &version, error)) return false;
  device->snmpVersion = int(version);
  device->community = text(a, "community", device->community);
  device->writeCommunity = text(a, "writeCommunity", device->writeCommunity);
  device->userName = text(a, "userName");
  device->authPass = text(a, "authPass");
  device->authMethod = text(a, "authMethod");
  device->securityLevel = text(a, "securityLevel");
  device->privacyPass = text(a, "privacyPass");
  device->contextName = text(a, "contextName");
  device->contextId = text(a, "contextId");
  const QString simulated = text(a, "simulated", QStringLiteral("true"));
  if (simulated != QLatin1String("true") && simulated != QLatin1String("false")) {
    *error = QStringLiteral("attribute simulated is true or false");
    return false;
  }
  device->simulated = simulated == QLatin1String("true");
  if (!device->simulated) device->snmpPort = 161;  // a real printer's, unless given
  if (!readPort(a, "printPort", &device->printPort, error) ||
      !readPort(a, "webPort", &device->webPort, error) ||
      !readPort(a, "snmpPort", &device->snmpPort, error)) {
    return false;
  }
  if (device->simulated && !isLoopbackAddress(device->address)) {
    *error = QStringLiteral("device address \"%1\" is not in 127.0.0.0/8").arg(device->address);
    return false;
  }
  if (!device->simulated && (!isUnicastIpv4(device->address) || device->snmpPort == 0)) {
    *error = QStringLiteral("printer address \"%1\" is no unicast IPv4 address with an SNMP port")
                 .arg(device->address);
    return false;
  }
  if (device->snmpVersion < 1 || device->snmpVersion > 3) {
    *error = QStringLiteral("device %1: SNMP version must be 1, 2 or 3").arg(device->address);
    return false;
  }
  while (xml.readNextStartElement()) {
    const QXmlStreamAttributes c = xml.attributes();
    if (!device->simulated) {
      *error = QStringLiteral("printer %1 is real: it has no simulated %2")
                   .arg(device->address, xml.name().toString());
      return false;
    }
    if (xml.name() == QLatin1String("File")) {
      StoredFileSetup file;
      if (!readFile(c, &file, error)) return false;
      device->files << file;
    } else if (xml.name() == QLatin1String("TrapDest")) {
      TrapDestSetup row;
      row.addr = text(c, "addr");
      row.community = text(c, "community", row.community);
      row.status = text(c, "status", row.status);
      if (row.status != QLatin1String("valid") && row.status != QLatin1String("invalid")) {
        *error = QStringLiteral("trap destination status must be valid or invalid");
        return false;
      }
      if (!readPort(c, "port", &row.port, error)) return false;
      device->trapDests << row;
    } else if (xml.name() == QLatin1String("Fault")) {
      if (!readFault(c, &device->fault, error)) return false;
    }
    xml.skipCurrentElement();
  }
  if (device->trapDests.isEmpty() && device->simulated) {
    device->trapDests = QList<TrapDestSetup>(4);
  }
  return true;
}

// The keys a user name stands for: one SNMP engine answers for every simulated printer.
QString userKeys(const DeviceSetup& d) {
  return d.authMethod + '\n' + d.authPass + '\n' + d.securityLevel + '\n' + d.privacyPass;
}

// The next loopback address after `address` that is neither a network nor a broadcast one.
QString nextLoopback(const QString& address) {
  quint32 v = QHostAddress(address).toIPv4Address();
  do {
    ++v;
  } while ((v & 0xff) == 0 || (v & 0xff) == 0xff);
  return QHostAddress(v).toString();
}

bool addDevice(const DeviceSetup& device, FleetSetup* fleet, QSet<QString>* endpoints,
               QSet<quint32>* ids, QMap<QString, QString>* users, QString* error) {
  if (ids->contains(device.id)) {
    *error = QStringLiteral("two devices with the id %1").arg(device.id);
    return false;
  }
  if (fleet->devices.size() >= FleetSetup::kMaxDevices) {
    *error = QStringLiteral("more than %1 devices").arg(FleetSetup::kMaxDevices);
    return false;
  }
  QList<QString> taken;
  if (device.simulated) {
    taken << device.address + ':' + QString::number(device.printPort)
          << device.address + ':' + QString::number(device.webPort);
  }
  taken << "udp:" + device.address + ':' + QString::number(device.snmpPort);
  for (const QString& endpoint : taken) {
    // Port 0 (tests) is a fresh port each time, so it never clashes.
    if (endpoint.endsWith(QLatin1String(":0"))) continue;
    if (endpoints->contains(endpoint)) {
      *error = QStringLiteral("two devices listen on %1").arg(endpoint);
      return false;
    }
    *endpoints << endpoint;
  }
  if (device.simulated && !device.userName.isEmpty()) {
    const auto it = users->find(device.userName);
    if (it != users->end() && *it != userKeys(device)) {
      *error = QStringLiteral("SNMPv3 user %1 has other keys on another simulated device")
                   .arg(device.userName);
      return false;
    }
    users->insert(device.userName, userKeys(device));
  }
  *ids << device.id;
  fleet->devices << device;
  return true;
}

bool readFleet(QXmlStreamReader& xml, FleetSetup* fleet, QString* error) {
  const QXmlStreamAttributes a = xml.attributes();
  fleet->filesDir = text(a, "filesDir", fleet->filesDir);
  fleet->enterpriseArc = text(a, "enterpriseArc", fleet->enterpriseArc);
  quint32 delay = quint32(fleet->confirmDelayMs);
  if (!readUInt(a, "confirmDelayMs", &delay, error)) return false;
  fleet->confirmDelayMs = int(qMin<quint32>(delay, 60'000));
  const QString mode = text(a, "snmp", QStringLiteral("udp"));
  if (mode != QLatin1String("udp") && mode != QLatin1String("memory")) {
    *error = QStringLiteral("attribute snmp is udp or memory, not \"%1\"").arg(mode);
    return false;
  }
  fleet->snmp = mode == QLatin1String("udp") ? SnmpMode::Udp : SnmpMode::Memory;
  if (!readPort(a, "snmpPort", &fleet->snmpPort, error)) return false;
  quint32 threads = quint32(fleet->connectionThreads);
  if (!readUInt(a, "connectionThreads", &threads, error)) return false;
  if (threads < 1 || threads > 4096) {
    *error = QStringLiteral("attribute connectionThreads is 1 to 4096");
    return false;
  }
  fleet->connectionThreads = int(threads);
  quint32 count = 0;
  if (!readUInt(a, "count", &count, error)) return false;
  if (count > quint32(FleetSetup::kMaxDevices)) {
    *error = QStringLiteral("count is at most %1").arg(FleetSetup::kMaxDevices);
    return false;
  }
  QString next = text(a, "firstAddress");
  if (!next.isEmpty() && !isLoopbackAddress(next)) {
    *error = QStringLiteral("firstAddress \"%1\" is not in 127.0.0.0/8").arg(next);
    return false;
  }
  QSet<QString> endpoints;
  QSet<quint32> ids;
  QMap<QString, QString> users;
  quint32 nextId = 1;
  QString lastAddress;
  while (xml.readNextStartElement()) {
    if (xml.name() != QLatin1String("Device")) {
      xml.skipCurrentElement();
      continue;
    }
    DeviceSetup device;
    device.id = nextId;
    device.snmpPort = fleet->snmpPort;
    if (!readDevice(xml, &device, error)) return false;
    if (!addDevice(device, fleet, &endpoints, &ids, &users, error)) return false;
    nextId = device.id + 1;
    if (device.simulated) lastAddress = device.address;
  }
  // The rest of `count`: plain printers on the next free loopback addresses.
  if (next.isEmpty())
    next = lastAddress.isEmpty() ? QStringLiteral("127.0.0.2") : nextLoopback(lastAddress);
  QSet<QString> used;
  for (const DeviceSetup& d : fleet->devices) used << d.address;
  while (fleet->devices.size() < qsizetype(count)) {
    while (used.contains(next)) next = nextLoopback(next);
    if (!isLoopbackAddress(next)) {
      *error = QStringLiteral("count runs past 127.255.255.254");
      return false;
    }
    while (ids.contains(nextId)) ++nextId;
    DeviceSetup device;
    device.id = nextId++;
    device.address = next;
    device.name = QStringLiteral("Printer %1").arg(device.id);
    device.model = QStringLiteral("ZX-410");
    device.snmpPort = fleet->snmpPort;
    device.trapDests = QList<TrapDestSetup>(4);
    used << next;
    if (!addDevice(device, fleet, &endpoints, &ids, &users, error)) return false;
  }
  return true;
}

}  // namespace

QString faultName(FaultKind kind) {
  switch (kind) {
    case FaultKind::None:
      return QStringLiteral("none");
    case FaultKind::Slow:
      return QStringLiteral("slow");
    case FaultKind::Silent:
      return QStringLiteral("silent");
    case FaultKind::Refuse:
      return QStringLiteral("refuse");
    case FaultKind::Drop:
      return QStringLiteral("drop");
    case FaultKind::Fail:
      return QStringLiteral("fail");
    case FaultKind::Mute:
      return QStringLiteral("mute");
  }
  return QString();
}

std::optional<FaultKind> faultFromName(const QString& name) {
  for (FaultKind k : {FaultKind::None, FaultKind::Slow, FaultKind::Silent, FaultKind::Refuse,
                      FaultKind::Drop, FaultKind::Fail, FaultKind::Mute}) {
    if (faultName(k) == name) return k;
  }
  return std::nullopt;
}

bool isLoopbackAddress(const QString& address) {
  QHostAddress parsed;
  // Only the full dotted form: "127.1" would be accepted by inet_aton and surprise a reader.
  if (address.count('.') != 3 || !parsed.setAddress(address)) return false;
  if (parsed.protocol() != QAbstractSocket::IPv4Protocol) return false;
  return (parsed.toIPv4Address() >> 24) == 127;
}

int kindCode(const QString& kind) { return int(kKinds.indexOf(kind)) + 1; }

QString kindFromCode(int code) {
  return code >= 1 && code <= kKinds.size() ? kKinds.at(code - 1) : QString();
}

bool parseFleet(const QByteArray& xmlBytes, FleetSetup* fleet, QString* error) {
  *fleet = FleetSetup();
  QXmlStreamReader xml(xmlBytes);
  bool found = false;
  while (!xml.atEnd()) {
    xml.readNext();
    if (xml.isStartElement() && xml.name() == QLatin1String("Fleet")) {
      if (found) {
        *error = QStringLiteral("more than one Fleet element");
        return false;
      }
      found = true;
      if (!readFleet(xml, fleet, error)) return false;
    }
  }
  if (xml.hasError()) {
    *error = QStringLiteral("configuration is not well-formed: %1 (line %2)")
                 .arg(xml.errorString())
                 .arg(xml.lineNumber());
    return false;
  }
  if (!found) return parseFleet(defaultFleetXml(), fleet, error);
  return true;
}

QByteArray defaultFleetXml() {
  return R"(<Fleet filesDir="fleet-files">
  <Device id="1" address="127.0.0.2" name="Front desk" model="ZX-410" snmpVersion="1">
    <File name="Courier 12" kind="pclFont" id="1" persistence="permanent" size="4096"/>
    <File name="Letterhead" kind="pclMacro" id="7" persistence="nonvolatile" size="700"/>
    <File name="Invoice.ps" kind="psForm" persistence="nonvolatile"
          text="%!PS-Adobe-3.0 EPSF-3.0&#10;%%Title: Invoice form&#10;showpage&#10;"/>
  </Device>
  <Device id="2" address="127.0.0.3" name="Accounts" model="ZX-410" snmpVersion="2">
    <File name="Garamond" kind="psFont" persistence="permanent"
          text="%!PS-AdobeFont-1.0: Garamond 001.000&#10;/FontName /Garamond def&#10;"/>
  </Device>
  <Device id="3" address="127.0.0.4" name="Warehouse" model="ZX-220" snmpVersion="1"/>
</Fleet>
)";
}

}  // namespace Zarvo::suite
