#include "suite/NetSnmp.h"

#include <QHostAddress>
#include <mutex>
#include <set>

#include "framework/Log.h"
#include "suite/NetSnmpPdu.h"

namespace Zarvo::suite::snmp {

// ---------------------------------------------------------------------------------------------
// Identifiers

std::optional<Oid> parseOid(const QString& text) {
  QString t = text.trimmed();
  if (t.startsWith('.')) t.remove(0, 1);
  if (t.isEmpty()) return std::nullopt;
  Oid out;
  for (const QString& part : t.split('.')) {
    bool ok = false;
    const qulonglong v = part.toULongLong(&ok);
    if (!ok || part.isEmpty() || !part.at(0).isDigit() || v > 0xffffffffULL) return std::nullopt;
    out.push_back(OidPart(v));
  }
  if (out.size() > MAX_OID_LEN) return std::nullopt;
  return out;
}

QString oidText(const Oid& oid) {
  QString out;
  for (OidPart p : oid) out += '.' + QString::number(p);
  return out;
}

bool startsWith(const Oid& oid, const Oid& prefix) {
  return oid.size() >= prefix.size() && std::equal(prefix.begin(), prefix.end(), oid.begin());
}

Oid operator+(Oid oid, const Oid& suffix) {
  oid.insert(oid.end(), suffix.begin(), suffix.end());
  return oid;
}

Oid operator+(Oid oid, OidPart part) {
  oid.push_back(part);
  return oid;
}

// ---------------------------------------------------------------------------------------------
// Values

QString render(const Value& value, const QMap<qint64, QString>& labels) {
  using K = Value::Kind;
  switch (value.kind) {
    case K::Integer:
      return labels.value(value.number, QString::number(value.number));
    case K::Counter32:
    case K::Gauge32:
    case K::TimeTicks:
    case K::Counter64:
      return QString::number(value.number);
    case K::OctetString:
    case K::Opaque:
      return QString::fromUtf8(value.bytes);
    case K::IpAddress:
      if (value.bytes.size() != 4) return QString();
      return QStringLiteral("%1.%2.%3.%4")
          .arg(quint8(value.bytes[0]))
          .arg(quint8(value.bytes[1]))
          .arg(quint8(value.bytes[2]))
          .arg(quint8(value.bytes[3]));
    case K::ObjectId:
      return oidText(value.objectId);
    case K::Null:
    case K::NoSuchObject:
    case K::NoSuchInstance:
    case K::EndOfMibView:
      return QString();
  }
  return QString();
}

std::optional<Value> fromText(const MibObject& column, const QString& text) {
  using K = Value::Kind;
  switch (column.kind) {
    case K::Integer: {
      for (auto it = column.labels.begin(); it != column.labels.end(); ++it) {
        if (it.value() == text) return Value::integer(it.key());
      }
      bool ok = false;
      const qint64 v = text.trimmed().toLongLong(&ok);
      if (!ok || v < INT32_MIN || v > INT32_MAX) return std::nullopt;
      if (!column.labels.isEmpty() && !column.labels.contains(v)) return std::nullopt;
      return Value::integer(v);
    }
    case K::Counter32:
    case K::Gauge32:
    case K::TimeTicks: {
      bool ok = false;
      const qulonglong v = text.trimmed().toULongLong(&ok);
      if (!ok || v > 0xffffffffULL) return std::nullopt;
      return Value{column.kind, qint64(v), {}, {}};
    }
    case K::OctetString:
    case K::Opaque:
      return Value{column.kind, 0, text.toUtf8(), {}};
    case K::IpAddress: {
      QHostAddress a;
      if (text.count('.') != 3 || !a.setAddress(text) ||
          a.protocol() != QAbstractSocket::IPv4Protocol) {
        return std::nullopt;
      }
      const quint32 v = a.toIPv4Address();
      QByteArray b(4, '\0');
      for (int i = 0; i < 4; ++i) b[i] = char((v >> (24 - 8 * i)) & 0xff);
      return Value{K::IpAddress, 0, b, {}};
    }
    case K::ObjectId: {
      const auto id = parseOid(text);
      if (!id) return std::nullopt;
      return Value{K::ObjectId, 0, {}, *id};
    }
    default:
      return std::nullopt;
  }
}

// ---------------------------------------------------------------------------------------------
// The library

namespace {

std::mutex& libraryMutex() {
  static std::mutex m;
  return m;
}

// While a MIB module is read, the library's complaints are kept to explain a failure.
QStringList* mibMessages = nullptr;  // guarded by libraryMutex()

int onLibraryLog(int, int, void* serverArg, void*) {
  const auto* message = static_cast<const snmp_log_message*>(serverArg);
  if (!message || !message->msg) return 0;
  const QString text = QString::fromUtf8(message->msg).trimmed();
  if (text.isEmpty()) return 0;
  if (mibMessages) {
    mibMessages->append(text);
    return 0;
  }
  ZLOG("info") << "net-snmp: " << text;
  return 0;
}

Value::Kind kindOfTreeType(int type) {
  using K = Value::Kind;
  switch (type) {
    case TYPE_INTEGER:
    case TYPE_INTEGER32:
      return K::Integer;
    case TYPE_OCTETSTR:
      return K::OctetString;
    case TYPE_OBJID:
      return K::ObjectId;
    case TYPE_IPADDR:
      return K::IpAddress;
    case TYPE_COUNTER:
      return K::Counter32;
    case TYPE_GAUGE:
    case TYPE_UNSIGNED32:
      return K::Gauge32;
    case TYPE_TIMETICKS:
      return K::TimeTicks;
    case TYPE_COUNTER64:
      return K::Counter64;
    case TYPE_OPAQUE:
      return K::Opaque;
    default:
      return K::Null;
  }
}

bool readable(int access) {
  return access == MIB_ACCESS_READONLY || access == MIB_ACCESS_READWRITE ||
         access == MIB_ACCESS_CREATE;
}

bool writable(int access) {
  return access == MIB_ACCESS_READWRITE || access == MIB_ACCESS_CREATE ||
         access == MIB_ACCESS_WRITEONLY;
}

Oid oidOf(const tree* node) {
  Oid out;
  for (const tree* n = node; n; n = n->parent) out.insert(out.begin(), n->subid);
  return out;
}

bool inModule(const tree* node, int modid) {
  if (node->modid == modid) return true;
  for (int i = 0; i < node->number_modules; ++i) {
    if (node->module_list && node->module_list[i] == modid) return true;
  }
  return false;
}

// The module's named nodes. A module that spells its root out from "iso" also makes nameless
// nodes on the way ("anonymous#0" for org...); they are no objects of its own.
void collect(tree* node, int modid, std::vector<tree*>* out) {
  for (tree* n = node; n; n = n->next_peer) {
    if (inModule(n, modid) && n->label && strncmp(n->label, "anonymous#", 10) != 0) {
      out->push_back(n);
    }
    collect(n->child_list, modid, out);
  }
}

}  // namespace

void initialiseNetSnmp() {
  static std::once_flag once;
  std::call_once(once, [] {
    // The host's snmp.conf, its persistent files and its default MIB list are for the host's own
    // tools: the suite reads none of them and writes nothing under /var/lib/snmp.
    netsnmp_ds_set_boolean(NETSNMP_DS_LIBRARY_ID, NETSNMP_DS_LIB_DONT_READ_CONFIGS, 1);
    netsnmp_ds_set_boolean(NETSNMP_DS_LIBRARY_ID, NETSNMP_DS_LIB_DISABLE_PERSISTENT_LOAD, 1);
    netsnmp_ds_set_boolean(NETSNMP_DS_LIBRARY_ID, NETSNMP_DS_LIB_DISABLE_PERSISTENT_SAVE, 1);
    netsnmp_ds_set_boolean(NETSNMP_DS_LIBRARY_ID, NETSNMP_DS_LIB_DONT_PERSIST_STATE, 1);
    static char noModules[] = "mibs :";  // the library keeps a copy
    netsnmp_config_remember(noModules);
    snmp_disable_log();
    snmp_register_callback(SNMP_CALLBACK_LIBRARY, SNMP_CALLBACK_LOGGING, onLibraryLog, nullptr);
    netsnmp_register_loghandler(NETSNMP_LOGHANDLER_CALLBACK, LOG_DEBUG);
    init_snmp("zarvo-suite");
    // Encoded bytes always end the build buffer (see encodeCommunityPdu).
    netsnmp_ds_set_boolean(NETSNMP_DS_LIBRARY_ID, NETSNMP_DS_LIB_REVERSE_ENCODE, 1);
  });
}

std::unique_ptr<SnmpMib> SnmpMib::load(const QString& directory, const QString& module,
                                       const QString& arc, QString* error) {
  initialiseNetSnmp();
  std::optional<Oid> arcOid;
  if (!arc.isEmpty()) {
    arcOid = parseOid(arc);
    if (!arcOid) {
      *error = QStringLiteral("enterprise arc \"%1\" is no object identifier").arg(arc);
      return nullptr;
    }
  }
  std::lock_guard<std::mutex> lock(libraryMutex());
  QStringList messages;
  mibMessages = &messages;
  const QByteArray dir = directory.toLocal8Bit();
  add_mibdir(dir.constData());
  tree* top = netsnmp_read_module(module.toLatin1().constData());
  const int modid = which_module(module.toLatin1().constData());
  mibMessages = nullptr;
  if (!top || modid < 0) {
    *error = QStringLiteral("cannot load MIB module %1 from %2%3")
                 .arg(module, directory,
                      messages.isEmpty() ? QString() : ": " + messages.join(QLatin1String("; ")));
    return nullptr;
  }
  std::vector<tree*> nodes;
  collect(get_tree_head(), modid, &nodes);
  if (nodes.empty()) {
    *error = QStringLiteral("MIB module %1 defines no objects").arg(module);
    return nullptr;
  }
  auto mib = std::make_unique<SnmpMib>();
  // The module's root: its shortest identifier (every other one hangs under it).
  Oid moduleRoot = oidOf(nodes.front());
  for (tree* n : nodes) {
    const Oid id = oidOf(n);
    if (id.size() < moduleRoot.size()) moduleRoot = id;
  }
  auto rooted = [&](const Oid& id) {
    if (!arcOid || !startsWith(id, moduleRoot)) return id;
    return *arcOid + Oid(id.begin() + long(moduleRoot.size()), id.end());
  };
  mib->root_ = rooted(moduleRoot);
  for (tree* n : nodes) {
    MibObject o;
    o.name = QString::fromLatin1(n->label);
    o.oid = rooted(oidOf(n));
    o.kind = kindOfTreeType(n->type);
    o.writable = writable(n->access);
    for (const enum_list* e = n->enums; e; e = e->next) {
      o.labels.insert(e->value, QString::fromLatin1(e->label));
    }
    mib->objects_.insert(o.name, o);
    // A table is a node whose one child is an entry with an index.
    const tree* entry = n->child_list;
    if (entry && !entry->next_peer && entry->indexes && entry->subid == 1) {
      MibTable t;
      t.name = o.name;
      t.entry = o.oid + OidPart(1);
      std::vector<const tree*> columns;
      for (const tree* c = entry->child_list; c; c = c->next_peer) {
        if (readable(c->access)) columns.push_back(c);
      }
      std::sort(columns.begin(), columns.end(),
                [](const tree* a, const tree* b) { return a->subid < b->subid; });
      for (const tree* c : columns) {
        MibObject column;
        column.name = QString::fromLatin1(c->label);
        column.oid = t.entry + c->subid;
        column.kind = kindOfTreeType(c->type);
        column.writable = writable(c->access);
        for (const enum_list* e = c->enums; e; e = e->next) {
          column.labels.insert(e->value, QString::fromLatin1(e->label));
        }
        t.columns << column;
      }
      mib->tables_.insert(t.name, t);
    }
  }
  return mib;
}

std::optional<MibTable> SnmpMib::table(const QString& name) const {
  const auto it = tables_.find(name);
  if (it == tables_.end()) return std::nullopt;
  return *it;
}

std::optional<MibObject> SnmpMib::object(const QString& name) const {
  const auto it = objects_.find(name);
  if (it == objects_.end()) return std::nullopt;
  return *it;
}

// ---------------------------------------------------------------------------------------------
// Library types

Oid toOid(const oid* name, size_t length) { return Oid(name, name + length); }

Value toValue(const netsnmp_variable_list* v) {
  using K = Value::Kind;
  Value out;
  switch (v->type) {
    case ASN_INTEGER:
      out.kind = K::Integer;
      out.number = v->val.integer ? *v->val.integer : 0;
      break;
    case ASN_COUNTER:
    case ASN_GAUGE:
    case ASN_TIMETICKS:
      out.kind = v->type == ASN_COUNTER ? K::Counter32
                 : v->type == ASN_GAUGE ? K::Gauge32
                                        : K::TimeTicks;
      out.number = v->val.integer ? qint64(quint32(*v->val.integer)) : 0;
      break;
    case ASN_COUNTER64:
      out.kind = K::Counter64;
      if (v->val.counter64) {
        out.number = qint64((quint64(v->val.counter64->high) << 32) | v->val.counter64->low);
      }
      break;
    case ASN_OCTET_STR:
    case ASN_OPAQUE:
    case ASN_IPADDRESS:
      out.kind = v->type == ASN_OCTET_STR ? K::OctetString
                 : v->type == ASN_OPAQUE  ? K::Opaque
                                          : K::IpAddress;
      if (v->val.string)
        out.bytes = QByteArray(reinterpret_cast<const char*>(v->val.string), qsizetype(v->val_len));
      break;
    case ASN_OBJECT_ID:
      out.kind = K::ObjectId;
      if (v->val.objid) out.objectId = toOid(v->val.objid, v->val_len / sizeof(oid));
      break;
    case SNMP_NOSUCHOBJECT:
      out.kind = K::NoSuchObject;
      break;
    case SNMP_NOSUCHINSTANCE:
      out.kind = K::NoSuchInstance;
      break;
    case SNMP_ENDOFMIBVIEW:
      out.kind = K::EndOfMibView;
      break;
    default:
      out.kind = K::Null;
      break;
  }
  return out;
}

VarBind toVarBind(const netsnmp_variable_list* v) {
  return VarBind{toOid(v->name, v->name_length), toValue(v)};
}

QList<VarBind> varBinds(const netsnmp_pdu* pdu) {
  QList<VarBind> out;
  for (const netsnmp_variable_list* v = pdu->variables; v; v = v->next_variable) {
    out << toVarBind(v);
  }
  return out;
}

void addVarBind(netsnmp_pdu* pdu, const VarBind& b) {
  using K = Value::Kind;
  const Oid& name = b.oid;
  const Value& v = b.value;
  switch (v.kind) {
    case K::Integer: {
      const long n = long(v.number);
      snmp_pdu_add_variable(pdu, name.data(), name.size(), ASN_INTEGER, &n, sizeof n);
      break;
    }
    case K::Counter32:
    case K::Gauge32:
    case K::TimeTicks: {
      const u_long n = u_long(quint32(v.number));
      const u_char type = v.kind == K::Counter32 ? ASN_COUNTER
                          : v.kind == K::Gauge32 ? ASN_GAUGE
                                                 : ASN_TIMETICKS;
      snmp_pdu_add_variable(pdu, name.data(), name.size(), type, &n, sizeof n);
      break;
    }
    case K::Counter64: {
      counter64 c{};
      c.high = u_long(quint64(v.number) >> 32);
      c.low = u_long(quint64(v.number) & 0xffffffffULL);
      snmp_pdu_add_variable(pdu, name.data(), name.size(), ASN_COUNTER64, &c, sizeof c);
      break;
    }
    case K::OctetString:
    case K::Opaque:
    case K::IpAddress: {
      const u_char type = v.kind == K::OctetString ? ASN_OCTET_STR
                          : v.kind == K::Opaque    ? ASN_OPAQUE
                                                   : ASN_IPADDRESS;
      snmp_pdu_add_variable(pdu, name.data(), name.size(), type, v.bytes.constData(),
                            size_t(v.bytes.size()));
      break;
    }
    case K::ObjectId:
      snmp_pdu_add_variable(pdu, name.data(), name.size(), ASN_OBJECT_ID, v.objectId.data(),
                            v.objectId.size() * sizeof(oid));
      break;
    case K::NoSuchObject:
      snmp_pdu_add_variable(pdu, name.data(), name.size(), SNMP_NOSUCHOBJECT, nullptr, 0);
      break;
    case K::NoSuchInstance:
      snmp_pdu_add_variable(pdu, name.data(), name.size(), SNMP_NOSUCHINSTANCE, nullptr, 0);
      break;
    case K::EndOfMibView:
      snmp_pdu_add_variable(pdu, name.data(), name.size(), SNMP_ENDOFMIBVIEW, nullptr, 0);
      break;
    case K::Null:
      snmp_add_null_var(pdu, name.data(), name.size());
      break;
  }
}

QByteArray encodeCommunityPdu(netsnmp_pdu* pdu, const QByteArray& community) {
  netsnmp_session session;
  snmp_sess_init(&session);
  session.version = pdu->version;
  QByteArray c = community;
  session.community = reinterpret_cast<u_char*>(c.data());
  session.community_len = size_t(c.size());
  size_t length = 1024;
  size_t offset = 0;
  auto* buffer = static_cast<u_char*>(malloc(length));
  if (!buffer) return QByteArray();
  QByteArray out;
  // With reverse encoding (set at start) the message ends the buffer, `offset` bytes long; the
  // library grows the buffer as it needs.
  if (snmp_build(&buffer, &length, &offset, &session, pdu) == 0 && offset <= length) {
    out = QByteArray(reinterpret_cast<const char*>(buffer + length - offset), qsizetype(offset));
  }
  free(buffer);
  return out;
}

namespace {
QByteArray bytes(const u_char* p, size_t n) {
  return QByteArray(reinterpret_cast<const char*>(p), qsizetype(n));
}
u_char* copyOf(const QByteArray& b) {
  auto* out = static_cast<u_char*>(malloc(std::max<size_t>(1, size_t(b.size()))));
  if (out) memcpy(out, b.constData(), size_t(b.size()));
  return out;
}
}  // namespace

std::optional<UsmKeys> localisedKeys(const UsmCredentials& c, const QByteArray& engineId,
                                     QString* error) {
  UsmKeys keys;
  if (c.level < 1) {
    keys.authProtocol = Oid(usmNoAuthProtocol, usmNoAuthProtocol + USM_AUTH_PROTO_NOAUTH_LEN);
    keys.privProtocol = Oid(usmNoPrivProtocol, usmNoPrivProtocol + USM_PRIV_PROTO_NOPRIV_LEN);
    return keys;
  }
  keys.authProtocol =
      c.sha ? Oid(usmHMACSHA1AuthProtocol, usmHMACSHA1AuthProtocol + USM_AUTH_PROTO_SHA_LEN)
            : Oid(usmHMACMD5AuthProtocol, usmHMACMD5AuthProtocol + USM_AUTH_PROTO_MD5_LEN);
  auto localise = [&](const QByteArray& pass, QByteArray* out) {
    if (pass.size() < USM_LENGTH_P_MIN) {
      *error = QStringLiteral("the pass phrase of SNMPv3 user %1 is shorter than %2 characters")
                   .arg(QString::fromUtf8(c.user))
                   .arg(USM_LENGTH_P_MIN);
      return false;
    }
    u_char ku[SNMP_MAXBUF_SMALL];
    size_t kuLength = sizeof ku;
    QByteArray p = pass;
    if (generate_Ku(keys.authProtocol.data(), u_int(keys.authProtocol.size()),
                    reinterpret_cast<u_char*>(p.data()), size_t(p.size()), ku,
                    &kuLength) != SNMPERR_SUCCESS) {
      *error = QStringLiteral("no key for SNMPv3 user %1").arg(QString::fromUtf8(c.user));
      return false;
    }
    u_char kul[SNMP_MAXBUF_SMALL];
    size_t kulLength = sizeof kul;
    QByteArray e = engineId;
    if (generate_kul(keys.authProtocol.data(), u_int(keys.authProtocol.size()),
                     reinterpret_cast<u_char*>(e.data()), size_t(e.size()), ku, kuLength, kul,
                     &kulLength) != SNMPERR_SUCCESS) {
      *error = QStringLiteral("no key for SNMPv3 user %1").arg(QString::fromUtf8(c.user));
      return false;
    }
    *out = bytes(kul, kulLength);
    return true;
  };
  if (!localise(c.authPass, &keys.authKey)) return std::nullopt;
  if (c.level < 2) {
    keys.privProtocol = Oid(usmNoPrivProtocol, usmNoPrivProtocol + USM_PRIV_PROTO_NOPRIV_LEN);
    return keys;
  }
  keys.privProtocol = c.privacy == PrivacyProtocol::Des
                          ? Oid(usmDESPrivProtocol, usmDESPrivProtocol + USM_PRIV_PROTO_DES_LEN)
                          : Oid(usmAESPrivProtocol, usmAESPrivProtocol + USM_PRIV_PROTO_AES_LEN);
  if (!localise(c.privPass, &keys.privKey)) return std::nullopt;
  keys.privKey.truncate(16);  // DES and AES-128 take the first 16 octets
  return keys;
}

usmUser* findUser(const QByteArray& engineId, const QByteArray& name) {
  QByteArray e = engineId;
  return usm_get_user(reinterpret_cast<u_char*>(e.data()), size_t(e.size()),
                      name.isEmpty() ? const_cast<char*>("") : QByteArray(name).data());
}

bool holdsKeys(const usmUser* u, const UsmKeys& k, int level) {
  auto same = [](const oid* p, size_t n, const Oid& o) { return (p ? Oid(p, p + n) : Oid()) == o; };
  auto key = [](const u_char* p, size_t n) { return p ? bytes(p, n) : QByteArray(); };
  const bool auth = same(u->authProtocol, u->authProtocolLen, k.authProtocol) &&
                    key(u->authKey, u->authKeyLen) == k.authKey;
  const bool priv = same(u->privProtocol, u->privProtocolLen, k.privProtocol) &&
                    key(u->privKey, u->privKeyLen) == k.privKey;
  return level < 1 || (auth && (level < 2 || priv));
}

void addUser(const QByteArray& engineId, const QByteArray& name, const UsmKeys& k) {
  usmUser* u = usm_create_user();
  if (!u) return;
  u->name = strdup(name.constData());
  u->secName = strdup(name.constData());
  u->engineID = copyOf(engineId);
  u->engineIDLen = size_t(engineId.size());
  SNMP_FREE(u->authProtocol);
  u->authProtocol = snmp_duplicate_objid(k.authProtocol.data(), k.authProtocol.size());
  u->authProtocolLen = k.authProtocol.size();
  SNMP_FREE(u->privProtocol);
  u->privProtocol = snmp_duplicate_objid(k.privProtocol.data(), k.privProtocol.size());
  u->privProtocolLen = k.privProtocol.size();
  if (!k.authKey.isEmpty()) {
    u->authKey = copyOf(k.authKey);
    u->authKeyLen = size_t(k.authKey.size());
  }
  if (!k.privKey.isEmpty()) {
    u->privKey = copyOf(k.privKey);
    u->privKeyLen = size_t(k.privKey.size());
  }
  u->userStatus = RS_ACTIVE;
  u->userStorageType = ST_READONLY;
  usm_add_user(u);
}

void dropUser(usmUser* user) {
  usm_remove_user(user);
  usm_free_user(user);
}

QByteArray localEngineId() {
  u_char id[SNMP_MAXBUF_SMALL];
  const size_t n = snmpv3_get_engineID(id, sizeof id);
  return bytes(id, n);
}

QByteArray errorStatusName(long status) {
  static const char* const kNames[] = {"noError",
                                       "tooBig",
                                       "noSuchName",
                                       "badValue",
                                       "readOnly",
                                       "genErr",
                                       "noAccess",
                                       "wrongType",
                                       "wrongLength",
                                       "wrongEncoding",
                                       "wrongValue",
                                       "noCreation",
                                       "inconsistentValue",
                                       "resourceUnavailable",
                                       "commitFailed",
                                       "undoFailed",
                                       "authorizationError",
                                       "notWritable",
                                       "inconsistentName"};
  if (status >= 0 && status < long(sizeof kNames / sizeof *kNames)) return kNames[status];
  return "error " + QByteArray::number(qint64(status));
}

}  // namespace Zarvo::suite::snmp
