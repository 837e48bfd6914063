// One simulated printer: its raw print port (PJL-framed downloads, stored on arrival), its CGI
// pages "DSMGetFiles.cgi" and "DSMDeletefiles.cgi", its tables "scmFileStorageTable" and
// "staticTrapDestTable", served by its own SNMP agent (PrinterAgent) or, in a fleet without
// sockets for SNMP, read by the SNMP service in memory, and its download-status traps
// ("processing", then "completed" or a failure text) sent to every valid trap destination: as
// SNMPv1 traps over UDP with an agent, else straight to the TrapSink. What it holds and answers is
// a DeviceState (the printer model the test fakes share); this class adds the sockets, the
// rehearsed faults, the traps and the copy on disk.
//
// State lives in memory; every stored file is mirrored under <filesDir>/<address>/<kind>/ so a
// run can be inspected. Connections run on the fleet's ConnectionHub and every wait is bounded,
// so a fault rehearsed on one device (slow, silent, refuse, drop, fail, mute) never stalls
// another.
#pragma once

#include <QByteArray>
#include <QList>
#include <QMutex>
#include <QPair>
#include <QString>
#include <QStringList>
#include <atomic>
#include <chrono>
#include <memory>

#include "suite/DeviceProtocols.h"
#include "suite/DeviceState.h"
#include "suite/FleetConfig.h"
#include "suite/LoopbackServer.h"

namespace Zarvo::suite {
namespace snmp {
class PrinterAgent;
struct PrinterSnmpContext;
}  // namespace snmp

// A trap as the device sends it; the SNMP service forwards it to the storage manager.
struct DeviceTrap {
  QString hostIp;       // the sending device
  QString destination;  // the trap destination row's address
  QString community;
  QString enterprise;
  QList<QPair<QString, QString>> variables;  // (OID, value)
  int generic = 6;                           // enterpriseSpecific
  qint64 specific = 1;                       // the download-status trap
  quint16 port = 0;  // the destination row's port; 0 for the suite's trap port
};

// Where a device's traps go. Called on the device's connection thread; may block (bounded).
class TrapSink {
 public:
  virtual ~TrapSink() = default;
  virtual void sendTrap(const DeviceTrap& trap) = 0;
};

struct DeviceLimits {
  // Each wait for more bytes from a peer, and each write to it.
  std::chrono::milliseconds ioWait{30'000};
  // The longest a silent device holds a connection it will never answer.
  std::chrono::milliseconds silentHold{300'000};
  qint64 maxDownload = 64 * 1024 * 1024;  // bytes; a larger stream is refused
};

class SimDevice {
 public:
  using StoredFile = suite::StoredFile;

  static constexpr const char* kStatusSuffix = ".11.5.11.83.1.1.1.5";
  static constexpr const char* kTrapSuffix = ".11.5.11.83.1.2.1";

  // `filesDir` is the fleet's directory; `hub`, `sink` and `snmp` outlive the device. With
  // `snmp`, the device answers SNMP on its address and sends its traps over UDP; without, its
  // traps go to `sink`.
  SimDevice(DeviceSetup setup, QString filesDir, QString enterpriseArc, int confirmDelayMs,
            TrapSink* sink, ConnectionHub& hub, DeviceLimits limits = DeviceLimits(),
            snmp::PrinterSnmpContext* snmp = nullptr);
  ~SimDevice();
  SimDevice(const SimDevice&) = delete;
  SimDevice& operator=(const SimDevice&) = delete;

  // Writes the configured files to the directory (replacing an earlier run's), starts the SNMP
  // agent and opens the ports (unless the device is to refuse). False with `error` set when a
  // port cannot be bound.
  bool start(QString* error);
  void stop();  // closes the ports and the SNMP agent

  const DeviceSetup& setup() const { return setup_; }
  QString address() const { return setup_.address; }
  quint16 printPort() const { return printPort_; }
  quint16 webPort() const { return webPort_; }
  quint16 snmpPort() const;  // 0 without an SNMP agent
  QString directory() const;

  // Changes the rehearsed fault; "refuse" closes the ports, leaving it opens them again on the
  // same ports. False with `error` when a port cannot be opened again.
  bool setFault(const Fault& fault, QString* error);
  Fault fault() const;

  // What the device holds and its tables (its DeviceState).
  QList<StoredFile> files() const { return state_.files(); }
  DeviceTable fileStorageTable() const { return state_.fileStorageTable(); }
  DeviceTable trapDestTable() const { return state_.trapDestTable(); }
  bool writeTrapDest(const QList<TrapDestCell>& cells, QString* error) {
    return state_.writeTrapDest(cells, error);
  }

  // Stores a download (DeviceState::store) and mirrors it on disk; returns the stored record.
  StoredFile store(const PjlDownload& download);
  // What one CGI request gets: the whole HTTP answer (DeviceState::answerPage), with the files
  // a delete removed taken off the disk.
  QByteArray answerPage(const HttpRequest& request);
  // Sends one download-status trap to every valid trap destination.
  void sendStatusTrap(const QString& status);

  // Downloads taken so far whose trap reported "completed" (for tests and the fault command).
  int completedDownloads() const;

 private:
  bool openPorts(QString* error);
  void closePorts();
  bool servePrint(int fd, const std::atomic<bool>& stop);
  bool serveWeb(int fd, const std::atomic<bool>& stop);
  void writeToDisk(const StoredFile& file) const;
  void removeFromDisk(const StoredFile& file) const;
  QString pathOf(const StoredFile& file) const;

  const DeviceSetup setup_;
  const QString filesDir_;
  const QString enterpriseArc_;
  const int confirmDelayMs_;
  TrapSink* const sink_;
  ConnectionHub& hub_;
  const DeviceLimits limits_;
  snmp::PrinterSnmpContext* const snmp_;

  DeviceState state_;

  mutable QMutex mutex_;  // guards everything below
  Fault fault_;
  int completed_ = 0;

  QMutex portsMutex_;  // serialises opening and closing the ports
  std::unique_ptr<LoopbackServer> print_;
  std::unique_ptr<LoopbackServer> web_;
  // Read by any thread (the fault command, the suite's listing); written under portsMutex_.
  std::atomic<quint16> printPort_{0};
  std::atomic<quint16> webPort_{0};
  std::unique_ptr<snmp::PrinterAgent> agent_;  // made in the constructor, started in start()
};

}  // namespace Zarvo::suite
