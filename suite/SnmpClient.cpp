#include "suite/SnmpClient.h"

#include <future>
#include <map>

#include "suite/NetSnmpPdu.h"

namespace Zarvo::suite::snmp {

namespace {

using std::chrono::milliseconds;

// The longest GETBULK asked for, whatever the limits say: rows of six columns stay well inside
// one datagram.
constexpr int kMaxBindingsPerRequest = 600;

SnmpFailure failure(int code, const QByteArray& message) { return SnmpFailure{code, message}; }

// One exchange with one device, on the loop. Holds itself alive while a request is out.
class Exchange : public std::enable_shared_from_this<Exchange> {
 public:
  Exchange(SnmpEngine& engine, SnmpTarget target, SnmpLimits limits)
      : engine_(engine), target_(std::move(target)), limits_(limits) {}
  virtual ~Exchange() = default;

  // On the loop: opens the session (discovering an SNMPv3 engine first) and sends.
  void start() {
    self_ = shared_from_this();
    if (target_.version == 3) {
      discover();
    } else if (open()) {
      begin();
    }
  }

 protected:
  virtual void begin() = 0;
  virtual void onResponse(netsnmp_pdu* pdu) = 0;
  virtual void deliver(const SnmpFailure& failure) = 0;

  // Sends a PDU of the exchange's session; the answer comes to onResponse.
  void send(netsnmp_pdu* pdu) {
    if (finished_) {
      snmp_free_pdu(pdu);
      return;
    }
    if (!snmp_sess_async_send(session_, pdu, &Exchange::onEvent, this)) {
      snmp_free_pdu(pdu);
      finish(failure(kNotSent, "cannot send to " + target_.address.toLatin1()));
    }
  }

  netsnmp_pdu* newPdu(int command) {
    netsnmp_pdu* pdu = snmp_pdu_create(command);
    if (target_.version == 3 && !target_.contextName.isEmpty()) {
      pdu->contextName = strdup(target_.contextName.constData());
      pdu->contextNameLen = size_t(target_.contextName.size());
    }
    return pdu;
  }

  // Ends the exchange once: closes its sessions after this callback and hands the outcome over.
  void finish(const SnmpFailure& f) {
    if (finished_) return;
    finished_ = true;
    if (timer_) engine_.cancel(timer_);
    for (void* s : {probe_, session_}) {
      if (s) engine_.closeLater(s);
    }
    probe_ = session_ = nullptr;
    deliver(f);
    // The sessions close at the top of the next turn of the loop; only then may we go.
    std::shared_ptr<Exchange> keep = std::move(self_);
    engine_.post([keep] {});
  }

  bool finished() const { return finished_; }
  SnmpEngine& engine_;
  const SnmpTarget target_;
  const SnmpLimits limits_;
  SnmpEngine::TimerId timer_ = 0;

 private:
  QByteArray peer() const {
    return "udp:" + target_.address.toLatin1() + ':' + QByteArray::number(target_.port);
  }

  void* openSession(bool probe) {
    netsnmp_session s;
    snmp_sess_init(&s);
    QByteArray peerName = peer();
    s.peername = peerName.data();
    s.timeout = long(limits_.timeout.count()) * 1000;
    s.retries = limits_.retries;
    // The library's own engine probe waits synchronously, which would stall the loop (and, for
    // a printer of this process, wait for an answer only the loop can give): we discover below.
    s.flags |= SNMP_FLAGS_DONT_PROBE;
    s.callback = &Exchange::onEvent;
    s.callback_magic = this;
    QByteArray community = target_.community;
    QByteArray user = probe ? QByteArray("probe") : target_.usm.user;
    QByteArray engineId = engineId_;
    Oid authProtocol = keys_.authProtocol;
    Oid privProtocol = keys_.privProtocol;
    if (target_.version == 3) {
      s.version = SNMP_VERSION_3;
      s.securityModel = SNMP_SEC_MODEL_USM;
      s.securityName = user.data();
      s.securityNameLen = size_t(user.size());
      s.securityLevel = probe                    ? SNMP_SEC_LEVEL_NOAUTH
                        : target_.usm.level == 2 ? SNMP_SEC_LEVEL_AUTHPRIV
                        : target_.usm.level == 1 ? SNMP_SEC_LEVEL_AUTHNOPRIV
                                                 : SNMP_SEC_LEVEL_NOAUTH;
      if (!probe) {
        s.securityEngineID = reinterpret_cast<u_char*>(engineId.data());
        s.securityEngineIDLen = size_t(engineId.size());
        s.securityAuthProto = authProtocol.data();
        s.securityAuthProtoLen = authProtocol.size();
        s.securityPrivProto = privProtocol.data();
        s.securityPrivProtoLen = privProtocol.size();
      }
    } else {
      s.version = target_.version == 1 ? SNMP_VERSION_1 : SNMP_VERSION_2c;
      s.community = reinterpret_cast<u_char*>(community.data());
      s.community_len = size_t(community.size());
    }
    // The library copies what it keeps of `s`, but not the flag that keeps it from probing: set
    // on the open session, it holds.
    void* session = snmp_sess_open(&s);
    if (!session) return nullptr;
    snmp_sess_session(session)->flags |= SNMP_FLAGS_DONT_PROBE;
    engine_.addSession(session, true);
    return session;
  }

  bool open() {
    session_ = openSession(false);
    if (!session_) {
      finish(failure(kNotSent, "cannot open an SNMP session to " + peer()));
      return false;
    }
    return true;
  }

  // RFC 3414 discovery: an unauthenticated request without an engine identifier draws a report
  // that carries the device's one.
  void discover() {
    QString error;
    if (target_.usm.user.isEmpty()) {
      finish(failure(kAuthorization, "authorizationError: no SNMPv3 user"));
      return;
    }
    if (!findUser(QByteArray(), QByteArray()))
      addUser(QByteArray(), QByteArray(),
              UsmKeys{Oid(usmNoAuthProtocol, usmNoAuthProtocol + USM_AUTH_PROTO_NOAUTH_LEN),
                      {},
                      Oid(usmNoPrivProtocol, usmNoPrivProtocol + USM_PRIV_PROTO_NOPRIV_LEN),
                      {}});
    probe_ = openSession(true);
    if (!probe_) {
      finish(failure(kNotSent, "cannot open an SNMP session to " + peer()));
      return;
    }
    netsnmp_pdu* pdu = snmp_pdu_create(SNMP_MSG_GET);
    pdu->version = SNMP_VERSION_3;
    pdu->securityName = strdup("");
    pdu->securityNameLen = 0;
    pdu->securityLevel = SNMP_SEC_LEVEL_NOAUTH;
    pdu->securityModel = SNMP_SEC_MODEL_USM;
    discovering_ = true;
    probeRequest_ = snmp_sess_async_send(probe_, pdu, &Exchange::onEvent, this);
    if (!probeRequest_) {
      snmp_free_pdu(pdu);
      finish(failure(kNotSent, "cannot send to " + target_.address.toLatin1()));
    }
  }

  void discovered(const QByteArray& engineId) {
    discovering_ = false;
    engineId_ = engineId;
    QString error;
    const auto keys = localisedKeys(target_.usm, engineId, &error);
    if (!keys) {
      finish(failure(kAuthorization, "authorizationError: " + error.toUtf8()));
      return;
    }
    keys_ = *keys;
    usmUser* existing = findUser(engineId, target_.usm.user);
    if (engineId == localEngineId()) {
      // A printer of this process: its entry is the only truth about the user.
      if (!existing || !holdsKeys(existing, keys_, target_.usm.level)) {
        finish(failure(kAuthorization, "authorizationError: unknown user or wrong key"));
        return;
      }
    } else {
      if (existing && !holdsKeys(existing, keys_, target_.usm.level)) {
        dropUser(existing);
        existing = nullptr;
      }
      if (!existing) addUser(engineId, target_.usm.user, keys_);
    }
    if (open()) begin();
  }

  static int onEvent(int op, netsnmp_session*, int request, netsnmp_pdu* pdu, void* magic) {
    auto* self = static_cast<Exchange*>(magic);
    if (!self || self->finished_) return 1;
    // The library may hand the probe's report over twice (as a security error, then as a
    // message): once the engine is known, the second one is old news.
    if (!self->discovering_ && request == self->probeRequest_) return 1;
    self->event(op, pdu);
    return 1;
  }

  void event(int op, netsnmp_pdu* pdu) {
    const QByteArray who = target_.address.toLatin1();
    if (discovering_) {
      if (pdu && pdu->securityEngineIDLen > 0 &&
          (op == NETSNMP_CALLBACK_OP_RECEIVED_MESSAGE || op == NETSNMP_CALLBACK_OP_SEC_ERROR)) {
        discovered(QByteArray(reinterpret_cast<const char*>(pdu->securityEngineID),
                              qsizetype(pdu->securityEngineIDLen)));
      } else if (op == NETSNMP_CALLBACK_OP_TIMED_OUT) {
        finish(failure(kNoResponse, "No response from device " + who));
      } else if (op != NETSNMP_CALLBACK_OP_RESEND) {
        finish(failure(kNoResponse, "No engine identifier from device " + who));
      }
      return;
    }
    switch (op) {
      case NETSNMP_CALLBACK_OP_RECEIVED_MESSAGE:
        if (!pdu) return;
        if (pdu->command == SNMP_MSG_REPORT) {
          report(pdu);
        } else if (pdu->command == SNMP_MSG_RESPONSE) {
          onResponse(pdu);
        }
        return;
      case NETSNMP_CALLBACK_OP_SEC_ERROR:
        if (pdu && pdu->command == SNMP_MSG_REPORT) {
          report(pdu);
        } else {
          finish(failure(kAuthorization, "authorizationError: the answer failed its security"));
        }
        return;
      case NETSNMP_CALLBACK_OP_TIMED_OUT:
        finish(failure(kNoResponse, "No response from device " + who));
        return;
      case NETSNMP_CALLBACK_OP_SEND_FAILED:
        finish(failure(kNotSent, "cannot send to " + who));
        return;
      default:
        return;  // a resend: the library keeps waiting
    }
  }

  void report(netsnmp_pdu* pdu) {
    const int type = snmpv3_get_report_type(pdu);
    if (type == SNMPERR_NOT_IN_TIME_WINDOW && !resentForTime_ && lastRequest_) {
      // The first authenticated request taught the library the device's clock; once more.
      resentForTime_ = true;
      send(snmp_clone_pdu(lastRequest_.get()));
      return;
    }
    finish(failure(kAuthorization, "authorizationError: " + QByteArray(snmp_api_errstring(type))));
  }

 protected:
  // A copy of the last request sent, for the one resend a clock report calls for.
  PduPtr lastRequest_;
  void remember(netsnmp_pdu* pdu) { lastRequest_.reset(snmp_clone_pdu(pdu)); }

 private:
  std::shared_ptr<Exchange> self_;
  void* session_ = nullptr;
  void* probe_ = nullptr;
  bool finished_ = false;
  bool discovering_ = false;
  bool resentForTime_ = false;
  int probeRequest_ = 0;
  QByteArray engineId_;
  UsmKeys keys_;
};

QByteArray errorAt(const netsnmp_pdu* pdu) {
  QByteArray where;
  long index = 1;
  for (const netsnmp_variable_list* v = pdu->variables; v; v = v->next_variable, ++index) {
    if (index == pdu->errindex) where = " at " + oidText(toOid(v->name, v->name_length)).toLatin1();
  }
  return errorStatusName(pdu->errstat) + where;
}

class Walk : public Exchange {
 public:
  Walk(SnmpEngine& engine, SnmpTarget target, SnmpLimits limits, QList<Oid> columns,
       std::shared_ptr<std::promise<WalkResult>> promise)
      : Exchange(engine, std::move(target), limits),
        columns_(std::move(columns)),
        promise_(std::move(promise)) {
    for (const Oid& c : columns_) last_.push_back(c);
    done_.assign(std::size_t(columns_.size()), false);
    repetitions_ = std::max(1, limits.maxRepetitions);
  }

 private:
  void begin() override {
    timer_ = engine_.after(limits_.walkTime, [this] {
      timer_ = 0;
      finish(failure(kWalkTooLong, "walk stopped after " +
                                       QByteArray::number(qint64(limits_.walkTime.count() / 1000)) +
                                       " s"));
    });
    next();
  }

  std::vector<int> active() const {
    std::vector<int> out;
    for (std::size_t i = 0; i < done_.size(); ++i) {
      if (!done_[i]) out.push_back(int(i));
    }
    return out;
  }

  void next() {
    asked_ = active();
    if (asked_.empty()) {
      finish(SnmpFailure());
      return;
    }
    netsnmp_pdu* pdu = newPdu(target_.version == 1 ? SNMP_MSG_GETNEXT : SNMP_MSG_GETBULK);
    if (target_.version != 1) {
      pdu->non_repeaters = 0;
      pdu->max_repetitions = std::max<long>(
          1, std::min<long>(repetitions_, kMaxBindingsPerRequest / long(asked_.size())));
    }
    for (int c : asked_)
      snmp_add_null_var(pdu, last_[std::size_t(c)].data(), last_[std::size_t(c)].size());
    remember(pdu);
    send(pdu);
  }

  void onResponse(netsnmp_pdu* pdu) override {
    if (pdu->errstat == SNMP_ERR_TOOBIG && target_.version != 1 && repetitions_ > 1) {
      repetitions_ = std::max(1, repetitions_ / 2);
      next();
      return;
    }
    if (pdu->errstat == SNMP_ERR_NOSUCHNAME && target_.version == 1 && pdu->errindex >= 1 &&
        pdu->errindex <= long(asked_.size())) {
      // SNMPv1's end of the view: that column has no more rows.
      done_[std::size_t(asked_[std::size_t(pdu->errindex - 1)])] = true;
      next();
      return;
    }
    if (pdu->errstat != SNMP_ERR_NOERROR) {
      finish(failure(int(pdu->errstat), errorAt(pdu)));
      return;
    }
    const std::size_t width = asked_.size();
    std::vector<bool> ended(width, false);
    std::size_t i = 0;
    for (const netsnmp_variable_list* v = pdu->variables; v; v = v->next_variable, ++i) {
      const std::size_t slot = i % width;
      const std::size_t c = std::size_t(asked_[slot]);
      if (ended[slot]) continue;
      const VarBind b = toVarBind(v);
      if (b.value.isException() || !startsWith(b.oid, columns_[qsizetype(c)]) ||
          b.oid.size() == columns_[qsizetype(c)].size()) {
        ended[slot] = true;
        done_[c] = true;
        continue;
      }
      if (!(last_[c] < b.oid)) {
        finish(failure(kBadAnswer, "device " + target_.address.toLatin1() +
                                       " answered identifiers going backwards"));
        return;
      }
      last_[c] = b.oid;
      const Oid instance(b.oid.begin() + long(columns_[qsizetype(c)].size()), b.oid.end());
      auto& row = rows_[instance];
      if (row.empty()) row.resize(std::size_t(columns_.size()));
      row[c] = b.value;
      if (qsizetype(rows_.size()) > limits_.maxRows) {
        finish(failure(kWalkTooLong,
                       "walk stopped at " + QByteArray::number(limits_.maxRows) + " rows"));
        return;
      }
    }
    if (i == 0) {
      // An empty answer would ask the same again for ever.
      finish(failure(kBadAnswer, "device " + target_.address.toLatin1() + " answered nothing"));
      return;
    }
    next();
  }

  void deliver(const SnmpFailure& f) override {
    WalkResult result;
    result.failure = f;
    if (!f) {
      for (auto& [instance, row] : rows_) {
        result.instances.push_back(instance);
        result.rows.push_back(std::move(row));
      }
    }
    rows_.clear();
    promise_->set_value(std::move(result));
  }

  const QList<Oid> columns_;
  std::vector<Oid> last_;
  std::vector<bool> done_;
  std::vector<int> asked_;
  int repetitions_;
  std::map<Oid, std::vector<std::optional<Value>>> rows_;
  std::shared_ptr<std::promise<WalkResult>> promise_;
};

// A GET of scalars or one SET: one request, one answer.
class Single : public Exchange {
 public:
  Single(SnmpEngine& engine, SnmpTarget target, SnmpLimits limits, int command,
         QList<VarBind> bindings, std::shared_ptr<std::promise<GetResult>> promise)
      : Exchange(engine, std::move(target), limits),
        command_(command),
        bindings_(std::move(bindings)),
        promise_(std::move(promise)) {}

 private:
  void begin() override {
    netsnmp_pdu* pdu = newPdu(command_);
    for (const VarBind& b : bindings_) {
      if (command_ == SNMP_MSG_SET) {
        addVarBind(pdu, b);
      } else {
        snmp_add_null_var(pdu, b.oid.data(), b.oid.size());
      }
    }
    remember(pdu);
    send(pdu);
  }

  void onResponse(netsnmp_pdu* pdu) override {
    if (pdu->errstat != SNMP_ERR_NOERROR) {
      finish(failure(int(pdu->errstat), errorAt(pdu)));
      return;
    }
    answer_ = varBinds(pdu);
    finish(SnmpFailure());
  }

  void deliver(const SnmpFailure& f) override {
    promise_->set_value(GetResult{f, f ? QList<VarBind>() : answer_});
  }

  const int command_;
  const QList<VarBind> bindings_;
  QList<VarBind> answer_;
  std::shared_ptr<std::promise<GetResult>> promise_;
};

// The longest one request may take before the loop reports it: every try of the probe and of the
// request, and some slack for a busy loop.
milliseconds requestBound(const SnmpLimits& l) {
  return 2 * l.timeout * (l.retries + 1) + milliseconds(2000);
}

template <class Result>
Result await(SnmpEngine& engine, const std::shared_ptr<Exchange>& exchange,
             std::future<Result> future, milliseconds bound) {
  Result result;
  if (!engine.post([exchange] { exchange->start(); })) {
    result.failure = failure(kNotSent, "the SNMP engine has stopped");
    return result;
  }
  if (future.wait_for(bound) != std::future_status::ready) {
    result.failure = failure(kNoResponse, "no outcome within the bounded wait");
    return result;
  }
  return future.get();
}

}  // namespace

WalkResult SnmpClient::walk(const SnmpTarget& target, const QList<Oid>& columns) const {
  auto promise = std::make_shared<std::promise<WalkResult>>();
  auto future = promise->get_future();
  auto exchange = std::make_shared<Walk>(engine_, target, limits_, columns, promise);
  return await(engine_, exchange, std::move(future), limits_.walkTime + requestBound(limits_));
}

GetResult SnmpClient::get(const SnmpTarget& target, const QList<Oid>& oids) const {
  QList<VarBind> bindings;
  for (const Oid& o : oids) bindings << VarBind{o, Value()};
  auto promise = std::make_shared<std::promise<GetResult>>();
  auto future = promise->get_future();
  auto exchange =
      std::make_shared<Single>(engine_, target, limits_, SNMP_MSG_GET, bindings, promise);
  return await(engine_, exchange, std::move(future), requestBound(limits_));
}

GetResult SnmpClient::set(const SnmpTarget& target, const QList<VarBind>& bindings) const {
  auto promise = std::make_shared<std::promise<GetResult>>();
  auto future = promise->get_future();
  auto exchange =
      std::make_shared<Single>(engine_, target, limits_, SNMP_MSG_SET, bindings, promise);
  return await(engine_, exchange, std::move(future), requestBound(limits_));
}

}  // namespace Zarvo::suite::snmp
