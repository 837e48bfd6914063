// FakeCgiDevices: the web pages of several devices on loopback. Each device is an address
// 127.0.0.N; all of them listen on one port (0 picks a free one; 80 as on real devices, which
// needs root), so a job given that port reaches each device by its address alone.
//
// The pages answer as the suite's simulated printers do, from one Zarvo::suite::DeviceState per
// device: "DSMGetFiles.cgi" answers the bytes of the file named by kind and name (or a PCL file's
// ID), 404 for one the device does not hold; "DSMDeletefiles.cgi" removes every named file and
// answers 200. A printer fake may store its downloads into the same state (FakePrinter::
// storeInto), so a file sent to a device can then be fetched from it. On top of that model, for
// tests only: a scripted reply replaces it for one page of one device (another status, an empty
// body, or holding the connection without a word until the client gives up, a hung page), and a
// file put without a kind takes the kind the first request names it with.
//
// Every connection has a thread of its own (a held page must not block the other devices);
// every request is recorded with its multipart fields. Every wait is bounded.
#pragma once

#include <QByteArray>
#include <QList>
#include <QMap>
#include <QPair>
#include <QString>
#include <QStringList>
#include <condition_variable>
#include <map>
#include <memory>
#include <mutex>
#include <vector>

#include "suite/DeviceState.h"
#include "suite/LoopbackServer.h"
#include "tests/fakes/FakeHttpServer.h"

namespace testing_devices {

struct CgiRequest {
  QString device;                            // the address the request arrived on
  QString page;                              // path without the leading "/"
  QList<QPair<QString, QByteArray>> fields;  // multipart parts (name, value), in order
};

class FakeCgiDevices {
 public:
  // Binds every address (each 127.0.0.N) on the same port; aborts the test binary when that
  // cannot be done.
  explicit FakeCgiDevices(const QStringList& addresses, quint16 port = 0);
  ~FakeCgiDevices();
  FakeCgiDevices(const FakeCgiDevices&) = delete;
  FakeCgiDevices& operator=(const FakeCgiDevices&) = delete;

  quint16 port() const { return port_; }

  // What `device` holds and answers (unknown devices abort the test binary).
  Zarvo::suite::DeviceState& state(const QString& device);
  // Puts a file on the device; without a kind ("psFont", "psForm", "pclFont", "pclMacro") the
  // file takes the kind of the first request that names it.
  void putFile(const QString& device, const QString& name, const QByteArray& bytes,
               const QString& kind = QString());
  // Whether the device holds a file of that name, of any kind.
  bool hasFile(const QString& device, const QString& name) const;
  // Replaces the model of `page` on `device` by a fixed reply.
  void setReply(const QString& device, const QString& page, const testing_http::Reply& reply);
  void clearReply(const QString& device, const QString& page);

  QList<CgiRequest> requests() const;
  QList<CgiRequest> requests(const QString& device, const QString& page) const;
  // Connections held silently right now.
  int held() const;
  // Waits up to `ms` until `n` connections are held.
  bool waitForHeld(int n, int ms = 10'000) const;

 private:
  bool handle(int fd, const QString& device, const std::atomic<bool>& stop);
  void giveKinds(const CgiRequest& request);  // under mutex_

  quint16 port_ = 0;
  mutable std::mutex mutex_;
  mutable std::condition_variable changed_;
  // By device, fixed at start.
  std::map<QString, std::unique_ptr<Zarvo::suite::DeviceState>> states_;
  QMap<QString, QMap<QString, QByteArray>> kindless_;           // device -> name -> bytes
  QMap<QPair<QString, QString>, testing_http::Reply> replies_;  // (device, page)
  QList<CgiRequest> requests_;
  int held_ = 0;
  Zarvo::suite::ConnectionHub hub_{64};  // serves every address's connections
  std::vector<std::unique_ptr<Zarvo::suite::LoopbackServer>> servers_;  // last: one per address
};

}  // namespace testing_devices
