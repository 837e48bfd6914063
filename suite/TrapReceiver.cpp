#include "suite/TrapReceiver.h"

#include <arpa/inet.h>
#include <fcntl.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cerrno>
#include <mutex>

#include "framework/Log.h"
#include "suite/NetSnmpPdu.h"

namespace Zarvo::suite::snmp {

namespace {

const Oid kSysUpTime = {1, 3, 6, 1, 2, 1, 1, 3, 0};
const Oid kSnmpTrapOid = {1, 3, 6, 1, 6, 3, 1, 1, 4, 1, 0};
const Oid kSnmpTrapEnterprise = {1, 3, 6, 1, 6, 3, 1, 1, 4, 3, 0};
const Oid kSnmpTrapAddress = {1, 3, 6, 1, 6, 3, 18, 1, 3, 0};
const Oid kStandardTraps = {1, 3, 6, 1, 6, 3, 1, 1, 5};  // coldStart(1) .. egpNeighborLoss(6)

// Datagrams drained per wake-up, so a flood on the trap port cannot starve the printers.
constexpr int kBatch = 64;
// After the first few, a kind of bad datagram is logged once per this many.
constexpr quint64 kLogEvery = 100;

QString dotted(const u_char* address) {
  return QStringLiteral("%1.%2.%3.%4")
      .arg(address[0])
      .arg(address[1])
      .arg(address[2])
      .arg(address[3]);
}

bool shouldLog(quint64 count) { return count <= 3 || count % kLogEvery == 0; }

}  // namespace

DecodedTrap decodeTrap(const QByteArray& datagram, const QString& source) {
  DecodedTrap out;
  netsnmp_session session;
  snmp_sess_init(&session);
  session.version = SNMP_DEFAULT_VERSION;
  PduPtr pdu(snmp_pdu_create(0));
  // The library parses in place; it gets its own copy.
  QByteArray bytes = datagram;
  if (bytes.isEmpty() ||
      snmp_parse(nullptr, &session, pdu.get(), reinterpret_cast<u_char*>(bytes.data()),
                 size_t(bytes.size())) != SNMPERR_SUCCESS) {
    out.why = QStringLiteral("not a decodable SNMP message");
    return out;
  }
  DeviceTrap& t = out.trap;
  t.hostIp = source;
  t.destination = QString();
  t.community = QString::fromUtf8(reinterpret_cast<const char*>(pdu->community),
                                  pdu->community ? qsizetype(pdu->community_len) : 0);
  const QList<VarBind> bindings = varBinds(pdu.get());
  if (pdu->version == SNMP_VERSION_1 && pdu->command == SNMP_MSG_TRAP) {
    if (!pdu->enterprise || pdu->enterprise_length == 0) {
      out.why = QStringLiteral("an SNMPv1 trap without an enterprise");
      return out;
    }
    t.enterprise = oidText(toOid(pdu->enterprise, pdu->enterprise_length));
    t.generic = int(pdu->trap_type);
    t.specific = pdu->specific_type;
    const QString agent = dotted(pdu->agent_addr);
    if (agent != QLatin1String("0.0.0.0")) t.hostIp = agent;
    for (const VarBind& b : bindings) t.variables.append({oidText(b.oid), render(b.value)});
    out.verdict = TrapVerdict::Trap;
    return out;
  }
  if (pdu->version == SNMP_VERSION_2c && pdu->command == SNMP_MSG_TRAP2) {
    // sysUpTime.0 and snmpTrapOID.0 lead every notification.
    if (bindings.size() < 2 || bindings.at(0).oid != kSysUpTime ||
        bindings.at(1).oid != kSnmpTrapOid || bindings.at(1).value.kind != Value::Kind::ObjectId ||
        bindings.at(1).value.objectId.size() < 2) {
      out.why = QStringLiteral("a notification without sysUpTime.0 and snmpTrapOID.0");
      return out;
    }
    const Oid trapOid = bindings.at(1).value.objectId;
    QString enterprise;
    for (const VarBind& b : bindings.mid(2)) {
      if (b.oid == kSnmpTrapEnterprise && b.value.kind == Value::Kind::ObjectId) {
        enterprise = oidText(b.value.objectId);
      } else if (b.oid == kSnmpTrapAddress && b.value.kind == Value::Kind::IpAddress &&
                 b.value.bytes.size() == 4) {
        t.hostIp = render(b.value);
      } else {
        t.variables.append({oidText(b.oid), render(b.value)});
      }
    }
    if (trapOid.size() == kStandardTraps.size() + 1 && startsWith(trapOid, kStandardTraps) &&
        trapOid.back() >= 1 && trapOid.back() <= 6) {
      t.generic = int(trapOid.back()) - 1;
      t.specific = 0;
      t.enterprise = enterprise.isEmpty() ? oidText(kStandardTraps) : enterprise;
    } else {
      t.generic = 6;
      t.specific = qint64(trapOid.back());
      Oid prefix(trapOid.begin(), trapOid.end() - 1);
      if (prefix.size() > 1 && prefix.back() == 0) prefix.pop_back();
      t.enterprise = oidText(prefix);
    }
    out.verdict = TrapVerdict::Trap;
    return out;
  }
  out.verdict = TrapVerdict::Unsupported;
  out.why = pdu->version == SNMP_VERSION_3
                ? QStringLiteral("an SNMPv3 message")
                : QStringLiteral("an SNMP message of type 0x%1, no trap").arg(pdu->command, 0, 16);
  return out;
}

struct TrapReceiver::Loop {
  TrapReceiver* receiver = nullptr;  // null once stopped
  int socket = -1;

  void read();
};

void TrapReceiver::Loop::read() {
  if (!receiver) return;
  QByteArray buffer(65536, Qt::Uninitialized);
  for (int i = 0; i < kBatch; ++i) {
    sockaddr_in from{};
    socklen_t length = sizeof from;
    const ssize_t n = ::recvfrom(socket, buffer.data(), size_t(buffer.size()), MSG_DONTWAIT,
                                 reinterpret_cast<sockaddr*>(&from), &length);
    if (n < 0) return;  // drained (or an error the next datagram will not have)
    char text[INET_ADDRSTRLEN] = {};
    ::inet_ntop(AF_INET, &from.sin_addr, text, sizeof text);
    const QString source = QString::fromLatin1(text);
    const DecodedTrap decoded = decodeTrap(buffer.left(n), source);
    const bool known =
        decoded.verdict == TrapVerdict::Trap && receiver->isDevice_(decoded.trap.hostIp);
    Counters now;
    {
      std::lock_guard<std::mutex> lock(receiver->countersMutex_);
      Counters& c = receiver->counters_;
      ++c.received;
      switch (decoded.verdict) {
        case TrapVerdict::Malformed:
          ++c.malformed;
          break;
        case TrapVerdict::Unsupported:
          ++c.unsupported;
          break;
        case TrapVerdict::Trap:
          ++(known ? c.forwarded : c.unknownSource);
          break;
      }
      now = c;
    }
    switch (decoded.verdict) {
      case TrapVerdict::Malformed:
        if (shouldLog(now.malformed)) {
          ZLOG("info") << "Trap port: dropped a datagram of " << qint64(n) << " bytes from "
                       << source << " (" << decoded.why << "), " << now.malformed << " so far";
        }
        break;
      case TrapVerdict::Unsupported:
        if (shouldLog(now.unsupported)) {
          ZLOG("info") << "Trap port: dropped " << decoded.why << " from " << source << ", "
                       << now.unsupported << " so far";
        }
        break;
      case TrapVerdict::Trap:
        if (known) {
          receiver->sink_.sendTrap(decoded.trap);
        } else if (shouldLog(now.unknownSource)) {
          ZLOG("warning") << "Trap of " << decoded.trap.hostIp << " (from " << source
                          << ") not forwarded: no device of the device management service, "
                          << now.unknownSource << " so far";
        }
        break;
    }
  }
}

TrapReceiver::TrapReceiver(SnmpEngine& engine, std::function<bool(const QString&)> isDevice,
                           TrapSink& sink)
    : engine_(engine), isDevice_(std::move(isDevice)), sink_(sink) {}

TrapReceiver::~TrapReceiver() { stop(); }

bool TrapReceiver::start(const QString& address, quint16 port, QString* error) {
  stop();
  sockaddr_in a{};
  a.sin_family = AF_INET;
  a.sin_port = htons(port);
  if (::inet_pton(AF_INET, address.toLatin1().constData(), &a.sin_addr) != 1) {
    *error = QStringLiteral("trap address \"%1\" is no IPv4 address").arg(address);
    return false;
  }
  const int fd = ::socket(AF_INET, SOCK_DGRAM | SOCK_CLOEXEC | SOCK_NONBLOCK, 0);
  if (fd < 0 || ::bind(fd, reinterpret_cast<sockaddr*>(&a), sizeof a) != 0) {
    *error = QStringLiteral("cannot listen for traps on %1:%2: %3")
                 .arg(address)
                 .arg(port)
                 .arg(QString::fromLocal8Bit(strerror(errno)));
    if (fd >= 0) ::close(fd);
    return false;
  }
  socklen_t length = sizeof a;
  ::getsockname(fd, reinterpret_cast<sockaddr*>(&a), &length);
  auto loop = std::make_shared<Loop>();
  loop->receiver = this;
  loop->socket = fd;
  if (!engine_.call([&] { engine_.watch(fd, [loop] { loop->read(); }); })) {
    ::close(fd);
    *error = QStringLiteral("the SNMP engine has stopped");
    return false;
  }
  loop_ = loop;
  port_ = ntohs(a.sin_port);
  return true;
}

void TrapReceiver::stop() {
  std::shared_ptr<Loop> loop = std::move(loop_);
  if (!loop) return;
  engine_.call([&] {
    engine_.unwatch(loop->socket);
    loop->receiver = nullptr;
  });
  ::close(loop->socket);
  port_ = 0;
}

TrapReceiver::Counters TrapReceiver::counters() const {
  std::lock_guard<std::mutex> lock(countersMutex_);
  return counters_;
}

}  // namespace Zarvo::suite::snmp
