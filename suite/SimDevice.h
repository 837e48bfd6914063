// One simulated printer: its raw print port (PJL-framed downloads, stored on arrival), its CGI
// pages "DSMGetFiles.cgi" and "DSMDeletefiles.cgi", its tables "scmFileStorageTable" and
// "staticTrapDestTable" as the SNMP stand-in reads and writes them, and its download-status
// traps ("processing", then "completed" or a failure text) sent to every valid trap destination.
// What it holds and answers is a DeviceState (the printer model the test fakes share); this
// class adds the sockets, the rehearsed faults, the traps and the copy on disk.
//
// State lives in memory; every stored file is mirrored under <filesDir>/<address>/<kind>/ so a
// run can be inspected. Each connection runs on its own thread and every wait is bounded, so a
// fault rehearsed on one device (slow, silent, refuse, drop, fail) never stalls another.
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

// A trap as the device sends it; the SNMP stand-in forwards it to the storage manager.
struct DeviceTrap {
  QString hostIp;       // the sending device
  QString destination;  // the trap destination row's address
  QString community;
  QString enterprise;
  QList<QPair<QString, QString>> variables;  // (OID, value)
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

  // `filesDir` is the fleet's directory; `sink` outlives the device.
  SimDevice(DeviceSetup setup, QString filesDir, QString enterpriseArc, int confirmDelayMs,
            TrapSink* sink, DeviceLimits limits = DeviceLimits());
  ~SimDevice();
  SimDevice(const SimDevice&) = delete;
  SimDevice& operator=(const SimDevice&) = delete;

  // Writes the configured files to the directory (replacing an earlier run's) and opens the
  // ports (unless the device is to refuse). False with `error` set when a port cannot be bound.
  bool start(QString* error);
  void stop();

  const DeviceSetup& setup() const { return setup_; }
  QString address() const { return setup_.address; }
  quint16 printPort() const { return printPort_; }
  quint16 webPort() const { return webPort_; }
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
  const DeviceLimits limits_;

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
};

}  // namespace Zarvo::suite
