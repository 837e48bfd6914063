#include "suite/PrinterMib.h"

#include <QHostAddress>
#include <algorithm>

namespace Zarvo::suite::snmp {

namespace {

const Oid kSysDescr = {1, 3, 6, 1, 2, 1, 1, 1, 0};
const Oid kSysObjectId = {1, 3, 6, 1, 2, 1, 1, 2, 0};
const Oid kSysUpTime = {1, 3, 6, 1, 2, 1, 1, 3, 0};
const Oid kSysName = {1, 3, 6, 1, 2, 1, 1, 5, 0};

constexpr qsizetype kMaxTextColumn = 64;  // the MIB's SIZE of the writable strings

const MibObject* column(const MibTable& table, const QString& name) {
  for (const MibObject& c : table.columns) {
    if (c.name == name) return &c;
  }
  return nullptr;
}

// The v1 form of a v2 error: SNMPv1 knows only noSuchName and badValue for these.
long forVersion(long status, int version) {
  if (version != 1) return status;
  switch (status) {
    case kNotWritable:
    case kNoCreation:
      return kNoSuchName;
    case kWrongType:
    case kWrongLength:
    case kWrongValue:
      return kBadValue;
    default:
      return status;
  }
}

bool isDottedIpv4(const QByteArray& text) {
  QHostAddress a;
  return text.count('.') == 3 && a.setAddress(QString::fromLatin1(text)) &&
         a.protocol() == QAbstractSocket::IPv4Protocol;
}

}  // namespace

std::optional<PrinterLayout> PrinterLayout::fromMib(const SnmpMib& mib, QString* error) {
  PrinterLayout layout;
  const auto files = mib.table(QStringLiteral("scmFileStorageTable"));
  const auto traps = mib.table(QStringLiteral("staticTrapDestTable"));
  const auto enterprise = mib.object(QStringLiteral("scmDownloadTrapEnterprise"));
  const auto status = mib.object(QStringLiteral("scmDownloadStatus"));
  if (!files || !traps || !enterprise || !status) {
    *error = QStringLiteral(
        "the MIB lacks scmFileStorageTable, staticTrapDestTable, scmDownloadTrapEnterprise or "
        "scmDownloadStatus");
    return std::nullopt;
  }
  for (const char* name : {"staticTrapDestAddr", "staticTrapDestCommunity", "staticTrapDestStatus",
                           "staticTrapDestPort"}) {
    if (!column(*traps, QLatin1String(name))) {
      *error = QStringLiteral("the MIB's staticTrapDestTable lacks %1").arg(QLatin1String(name));
      return std::nullopt;
    }
  }
  layout.files = *files;
  layout.trapDests = *traps;
  layout.enterprise = enterprise->oid;
  layout.statusVariable = status->oid;
  layout.systemObjectId = mib.root();
  return layout;
}

qsizetype encodedSize(const VarBind& b) {
  qsizetype n = 8;  // sequence, tags and lengths
  for (OidPart p : b.oid) n += p < 0x80 ? 1 : p < 0x4000 ? 2 : p < 0x200000 ? 3 : 5;
  n += b.value.bytes.size() + 9 + qsizetype(b.value.objectId.size()) * 5;
  return n;
}

PrinterView::PrinterView(const PrinterLayout& layout, const DeviceSetup& setup,
                         const DeviceTable& files, const QList<TrapDestSetup>& trapDests,
                         quint16 defaultTrapPort) {
  objects_.push_back({kSysDescr, Value::string(setup.model.toUtf8())});
  objects_.push_back({kSysObjectId, Value{Value::Kind::ObjectId, 0, {}, layout.systemObjectId}});
  objects_.push_back({kSysUpTime, Value{Value::Kind::TimeTicks, 0, {}, {}}});
  objects_.push_back({kSysName, Value::string(setup.name.toUtf8())});
  for (const MibObject& c : layout.files.columns) {
    const qsizetype at = files.columns.indexOf(c.name);
    if (at < 0) continue;
    for (qsizetype r = 0; r < files.rows.size(); ++r) {
      const auto value = fromText(c, files.rows.at(r).value(at));
      if (value) objects_.push_back({c.oid + OidPart(r + 1), *value});
    }
  }
  for (const MibObject& c : layout.trapDests.columns) {
    for (qsizetype r = 0; r < trapDests.size(); ++r) {
      const TrapDestSetup& row = trapDests.at(r);
      QString text;
      if (c.name == QLatin1String("staticTrapDestAddr")) text = row.addr;
      if (c.name == QLatin1String("staticTrapDestCommunity")) text = row.community;
      if (c.name == QLatin1String("staticTrapDestStatus")) text = row.status;
      if (c.name == QLatin1String("staticTrapDestPort")) {
        text = QString::number(row.port ? row.port : defaultTrapPort);
      }
      const auto value = fromText(c, text);
      if (value) objects_.push_back({c.oid + OidPart(r + 1), *value});
    }
  }
  std::sort(objects_.begin(), objects_.end(),
            [](const VarBind& a, const VarBind& b) { return a.oid < b.oid; });
}

const VarBind* PrinterView::find(const Oid& oid) const {
  const auto it = std::lower_bound(objects_.begin(), objects_.end(), oid,
                                   [](const VarBind& b, const Oid& o) { return b.oid < o; });
  return it != objects_.end() && it->oid == oid ? &*it : nullptr;
}

const VarBind* PrinterView::after(const Oid& oid) const {
  const auto it = std::upper_bound(objects_.begin(), objects_.end(), oid,
                                   [](const Oid& o, const VarBind& b) { return o < b.oid; });
  return it != objects_.end() ? &*it : nullptr;
}

AgentAnswer PrinterView::answer(const AgentRequest& request, qsizetype maxBytes) const {
  AgentAnswer out;
  const bool v1 = request.version == 1;
  auto fail = [&](long status, long index) {
    out.errorStatus = status;
    out.errorIndex = index;
    out.varBinds = request.varBinds;
    return out;
  };
  qsizetype bytes = 0;
  switch (request.kind) {
    case PduKind::Set:
      return fail(kGenErr, 0);  // planSet answers sets
    case PduKind::Get:
    case PduKind::GetNext:
      for (qsizetype i = 0; i < request.varBinds.size(); ++i) {
        const Oid& asked = request.varBinds.at(i).oid;
        const VarBind* found = request.kind == PduKind::Get ? find(asked) : after(asked);
        if (found) {
          out.varBinds << *found;
        } else if (v1) {
          return fail(kNoSuchName, long(i + 1));
        } else if (request.kind == PduKind::GetNext) {
          out.varBinds << VarBind{asked, Value::exception(Value::Kind::EndOfMibView)};
        } else {
          // An instance of a known object, or no such object at all.
          const VarBind* next = after(Oid(asked.begin(), asked.end() - (asked.empty() ? 0 : 1)));
          const bool known = next && asked.size() > 1 &&
                             startsWith(next->oid, Oid(asked.begin(), asked.end() - 1));
          out.varBinds << VarBind{asked, Value::exception(known ? Value::Kind::NoSuchInstance
                                                                : Value::Kind::NoSuchObject)};
        }
        bytes += encodedSize(out.varBinds.back());
      }
      if (bytes > maxBytes) return fail(kTooBig, 0);
      return out;
    case PduKind::GetBulk: {
      const qsizetype count = request.varBinds.size();
      const qsizetype nonRepeaters = std::clamp<qsizetype>(request.nonRepeaters, 0, count);
      const qsizetype repeaters = count - nonRepeaters;
      const qsizetype maxRepetitions = std::max<long>(request.maxRepetitions, 0);
      for (qsizetype i = 0; i < nonRepeaters; ++i) {
        const Oid& asked = request.varBinds.at(i).oid;
        const VarBind* found = after(asked);
        out.varBinds << (found ? *found
                               : VarBind{asked, Value::exception(Value::Kind::EndOfMibView)});
        bytes += encodedSize(out.varBinds.back());
      }
      if (bytes > maxBytes) return fail(kTooBig, 0);
      std::vector<Oid> last;
      for (qsizetype j = 0; j < repeaters; ++j)
        last.push_back(request.varBinds.at(nonRepeaters + j).oid);
      for (qsizetype r = 0; r < maxRepetitions && repeaters > 0; ++r) {
        QList<VarBind> row;
        qsizetype rowBytes = 0;
        bool any = false;
        for (qsizetype j = 0; j < repeaters; ++j) {
          const VarBind* found = after(last[std::size_t(j)]);
          if (found) {
            row << *found;
            last[std::size_t(j)] = found->oid;
            any = true;
          } else {
            row << VarBind{last[std::size_t(j)], Value::exception(Value::Kind::EndOfMibView)};
          }
          rowBytes += encodedSize(row.back());
        }
        // A repetition goes in whole or not at all, so a manager never sees half a row.
        if (bytes + rowBytes > maxBytes) break;
        out.varBinds << row;
        bytes += rowBytes;
        if (!any) break;  // every column is past the end: more repetitions would repeat that
      }
      return out;
    }
  }
  return out;
}

SetPlan planSet(const PrinterLayout& layout, const AgentRequest& request, qsizetype rows) {
  SetPlan plan;
  auto refuse = [&](long status, qsizetype index) {
    plan.answer.errorStatus = forVersion(status, request.version);
    plan.answer.errorIndex = long(index + 1);
    plan.answer.varBinds = request.varBinds;
    plan.cells.clear();
    return plan;
  };
  const Oid& entry = layout.trapDests.entry;
  for (qsizetype i = 0; i < request.varBinds.size(); ++i) {
    const VarBind& b = request.varBinds.at(i);
    // entry . column . row, nothing more.
    if (b.oid.size() != entry.size() + 2 || !startsWith(b.oid, entry)) {
      return refuse(kNotWritable, i);
    }
    const OidPart sub = b.oid[entry.size()];
    const OidPart row = b.oid[entry.size() + 1];
    const MibObject* c = nullptr;
    for (const MibObject& candidate : layout.trapDests.columns) {
      if (candidate.oid.back() == sub) c = &candidate;
    }
    if (!c || !c->writable) return refuse(kNotWritable, i);
    if (row < 1 || qsizetype(row) > rows) return refuse(kNoCreation, i);
    if (b.value.kind != c->kind) return refuse(kWrongType, i);
    QString text;
    if (c->kind == Value::Kind::OctetString) {
      if (b.value.bytes.size() > kMaxTextColumn) return refuse(kWrongLength, i);
      if (c->name == QLatin1String("staticTrapDestAddr") && !b.value.bytes.isEmpty() &&
          !isDottedIpv4(b.value.bytes)) {
        return refuse(kWrongValue, i);
      }
      text = QString::fromUtf8(b.value.bytes);
    } else if (!c->labels.isEmpty()) {
      if (!c->labels.contains(b.value.number)) return refuse(kWrongValue, i);
      text = c->labels.value(b.value.number);
    } else {
      // The port: the only plain integer column that may be written.
      if (b.value.number < 1 || b.value.number > 65535) return refuse(kWrongValue, i);
      text = QString::number(b.value.number);
    }
    plan.cells << TrapDestCell{c->name, qint64(row - 1), text};
  }
  plan.answer.varBinds = request.varBinds;
  return plan;
}

}  // namespace Zarvo::suite::snmp
