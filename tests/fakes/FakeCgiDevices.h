// FakeCgiDevices: the web pages of several devices on loopback. Each device is an address
// 127.0.0.N; all of them listen on one port (0 picks a free one; 80 as on real devices, which
// needs root), so a job given that port reaches each device by its address alone.
//
// The pages are modelled: "DSMGetFiles.cgi" answers the bytes of a file the device holds (404
// for one it does not), "DSMDeletefiles.cgi" removes every named file and answers 200. A
// scripted reply replaces the model for one page of one device: another status, an empty body,
// or holding the connection without a word until the client gives up (a hung page).
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
#include <atomic>
#include <condition_variable>
#include <mutex>
#include <thread>
#include <vector>

namespace testing_devices {

struct CgiRequest {
  QString device;                            // the address the request arrived on
  QString page;                              // path without the leading "/"
  QList<QPair<QString, QByteArray>> fields;  // multipart parts (name, value), in order
};

struct CgiReply {
  int status = 200;
  QByteArray body;
  bool answer = true;  // false: hold the connection silently
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

  void putFile(const QString& device, const QString& name, const QByteArray& bytes);
  bool hasFile(const QString& device, const QString& name) const;
  // Replaces the model of `page` on `device` by a fixed reply.
  void setReply(const QString& device, const QString& page, const CgiReply& reply);
  void clearReply(const QString& device, const QString& page);

  QList<CgiRequest> requests() const;
  QList<CgiRequest> requests(const QString& device, const QString& page) const;
  // Connections held silently right now.
  int held() const;
  // Waits up to `ms` until `n` connections are held.
  bool waitForHeld(int n, int ms = 10'000) const;

 private:
  void serve();
  void handle(int fd, QString device);
  CgiReply answer(const CgiRequest& request);

  std::vector<std::pair<int, QString>> listeners_;  // (descriptor, address)
  quint16 port_ = 0;
  std::atomic<bool> stop_{false};
  mutable std::mutex mutex_;
  mutable std::condition_variable changed_;
  QMap<QString, QMap<QString, QByteArray>> files_;   // device -> name -> bytes
  QMap<QPair<QString, QString>, CgiReply> replies_;  // (device, page)
  QList<CgiRequest> requests_;
  int held_ = 0;
  std::vector<std::thread> connections_;  // guarded by mutex_
  std::thread acceptor_;
};

}  // namespace testing_devices
