// The services of the suite around the storage manager, on the project's own framework:
//
//   "NS"   NSRegisterService, NSFindService: which URL answers which command.
//   "SNMP" SNMPGetValues, SNMPSetValues: tables such as "scmFileStorageTable" and
//          "staticTrapDestTable" (and the scalars sysName, sysDescr) of any device, by SNMP over
//          UDP (SnmpBackends.h); device traps, received on the trap port, are forwarded as
//          "SNMPTrap" to whichever service the naming service names for that command.
//   "DMS"  DMSGetDeviceList: the fleet's devices by identifier, with their address, name,
//          model, SNMP settings and whether they can be reached ("Reachable") as properties.
//   "SIM"  SIMSetFault, SIMGetDevices: rehearse a device fault, look at what the devices hold.
//
// The answers are the ones the storage manager relies on: result 0 for success, tables as rows
// of cells named after their columns, enumerated values as their labels.
#pragma once

#include <QMap>
#include <QMutex>
#include <QString>
#include <condition_variable>
#include <deque>
#include <functional>
#include <map>
#include <memory>
#include <mutex>
#include <set>
#include <thread>
#include <vector>

#include "NSFindService_Request.h"
#include "NSFindService_Response.h"
#include "NSRegisterService_Request.h"
#include "NSRegisterService_Response.h"
#include "SNMPSetValues_Request.h"
#include "SNMPSetValues_Response.h"
#include "framework/LMXPacket.h"
#include "framework/Packet.h"
#include "framework/Service.h"
#include "messages/DMSGetDeviceList.h"
#include "messages/SNMPGetValues.h"
#include "suite/Fleet.h"
#include "suite/SnmpBackends.h"

namespace Zarvo {
class OrxServiceClient;
}  // namespace Zarvo

namespace Zarvo::suite {

class NamingService : public Zarvo::Service {
 public:
  using RegisterRequest = Zarvo::LMXRequest<NSRegisterService_Request::c_OrxRequest>;
  using RegisterResponse = Zarvo::LMXResponse<NSRegisterService_Response::c_OrxResponse>;
  using FindRequest = Zarvo::LMXRequest<NSFindService_Request::c_OrxRequest>;
  using FindResponse = Zarvo::LMXResponse<NSFindService_Response::c_OrxResponse>;

  NamingService();

  // A later registration of a command replaces the earlier one (a restarted service announces
  // its new URL). An URL that is not an absolute http URL with a host is refused with result 3.
  std::unique_ptr<RegisterResponse> NSRegisterService(RegisterRequest& request);
  // Result 2 "Can't find service for command: " and the name for a command nobody registered.
  std::unique_ptr<FindResponse> NSFindService(FindRequest& request);

  std::map<QString, QString> table() const;

 private:
  mutable QMutex mutex_;
  std::map<QString, QString> urls_;  // command -> URL
};

class SnmpService : public Zarvo::Service {
 public:
  using SetRequest = Zarvo::LMXRequest<SNMPSetValues_Request::c_OrxRequest>;
  using SetResponse = Zarvo::LMXResponse<SNMPSetValues_Response::c_OrxResponse>;

  // Result codes of this service beyond the framework's.
  static constexpr int kUnknownDevice = SnmpBackend::kUnknownDevice;
  static constexpr int kWriteRefused = SnmpBackend::kWriteRefused;
  static constexpr int kNoAnswer = SnmpBackend::kNoAnswer;

  explicit SnmpService(SnmpBackend& backend);

  // One device entry per asked device; an unreachable device, wrong credentials, an unknown
  // variable or a walk past its limits are errors of that entry (error count and messages),
  // never of the whole.
  std::unique_ptr<CmdSNMPGetValuesResponse> SNMPGetValues(CmdSNMPGetValuesRequest& request);
  // Writes the trap-destination cells of each device, all of a device's cells or none.
  std::unique_ptr<SetResponse> SNMPSetValues(SetRequest& request);

 private:
  SnmpBackend& backend_;
};

class DeviceManagementService : public Zarvo::Service {
 public:
  explicit DeviceManagementService(Fleet& fleet);

  // Every device a filter names (a filter without ID names every device; criteria must equal
  // the device's properties), with the asked properties it has (all when none are asked).
  std::unique_ptr<CmdDMSGetDeviceListResponse> DMSGetDeviceList(CmdDMSGetDeviceListRequest& r);

  // The properties the service knows of a device.
  static std::map<QString, QString> propertiesOf(const DeviceSetup& device);

 private:
  Fleet& fleet_;
};

// A request of the fleet's own commands: the root's child elements as name -> text.
class SimRequest : public Zarvo::RequestPacket {
 public:
  SimRequest() : RequestPacket(QStringLiteral("SIM")) {}
  void fromByteArray(const QByteArray& bytes) override;
  QMap<QString, QString> fields;
};

// A response with a tree of extra elements after Result and Details.
struct SimNode {
  QString name;
  QString text;
  QList<SimNode> children;
};

class SimResponse : public Zarvo::ResponsePacket {
 public:
  SimResponse() : ResponsePacket(0) {}
  void toByteArray(QByteArray& bytes) const override;
  QList<SimNode> nodes;

 protected:
  xercesc::DOMDocument* createDocument() const override;
};

class FleetControlService : public Zarvo::Service {
 public:
  explicit FleetControlService(Fleet& fleet);

  // "Device" (address or identifier), "Fault" (none, slow, silent, refuse, drop, fail),
  // optional "DelayMs" and "Status". Result 3 for a malformed request, 10 for an unknown device.
  std::unique_ptr<SimResponse> SIMSetFault(SimRequest& request);
  // Every device (or the one named by "Device"): identity, ports, fault, stored files, trap
  // destinations and completed downloads.
  std::unique_ptr<SimResponse> SIMGetDevices(SimRequest& request);

 private:
  SimDevice* find(const QString& key) const;
  Fleet& fleet_;
};

// Sends device traps to the storage manager as "SNMPTrap", through the naming service. Traps
// are fire-and-forget for a device, as on a real network: sendTrap queues and returns at once.
// A small fixed set of threads delivers them, one trap of a device at a time, so a device's traps
// arrive in the order sent, and a slow or unreachable receiver for one device delays another
// device's traps only once every thread is held by such a device.
class TrapForwarder : public TrapSink {
 public:
  // Delivers one trap (deliverSNMPTrap in the suite).
  using Deliver = std::function<void(const DeviceTrap&)>;
  static constexpr int kMaxQueued = 256;  // per device; older traps are dropped beyond it
  static constexpr int kThreads = 4;

  explicit TrapForwarder(Deliver deliver);
  ~TrapForwarder() override;  // ends the threads; traps still queued are dropped
  TrapForwarder(const TrapForwarder&) = delete;
  TrapForwarder& operator=(const TrapForwarder&) = delete;

  void sendTrap(const DeviceTrap& trap) override;
  // Sends the trap as "SNMPTrap" through `client`, to the service its naming service names when
  // that is on this machine, and logs the outcome.
  static void deliverSNMPTrap(OrxServiceClient& client, const DeviceTrap& trap);

 private:
  void run();

  Deliver deliver_;
  std::mutex mutex_;
  std::condition_variable wake_;
  bool stopping_ = false;
  std::map<QString, std::deque<DeviceTrap>> queues_;  // by sending device; gone when empty
  std::deque<QString> ready_;  // devices with traps and none in delivery, in arrival order
  std::set<QString> busy_;     // devices with a trap in delivery
  std::vector<std::thread> threads_;
};

// A factory for the SNMP service on its backend.
class SnmpServiceFactory : public Zarvo::ServiceFactoryBase {
 public:
  explicit SnmpServiceFactory(SnmpBackend& backend) : backend_(backend) {}
  Zarvo::Service* create() override { return new SnmpService(backend_); }

 private:
  SnmpBackend& backend_;
};

// A factory for services that need the fleet.
template <class T>
class FleetServiceFactory : public Zarvo::ServiceFactoryBase {
 public:
  explicit FleetServiceFactory(Fleet& fleet) : fleet_(fleet) {}
  Zarvo::Service* create() override { return new T(fleet_); }

 private:
  Fleet& fleet_;
};

}  // namespace Zarvo::suite
