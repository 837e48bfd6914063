#include "suite/SnmpBackends.h"

#include <QHostAddress>

#include "suite/PrinterAgent.h"

namespace Zarvo::suite {

using snmp::operator+;  // identifiers are std::vectors: no lookup finds it on its own

namespace {

using snmp::Oid;

void fillTable(deviceRes* res, const QByteArray& name, const DeviceTable& table) {
  res->createTable(name);
  for (const QString& c : table.columns) res->addColumn(name, c);
  for (qsizetype r = 0; r < table.rows.size(); ++r) {
    for (qsizetype c = 0; c < table.columns.size(); ++c) {
      res->setCell(name, table.columns.at(c), int(r + 1), table.rows.at(r).at(c));
    }
  }
}

bool credentialsMatch(const DeviceSetup& device, const deviceReq& request) {
  if (request.snmpVersion == 3) {
    return !device.userName.isEmpty() && request.userName == device.userName.toUtf8();
  }
  return request.readCommunity == device.community.toUtf8();
}

bool isIpv4(const QString& address) {
  QHostAddress a;
  return address.count('.') == 3 && a.setAddress(address) &&
         a.protocol() == QAbstractSocket::IPv4Protocol;
}

// The standard system scalars every printer answers; the suite's own MIB has no scalars of its
// own, and the host carries no module that would name these.
std::optional<Oid> systemScalar(const QString& name) {
  static const std::pair<const char*, snmp::OidPart> kSystem[] = {
      {"sysDescr", 1},   {"sysObjectID", 2}, {"sysUpTime", 3},
      {"sysContact", 4}, {"sysName", 5},     {"sysLocation", 6}};
  for (const auto& [label, sub] : kSystem) {
    if (name == QLatin1String(label)) return Oid{1, 3, 6, 1, 2, 1, 1, sub, 0};
  }
  return std::nullopt;
}

// An exchange after which asking the same device for more would only wait again.
bool deviceIsGone(int code) {
  return code == snmp::kNoResponse || code == snmp::kAuthorization || code == snmp::kNotSent;
}

}  // namespace

// ---------------------------------------------------------------------------------------------
// In memory

deviceRes MemoryBackend::get(deviceReq& asked) {
  deviceRes res;
  res.address = asked.address;
  const SimDevice* device = fleet_.byAddress(QString::fromLatin1(asked.address));
  if (!device) {
    res.addError(snmp::kNoResponse, "No response from device " + asked.address);
  } else if (!credentialsMatch(device->setup(), asked)) {
    res.addError(snmp::kAuthorization, "authorizationError");
  } else {
    QByteArray name;
    for (bool more = asked.firstVariable(&name); more; more = asked.nextVariable(&name)) {
      if (name == "scmFileStorageTable") {
        fillTable(&res, name, device->fileStorageTable());
      } else if (name == "staticTrapDestTable") {
        fillTable(&res, name, device->trapDestTable());
      } else if (name == "sysName") {
        res.setScalar(name, device->setup().name);
      } else if (name == "sysDescr") {
        res.setScalar(name, device->setup().model);
      } else {
        res.addError(2, "noSuchName: " + name);
      }
    }
  }
  res.errorCount = int(res.errors().size());
  return res;
}

SnmpBackend::Written MemoryBackend::writeTrapDests(const QString& address,
                                                   const QList<TrapDestCell>& cells) {
  SimDevice* device = fleet_.byAddress(address);
  if (!device) return {kUnknownDevice, QStringLiteral("Unknown device: ") + address};
  QString error;
  if (!device->writeTrapDest(cells, &error)) return {kWriteRefused, error};
  return {};
}

// ---------------------------------------------------------------------------------------------
// Over the wire

snmp::SnmpTarget WireBackend::readTarget(const deviceReq& asked) const {
  snmp::SnmpTarget t;
  t.address = QString::fromLatin1(asked.address);
  t.port = fleet_.snmpPortOf(t.address);
  t.version = asked.snmpVersion == 2 ? 2 : asked.snmpVersion == 3 ? 3 : 1;
  t.community = asked.readCommunity;
  t.usm.user = asked.userName;
  t.usm.level = std::clamp(asked.securityLevel, 0, 2);
  t.usm.sha = asked.authProtocol == kSha1;
  t.usm.authPass = asked.authPassPhrase;
  t.usm.privPass = asked.privPassPhrase;
  t.usm.privacy = privacy_;
  t.contextName = asked.contextName;
  return t;
}

snmp::SnmpTarget WireBackend::writeTarget(const QString& address) const {
  snmp::SnmpTarget t;
  t.address = address;
  t.port = fleet_.snmpPortOf(address);
  const DeviceSetup* d = fleet_.setupOf(address);
  if (!d) {
    t.version = 1;
    t.community = kDefaultWriteCommunity;
    return t;
  }
  t.version = d->snmpVersion;
  t.community = d->writeCommunity.toUtf8();
  t.usm = snmp::usmCredentialsOf(*d, privacy_);
  t.contextName = d->contextName.toUtf8();
  return t;
}

deviceRes WireBackend::get(deviceReq& asked) {
  deviceRes res;
  res.address = asked.address;
  const QString address = QString::fromLatin1(asked.address);
  if (!isIpv4(address)) {
    res.addError(snmp::kNotSent, "No IPv4 address: " + asked.address);
    res.errorCount = 1;
    return res;
  }
  const snmp::SnmpTarget target = readTarget(asked);
  QByteArray name;
  for (bool more = asked.firstVariable(&name); more; more = asked.nextVariable(&name)) {
    const QString variable = QString::fromLatin1(name);
    if (const auto table = mib_.table(variable); table && !table->columns.isEmpty()) {
      QList<Oid> columns;
      for (const snmp::MibObject& c : table->columns) columns << c.oid;
      const snmp::WalkResult walked = client_.walk(target, columns);
      if (walked.failure) {
        res.addError(walked.failure.code, walked.failure.message);
        if (deviceIsGone(walked.failure.code)) break;
        continue;
      }
      res.createTable(name);
      for (const snmp::MibObject& c : table->columns) res.addColumn(name, c.name);
      for (std::size_t r = 0; r < walked.rows.size(); ++r) {
        for (qsizetype c = 0; c < table->columns.size(); ++c) {
          const auto& cell = walked.rows[r][std::size_t(c)];
          const snmp::MibObject& column = table->columns.at(c);
          res.setCell(name, column.name, int(r + 1),
                      cell ? snmp::render(*cell, column.labels) : QString());
        }
      }
      continue;
    }
    std::optional<Oid> scalar = systemScalar(variable);
    QMap<qint64, QString> labels;
    if (!scalar) {
      // A scalar of the MIB: its instance is .0.
      if (const auto object = mib_.object(variable);
          object && object->kind != snmp::Value::Kind::Null) {
        scalar = object->oid + snmp::OidPart(0);
        labels = object->labels;
      }
    }
    if (!scalar) {
      res.addError(2, "noSuchName: " + name);
      continue;
    }
    const snmp::GetResult got = client_.get(target, {*scalar});
    if (got.failure) {
      res.addError(got.failure.code, got.failure.message);
      if (deviceIsGone(got.failure.code)) break;
      continue;
    }
    if (got.varBinds.size() != 1 || got.varBinds.first().value.isException()) {
      res.addError(2, "noSuchName: " + name);
      continue;
    }
    res.setScalar(name, snmp::render(got.varBinds.first().value, labels));
  }
  res.errorCount = int(res.errors().size());
  return res;
}

SnmpBackend::Written WireBackend::writeTrapDests(const QString& address,
                                                 const QList<TrapDestCell>& cells) {
  const QString tableName = QStringLiteral("staticTrapDestTable");
  const auto table = mib_.table(tableName);
  if (!table || table->columns.isEmpty()) {
    return {kWriteRefused, QStringLiteral("no table %1 in the MIB").arg(tableName)};
  }
  if (!isIpv4(address)) return {kUnknownDevice, QStringLiteral("Unknown device: ") + address};
  const snmp::SnmpTarget target = writeTarget(address);
  auto failed = [&](const snmp::SnmpFailure& f) {
    return Written{
        deviceIsGone(f.code) && f.code != snmp::kAuthorization ? kNoAnswer : kWriteRefused,
        QStringLiteral("%1: %2").arg(address, QString::fromUtf8(f.message))};
  };
  // Rows are named by their position: the table's instances, in order, give their identifiers.
  const snmp::WalkResult rows = client_.walk(target, {table->columns.first().oid});
  if (rows.failure) return failed(rows.failure);
  QList<snmp::VarBind> bindings;
  for (const TrapDestCell& cell : cells) {
    const snmp::MibObject* column = nullptr;
    for (const snmp::MibObject& c : table->columns) {
      if (c.name == cell.column) column = &c;
    }
    if (!column) {
      return {kWriteRefused, QStringLiteral("no column %1 in %2").arg(cell.column, tableName)};
    }
    if (cell.row < 0 || cell.row >= qint64(rows.instances.size())) {
      return {kWriteRefused,
              QStringLiteral("no row %1 in %2 of %3").arg(cell.row).arg(tableName, address)};
    }
    const auto value = snmp::fromText(*column, cell.value);
    if (!value) {
      return {kWriteRefused, QStringLiteral("\"%1\" does not fit %2").arg(cell.value, cell.column)};
    }
    bindings << snmp::VarBind{column->oid + rows.instances[std::size_t(cell.row)], *value};
  }
  const snmp::GetResult written = client_.set(target, bindings);
  if (written.failure) return failed(written.failure);
  return {};
}

}  // namespace Zarvo::suite
