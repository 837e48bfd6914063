#include "suite/PrinterAgent.h"

#include <arpa/inet.h>
#include <netinet/in.h>
#include <sys/socket.h>

#include "framework/Log.h"
#include "suite/NetSnmpPdu.h"

namespace Zarvo::suite::snmp {

namespace {

// The largest answer a printer sends: a UDP datagram, less room for the SNMPv3 header.
constexpr qsizetype kMaxAnswer = 60000;
constexpr qsizetype kHeaderRoom = 300;

const Oid kSysUpTime = {1, 3, 6, 1, 2, 1, 1, 3, 0};

}  // namespace

UsmCredentials usmCredentialsOf(const DeviceSetup& d, PrivacyProtocol privacy) {
  UsmCredentials c;
  c.user = d.userName.toUtf8();
  c.level = d.securityLevel == QLatin1String("AuthenticationEncryption") ? 2
            : d.securityLevel == QLatin1String("Authentication")         ? 1
                                                                         : 0;
  c.sha = d.authMethod != QLatin1String("MD5");
  c.authPass = d.authPass.toUtf8();
  c.privPass = d.privacyPass.toUtf8();
  c.privacy = privacy;
  return c;
}

namespace {

int securityLevelOf(int level) {
  return level == 2   ? SNMP_SEC_LEVEL_AUTHPRIV
         : level == 1 ? SNMP_SEC_LEVEL_AUTHNOPRIV
                      : SNMP_SEC_LEVEL_NOAUTH;
}

}  // namespace

struct PrinterAgent::Loop {
  PrinterAgent* agent = nullptr;  // null once the agent stops
  void* session = nullptr;
  int socket = -1;
  std::shared_ptr<const PrinterView> view;
  quint64 viewRevision = 0;
  std::chrono::steady_clock::time_point started = std::chrono::steady_clock::now();

  static int onMessage(int op, netsnmp_session*, int, netsnmp_pdu* pdu, void* magic);
  void handle(netsnmp_pdu* pdu);
  bool allowed(const netsnmp_pdu* pdu, bool write) const;
  const PrinterView& currentView();
};

int PrinterAgent::Loop::onMessage(int op, netsnmp_session*, int, netsnmp_pdu* pdu, void* magic) {
  auto* loop = static_cast<Loop*>(magic);
  if (op == NETSNMP_CALLBACK_OP_RECEIVED_MESSAGE && loop && loop->agent && pdu) loop->handle(pdu);
  return 1;
}

bool PrinterAgent::Loop::allowed(const netsnmp_pdu* pdu, bool write) const {
  const DeviceSetup& d = agent->setup_;
  if (pdu->version == SNMP_VERSION_3) {
    const QByteArray user(pdu->securityName, qsizetype(pdu->securityNameLen));
    const int required = securityLevelOf(usmCredentialsOf(d, agent->context_.privacy).level);
    return !d.userName.isEmpty() && user == d.userName.toUtf8() && pdu->securityLevel >= required;
  }
  const QByteArray community(reinterpret_cast<const char*>(pdu->community),
                             pdu->community ? qsizetype(pdu->community_len) : 0);
  if (community == d.writeCommunity.toUtf8()) return true;
  return !write && community == d.community.toUtf8();
}

const PrinterView& PrinterAgent::Loop::currentView() {
  const quint64 revision = agent->state_.revision();
  if (!view || revision != viewRevision) {
    view = std::make_shared<PrinterView>(
        agent->context_.layout, agent->setup_, agent->state_.fileStorageTable(),
        agent->state_.trapDests(), agent->context_.trapPort.load());
    viewRevision = revision;
  }
  return *view;
}

void PrinterAgent::Loop::handle(netsnmp_pdu* pdu) {
  PrinterAgent& a = *agent;
  AgentRequest request;
  switch (pdu->command) {
    case SNMP_MSG_GET:
      request.kind = PduKind::Get;
      break;
    case SNMP_MSG_GETNEXT:
      request.kind = PduKind::GetNext;
      break;
    case SNMP_MSG_GETBULK:
      request.kind = PduKind::GetBulk;
      break;
    case SNMP_MSG_SET:
      request.kind = PduKind::Set;
      break;
    default:
      ++a.refused_;  // traps, responses, reports: nothing a printer answers
      return;
  }
  if (a.muted_() || !allowed(pdu, request.kind == PduKind::Set)) {
    ++a.refused_;
    return;
  }
  request.version = pdu->version == SNMP_VERSION_1 ? 1 : pdu->version == SNMP_VERSION_2c ? 2 : 3;
  if (request.kind == PduKind::GetBulk) {
    request.nonRepeaters = pdu->non_repeaters;
    request.maxRepetitions = pdu->max_repetitions;
  }
  request.varBinds = varBinds(pdu);

  AgentAnswer answer;
  if (request.kind == PduKind::Set) {
    const SetPlan plan = planSet(a.context_.layout, request, a.state_.trapDests().size());
    answer = plan.answer;
    QString error;
    if (answer.errorStatus == kNoError && !plan.cells.isEmpty() &&
        !a.state_.writeTrapDest(plan.cells, &error)) {
      // The table changed size between the check and the write: refuse as a whole.
      answer.errorStatus = request.version == 1 ? kBadValue : kWrongValue;
      answer.errorIndex = 1;
    } else if (answer.errorStatus == kNoError) {
      ZLOG("info") << "Device " << a.setup_.address << ": SNMP set of " << plan.cells.size()
                   << " trap destination cells";
    }
  } else {
    qsizetype budget = kMaxAnswer;
    if (pdu->version == SNMP_VERSION_3 && pdu->msgMaxSize > 0) {
      budget = std::min<qsizetype>(budget, qsizetype(pdu->msgMaxSize));
    }
    answer = currentView().answer(request, budget - kHeaderRoom);
    const long ticks = long(std::chrono::duration_cast<std::chrono::milliseconds>(
                                std::chrono::steady_clock::now() - started)
                                .count() /
                            10);
    for (VarBind& b : answer.varBinds) {
      if (b.oid == kSysUpTime && b.value.kind == Value::Kind::TimeTicks) b.value.number = ticks;
    }
  }

  netsnmp_pdu* response = snmp_clone_pdu(pdu);
  if (!response) return;
  snmp_free_varbind(response->variables);
  response->variables = nullptr;
  response->command = SNMP_MSG_RESPONSE;
  response->errstat = answer.errorStatus;  // the same fields as a GETBULK's repetition counts
  response->errindex = answer.errorIndex;
  for (const VarBind& b : answer.varBinds) addVarBind(response, b);
  if (!snmp_sess_send(session, response)) {
    snmp_free_pdu(response);
    return;
  }
  ++a.answered_;
}

PrinterAgent::PrinterAgent(PrinterSnmpContext& context, DeviceSetup setup, DeviceState& state,
                           std::function<bool()> muted)
    : context_(context), setup_(std::move(setup)), state_(state), muted_(std::move(muted)) {}

PrinterAgent::~PrinterAgent() { stop(); }

bool PrinterAgent::start(QString* error) {
  stop();
  auto loop = std::make_shared<Loop>();
  loop->agent = this;
  bool ok = false;
  quint16 bound = 0;
  const bool ran = context_.engine.call([&] {
    if (!setup_.userName.isEmpty()) {
      const QByteArray engineId = localEngineId();
      const UsmCredentials credentials = usmCredentialsOf(setup_, context_.privacy);
      const auto keys = localisedKeys(credentials, engineId, error);
      if (!keys) return;
      // One engine answers for every printer: a user already known (from another printer of
      // the fleet, which checked its keys are the same) is kept.
      if (!findUser(engineId, credentials.user)) addUser(engineId, credentials.user, *keys);
    }
    const QByteArray endpoint =
        "udp:" + setup_.address.toLatin1() + ':' + QByteArray::number(setup_.snmpPort);
    netsnmp_transport* transport =
        netsnmp_transport_open_server("zarvo-suite", endpoint.constData());
    if (!transport) {
      *error = QStringLiteral("cannot listen for SNMP on %1").arg(QString::fromLatin1(endpoint));
      return;
    }
    netsnmp_session s;
    snmp_sess_init(&s);
    s.isAuthoritative = SNMP_SESS_AUTHORITATIVE;
    s.callback = &Loop::onMessage;
    s.callback_magic = loop.get();
    void* session = snmp_sess_add(&s, transport, nullptr, nullptr);
    if (!session) {
      *error =
          QStringLiteral("cannot open the SNMP session on %1").arg(QString::fromLatin1(endpoint));
      return;
    }
    loop->session = session;
    loop->socket = transport->sock;
    sockaddr_in a{};
    socklen_t length = sizeof a;
    if (::getsockname(transport->sock, reinterpret_cast<sockaddr*>(&a), &length) == 0) {
      bound = ntohs(a.sin_port);
    }
    context_.engine.addSession(session, false);
    ok = true;
  });
  if (!ran) {
    *error = QStringLiteral("the SNMP engine has stopped");
    return false;
  }
  if (!ok) return false;
  loop_ = loop;
  port_ = bound;
  return true;
}

void PrinterAgent::stop() {
  std::shared_ptr<Loop> loop = std::move(loop_);
  if (!loop) return;
  // On the loop, so no datagram of ours is being answered while the session goes. When the
  // engine has stopped already, it closed the session itself.
  context_.engine.call([&] {
    loop->agent = nullptr;
    if (loop->session) context_.engine.closeLater(loop->session);
    loop->session = nullptr;
  });
  port_ = 0;
}

void PrinterAgent::sendTrap(const QString& address, quint16 port, const QByteArray& community,
                            const QList<VarBind>& variables) {
  std::shared_ptr<Loop> loop = loop_;
  if (!loop) return;
  const QString from = setup_.address;
  const Oid enterprise = context_.layout.enterprise;
  context_.engine.post([loop, address, port, community, variables, from, enterprise] {
    if (!loop->agent || loop->socket < 0) return;
    PduPtr trap(snmp_pdu_create(SNMP_MSG_TRAP));
    if (!trap) return;
    trap->version = SNMP_VERSION_1;
    trap->enterprise = snmp_duplicate_objid(enterprise.data(), enterprise.size());
    trap->enterprise_length = enterprise.size();
    trap->trap_type = SNMP_TRAP_ENTERPRISESPECIFIC;
    trap->specific_type = 1;
    trap->time = long(std::chrono::duration_cast<std::chrono::milliseconds>(
                          std::chrono::steady_clock::now() - loop->started)
                          .count() /
                      10);
    in_addr agentAddress{};
    ::inet_pton(AF_INET, from.toLatin1().constData(), &agentAddress);
    memcpy(trap->agent_addr, &agentAddress, 4);
    for (const VarBind& b : variables) addVarBind(trap.get(), b);
    const QByteArray message = encodeCommunityPdu(trap.get(), community);
    sockaddr_in to{};
    to.sin_family = AF_INET;
    to.sin_port = htons(port);
    if (message.isEmpty() ||
        ::inet_pton(AF_INET, address.toLatin1().constData(), &to.sin_addr) != 1) {
      return;
    }
    // From the printer's own SNMP socket, so the trap comes from its address.
    ::sendto(loop->socket, message.constData(), size_t(message.size()), 0,
             reinterpret_cast<const sockaddr*>(&to), sizeof to);
  });
}

}  // namespace Zarvo::suite::snmp
