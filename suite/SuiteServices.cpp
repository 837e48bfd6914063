#include "suite/SuiteServices.h"

#include <QUrl>

#include "SNMPTrap_Request.h"
#include "SNMPTrap_Response.h"
#include "framework/Log.h"
#include "framework/OrxServiceClient.h"
#include "framework/ServiceClient.h"
#include "messages/DomTree.h"

namespace Zarvo::suite {

namespace {

QString qs(const std::u16string& s) { return QString::fromStdU16String(s); }
std::u16string u16(const QString& s) { return s.toStdU16String(); }

void setFailure(Zarvo::Packet& response, const Zarvo::Failure& failure) {
  response.setResult(failure.result(), failure.details);
}

}  // namespace

// ---------------------------------------------------------------------------------------------
// NS

NamingService::NamingService() {
  registerHandler(QStringLiteral("NSRegisterService"), &NamingService::NSRegisterService);
  registerHandler(QStringLiteral("NSFindService"), &NamingService::NSFindService);
}

std::unique_ptr<NamingService::RegisterResponse> NamingService::NSRegisterService(
    RegisterRequest& request) {
  const QString url = qs(request.get_URL()).trimmed();
  const QUrl parsed(url, QUrl::StrictMode);
  if (!parsed.isValid() || parsed.scheme() != QLatin1String("http") || parsed.host().isEmpty()) {
    const auto failure = Zarvo::Failure::wrongRequest(QStringLiteral("URL \"%1\"").arg(url));
    throw Zarvo::ZarvoException(failure.result(), failure.details);
  }
  {
    QMutexLocker lock(&mutex_);
    for (std::size_t i = 0; i < request.anon_method().size(); ++i) {
      urls_[qs(request.anon_method().get(i))] = url;
    }
  }
  ZLOG("info") << "Registered " << qint64(request.anon_method().size()) << " commands at " << url;
  auto response = std::make_unique<RegisterResponse>();
  response->setResult(0, QStringLiteral("OK"));
  return response;
}

std::unique_ptr<NamingService::FindResponse> NamingService::NSFindService(FindRequest& request) {
  const QString command = qs(request.get_Command());
  auto response = std::make_unique<FindResponse>();
  QMutexLocker lock(&mutex_);
  const auto it = urls_.find(command);
  if (it == urls_.end()) {
    setFailure(*response, Zarvo::Failure::noServiceFor(command));
  } else {
    response->setResult(0, QStringLiteral("OK"));
    (void)response->set_ServiceURL(u16(it->second));
  }
  return response;
}

std::map<QString, QString> NamingService::table() const {
  QMutexLocker lock(&mutex_);
  return urls_;
}

// ---------------------------------------------------------------------------------------------
// SNMP

SnmpService::SnmpService(SnmpBackend& backend) : backend_(backend) {
  registerHandler(QStringLiteral("SNMPGetValues"), &SnmpService::SNMPGetValues);
  registerHandler(QStringLiteral("SNMPSetValues"), &SnmpService::SNMPSetValues);
}

std::unique_ptr<CmdSNMPGetValuesResponse> SnmpService::SNMPGetValues(
    CmdSNMPGetValuesRequest& request) {
  auto response = std::make_unique<CmdSNMPGetValuesResponse>();
  for (deviceReq* asked = request.first(); asked; asked = request.next()) {
    response->appendDevice(backend_.get(*asked));
  }
  return response;
}

std::unique_ptr<SnmpService::SetResponse> SnmpService::SNMPSetValues(SetRequest& request) {
  auto response = std::make_unique<SetResponse>();
  response->setResult(0, QStringLiteral("OK"));
  for (std::size_t i = 0; i < request.size_Device(); ++i) {
    const auto& d = request.get_Device(i);
    const QString address =
        d.get_RequestParams().isset_IP() ? qs(d.get_RequestParams().get_IP().get_address()) : "";
    const auto& v = d.get_RequestVariables();
    auto cell = [](const QString& column, const std::string& index, const std::u16string& value) {
      bool ok = false;
      const qint64 row = QString::fromStdString(index).toLongLong(&ok);
      return TrapDestCell{column, ok ? row : -1, qs(value)};
    };
    const QList<TrapDestCell> cells = {
        cell(QStringLiteral("staticTrapDestAddr"), v.get_staticTrapDestAddr().get_Index(),
             v.get_staticTrapDestAddr().get_Value()),
        cell(QStringLiteral("staticTrapDestCommunity"), v.get_staticTrapDestCommunity().get_Index(),
             v.get_staticTrapDestCommunity().get_Value()),
        cell(QStringLiteral("staticTrapDestStatus"), v.get_staticTrapDestStatus().get_Index(),
             v.get_staticTrapDestStatus().get_Value())};
    const SnmpBackend::Written written = backend_.writeTrapDests(address, cells);
    if (written.result != 0) {
      response->setResult(written.result, written.details);
      continue;
    }
    ZLOG("info") << "Device " << address << ": trap destination row " << cells.first().row << " = "
                 << cells.at(0).value << ", " << cells.at(1).value << ", " << cells.at(2).value;
  }
  return response;
}

TrapForwarder::TrapForwarder(Deliver deliver) : deliver_(std::move(deliver)) {
  for (int i = 0; i < kThreads; ++i) threads_.emplace_back([this] { run(); });
}

TrapForwarder::~TrapForwarder() {
  {
    std::lock_guard<std::mutex> lock(mutex_);
    stopping_ = true;
    wake_.notify_all();
  }
  for (std::thread& t : threads_) t.join();
}

void TrapForwarder::sendTrap(const DeviceTrap& trap) {
  std::lock_guard<std::mutex> lock(mutex_);
  if (stopping_) return;
  std::deque<DeviceTrap>& queue = queues_[trap.hostIp];
  if (queue.size() >= std::size_t(kMaxQueued)) queue.pop_front();
  const bool idle = queue.empty() && !busy_.count(trap.hostIp);
  queue.push_back(trap);
  if (idle) {
    ready_.push_back(trap.hostIp);
    wake_.notify_one();
  }
}

void TrapForwarder::run() {
  std::unique_lock<std::mutex> lock(mutex_);
  while (true) {
    wake_.wait(lock, [&] { return stopping_ || !ready_.empty(); });
    if (stopping_) return;
    const QString device = ready_.front();
    ready_.pop_front();
    auto it = queues_.find(device);
    if (it == queues_.end() || it->second.empty()) continue;
    const DeviceTrap trap = it->second.front();
    it->second.pop_front();
    busy_.insert(device);
    lock.unlock();
    deliver_(trap);
    lock.lock();
    busy_.erase(device);
    it = queues_.find(device);
    if (it != queues_.end() && !it->second.empty()) {
      ready_.push_back(device);  // behind the devices already waiting: no device starves
      wake_.notify_one();
    } else if (it != queues_.end()) {
      queues_.erase(it);
    }
  }
}

void TrapForwarder::deliverSNMPTrap(OrxServiceClient& client, const DeviceTrap& trap) {
  // The fleet sends to this machine only, whatever URL a peer registered for the traps.
  try {
    const QUrl url = client.findServiceUrl(QStringLiteral("SNMPTrap"), false);
    if (url.host() != QLatin1String("localhost") && !isLoopbackAddress(url.host())) {
      ZLOG("warning") << "Trap of " << trap.hostIp << " not sent: " << url.toString()
                      << " is not on this machine";
      return;
    }
  } catch (const OrxServiceClient::UnknownCommand&) {
    // Nobody answers traps yet: the call below retries and reports it.
  }
  Zarvo::LMXRequest<SNMPTrap_Request::c_OrxRequest> request;
  (void)request.set_HostIp(u16(trap.hostIp));
  (void)request.set_Enterprise(u16(trap.enterprise));
  (void)request.set_GenericNumber(std::to_string(trap.generic));
  (void)request.set_SpecificNumber(std::to_string(trap.specific));
  if (!trap.variables.isEmpty()) {
    auto& variables = request.enable_Variables();
    for (const auto& v : trap.variables) {
      (void)variables.append_Variable();
      (void)variables.back_Variable().set_OID(u16(v.first));
      (void)variables.back_Variable().set_Value(u16(v.second));
    }
  }
  const auto answer =
      client.callService<Zarvo::LMXResponse<SNMPTrap_Response::c_OrxResponse>>(request, true);
  const QString status = trap.variables.isEmpty() ? QString() : trap.variables.first().second;
  if (!answer || answer->result() != 0) {
    ZLOG("warning") << "Trap \"" << status << "\" of " << trap.hostIp << " not delivered: "
                    << (answer ? answer->details() : QStringLiteral("no answer"));
  } else {
    ZLOG("info") << "Trap \"" << status << "\" of " << trap.hostIp << " forwarded";
  }
}

// ---------------------------------------------------------------------------------------------
// DMS

DeviceManagementService::DeviceManagementService(Fleet& fleet) : fleet_(fleet) {
  registerHandler(QStringLiteral("DMSGetDeviceList"), &DeviceManagementService::DMSGetDeviceList);
}

std::map<QString, QString> DeviceManagementService::propertiesOf(const DeviceSetup& d) {
  std::map<QString, QString> p = {{QStringLiteral("IP"), d.address},
                                  {QStringLiteral("SNMP_VER"), QString::number(d.snmpVersion)},
                                  {QStringLiteral("Name"), d.name},
                                  {QStringLiteral("Model"), d.model}};
  const std::pair<const char*, QString> v3[] = {
      {"UserName", d.userName},       {"AuthPass", d.authPass},
      {"AuthMethod", d.authMethod},   {"SecurityLevel", d.securityLevel},
      {"PrivacyPass", d.privacyPass}, {"ContextName", d.contextName},
      {"ContextID", d.contextId}};
  for (const auto& [name, value] : v3) {
    if (!value.isEmpty()) p[QLatin1String(name)] = value;
  }
  return p;
}

std::unique_ptr<CmdDMSGetDeviceListResponse> DeviceManagementService::DMSGetDeviceList(
    CmdDMSGetDeviceListRequest& request) {
  auto response = std::make_unique<CmdDMSGetDeviceListResponse>();
  response->setResult(0, QStringLiteral("OK"));
  for (const DeviceSetup& setup : fleet_.setups()) {
    std::map<QString, QString> all = propertiesOf(setup);
    // What the service last saw of the device: a simulated device whose ports are closed is
    // unreachable; a printer the fleet does not play (a remote agent) is taken as reachable.
    const SimDevice* device = fleet_.byId(setup.id);
    all[QStringLiteral("Reachable")] = device && device->fault().kind == FaultKind::Refuse
                                           ? QStringLiteral("false")
                                           : QStringLiteral("true");
    // Groups are not modelled: every device belongs to every group.
    bool named = request.devices.isEmpty();
    for (const DeviceFilter& f : request.devices) {
      if (f.id != -1 && quint32(f.id) != setup.id) continue;
      bool criteria = true;
      for (const auto& c : f.criteria) {
        const auto it = all.find(c.first);
        criteria = criteria && it != all.end() && it->second == c.second;
      }
      named = named || criteria;
    }
    if (!named) continue;
    DeviceRecord record;
    record.id = setup.id;
    for (const auto& [name, value] : all) {
      if (request.properties.isEmpty() || request.properties.contains(name)) {
        record.properties[name] = value;
      }
    }
    response->devices << record;
  }
  return response;
}

// ---------------------------------------------------------------------------------------------
// SIM

void SimRequest::fromByteArray(const QByteArray& bytes) {
  RequestPacket::fromByteArray(bytes);
  fields = childElementMap(document()->getDocumentElement());
}

void SimResponse::toByteArray(QByteArray& bytes) const {
  const_cast<SimResponse*>(this)->discardDocument();  // the nodes may have changed
  ResponsePacket::toByteArray(bytes);
}

xercesc::DOMDocument* SimResponse::createDocument() const {
  std::function<void(xercesc::DOMNode*, const SimNode&)> add = [&](xercesc::DOMNode* parent,
                                                                   const SimNode& node) {
    xercesc::DOMElement* e = node.children.isEmpty() ? domtree::append(parent, node.name, node.text)
                                                     : domtree::append(parent, node.name);
    for (const SimNode& c : node.children) add(e, c);
  };
  return domtree::filled(ResponsePacket::createDocument(), [&](xercesc::DOMElement* root) {
    for (const SimNode& n : nodes) add(root, n);
  });
}

FleetControlService::FleetControlService(Fleet& fleet) : fleet_(fleet) {
  registerHandler(QStringLiteral("SIMSetFault"), &FleetControlService::SIMSetFault);
  registerHandler(QStringLiteral("SIMGetDevices"), &FleetControlService::SIMGetDevices);
}

SimDevice* FleetControlService::find(const QString& key) const {
  bool isId = false;
  const uint id = key.toUInt(&isId);
  return isId ? fleet_.byId(id) : fleet_.byAddress(key);
}

std::unique_ptr<SimResponse> FleetControlService::SIMSetFault(SimRequest& request) {
  auto response = std::make_unique<SimResponse>();
  const QString key = request.fields.value(QStringLiteral("Device")).trimmed();
  SimDevice* device = find(key);
  if (!device) {
    response->setResult(SnmpService::kUnknownDevice, QStringLiteral("Unknown device: ") + key);
    return response;
  }
  const auto kind = faultFromName(request.fields.value(QStringLiteral("Fault")).trimmed());
  if (!kind) {
    setFailure(*response, Zarvo::Failure::wrongRequest(QStringLiteral(
                              "Fault is one of none, slow, silent, refuse, drop, fail")));
    return response;
  }
  Fault fault;
  fault.kind = *kind;
  if (request.fields.contains(QStringLiteral("DelayMs"))) {
    bool ok = false;
    const uint delay = request.fields.value(QStringLiteral("DelayMs")).toUInt(&ok);
    if (!ok || delay > 600'000) {
      setFailure(*response, Zarvo::Failure::wrongRequest(QStringLiteral("DelayMs is 0 to 600000")));
      return response;
    }
    fault.delayMs = int(delay);
  }
  if (request.fields.contains(QStringLiteral("Status"))) {
    fault.status = request.fields.value(QStringLiteral("Status"));
    if (fault.status.isEmpty() || fault.status == QLatin1String("completed") ||
        fault.status == QLatin1String("processing")) {
      setFailure(*response,
                 Zarvo::Failure::wrongRequest(QStringLiteral("Status must be a failure text")));
      return response;
    }
  }
  QString error;
  if (!device->setFault(fault, &error)) {
    response->setResult(-1, error);
    return response;
  }
  ZLOG("info") << "Device " << device->address() << ": fault " << faultName(fault.kind);
  return response;
}

std::unique_ptr<SimResponse> FleetControlService::SIMGetDevices(SimRequest& request) {
  auto response = std::make_unique<SimResponse>();
  const QString key = request.fields.value(QStringLiteral("Device")).trimmed();
  for (const auto& device : fleet_.devices()) {
    if (!key.isEmpty() && device.get() != find(key)) continue;
    const DeviceSetup& s = device->setup();
    const Fault fault = device->fault();
    SimNode d{QStringLiteral("Device"), {}, {}};
    d.children << SimNode{QStringLiteral("ID"), QString::number(s.id), {}}
               << SimNode{QStringLiteral("Address"), s.address, {}}
               << SimNode{QStringLiteral("Name"), s.name, {}}
               << SimNode{QStringLiteral("Model"), s.model, {}}
               << SimNode{QStringLiteral("PrintPort"), QString::number(device->printPort()), {}}
               << SimNode{QStringLiteral("WebPort"), QString::number(device->webPort()), {}}
               << SimNode{QStringLiteral("SnmpPort"), QString::number(device->snmpPort()), {}}
               << SimNode{QStringLiteral("Fault"), faultName(fault.kind), {}}
               << SimNode{QStringLiteral("CompletedDownloads"),
                          QString::number(device->completedDownloads()),
                          {}};
    SimNode files{QStringLiteral("Files"), {}, {}};
    for (const SimDevice::StoredFile& f : device->files()) {
      files.children << SimNode{QStringLiteral("File"),
                                {},
                                {{QStringLiteral("Name"), f.name, {}},
                                 {QStringLiteral("Kind"), f.kind, {}},
                                 {QStringLiteral("ID"), QString::number(f.id), {}},
                                 {QStringLiteral("Size"), QString::number(f.content.size()), {}}}};
    }
    SimNode traps{QStringLiteral("TrapDests"), {}, {}};
    for (const QStringList& row : device->trapDestTable().rows) {
      traps.children << SimNode{QStringLiteral("TrapDest"),
                                {},
                                {{QStringLiteral("Addr"), row.at(0), {}},
                                 {QStringLiteral("Community"), row.at(1), {}},
                                 {QStringLiteral("Status"), row.at(2), {}}}};
    }
    d.children << files << traps;
    response->nodes << d;
  }
  if (!key.isEmpty() && response->nodes.isEmpty()) {
    response->setResult(SnmpService::kUnknownDevice, QStringLiteral("Unknown device: ") + key);
  }
  return response;
}

}  // namespace Zarvo::suite
