// A loopback stand-in for a device's raw print port. It listens on 127.0.0.N (port 0 by default,
// or a given one such as 9100), takes each connection as one download and records its exact
// bytes; the download is complete when the sender closes its side. A test tells it how to behave
// towards the next connections:
//
//   take      read everything (the default)
//   slowly    read `chunk` bytes, then pause, until the sender closes
//   stall     accept, then read nothing until the printer is destroyed or set back
//   dropAfter read K bytes, then reset the connection (a device gone mid-transfer)
//   refuse    not listening: a connection attempt is refused at once
//   unanswered listening, but never accepting, with the accept queue full: a connection
//             attempt is neither taken nor refused, as with a device that is switched off
//
// onDownload() runs a callback on the printer's thread after each complete download, before the
// printer closes its side: the test wires it to the sender's notify() (at once, late, or never)
// or to the SNMP service's trap. onAccept() runs one before the first byte is read.
//
// The bytes are only recorded, never judged, unless storeInto() gives the printer a
// Zarvo::suite::DeviceState: then each complete download is read and stored the way the suite's
// simulated printers do it, so the same state's pages (FakeCgiDevices) serve what was sent.
// Every wait is bounded, and the destructor ends every connection and joins every thread.
#pragma once

#include <QByteArray>
#include <QList>
#include <QString>
#include <QtGlobal>
#include <atomic>
#include <chrono>
#include <condition_variable>
#include <functional>
#include <list>
#include <mutex>
#include <thread>

#include "suite/DeviceState.h"

namespace testing_printer {

class FakePrinter {
 public:
  struct Download {
    int index = 0;          // counted from 0 in the order of connection
    QByteArray bytes;       // empty when the printer keeps no bytes
    qint64 size = 0;        // bytes read
    bool complete = false;  // the sender closed its side (not cut by the printer)
    // With storeInto(): "completed" when the bytes were one well-formed download (now stored),
    // else the failure status the device reports ("BadPJL", "IncompleteData", ...). Else "".
    QString status;
    std::chrono::steady_clock::time_point accepted;
    std::chrono::steady_clock::time_point finished;
  };
  using Callback = std::function<void(const Download&)>;

  // Listens on host:port (port 0: the system chooses). Aborts the test process when the address
  // cannot be bound: nothing could be tested then.
  explicit FakePrinter(const QString& host = QStringLiteral("127.0.0.1"), quint16 port = 0);
  ~FakePrinter();
  FakePrinter(const FakePrinter&) = delete;
  FakePrinter& operator=(const FakePrinter&) = delete;

  [[nodiscard]] const QString& host() const { return host_; }
  [[nodiscard]] quint16 port() const { return port_; }

  // Behaviour towards the connections accepted from now on.
  void take();
  void slowly(qint64 chunk, std::chrono::milliseconds pause);
  void stall();
  void dropAfter(qint64 bytes);
  // Closes the listening socket (refuse) or fills its accept queue (unanswered); take(),
  // slowly(), stall() and dropAfter() listen again on the same port (and host) before they
  // return, so a connection made after them reaches the printer.
  void refuse();
  void unanswered();

  // Bytes the printer sends on each new connection once it has read `after` bytes (a device that
  // reports its status unasked); the sender never reads them.
  void talkBack(const QByteArray& bytes, qint64 after = 0);

  // Whether the bytes are kept (default) or only counted (benchmarks of large downloads).
  void keepBytes(bool keep);

  // Stores each complete download from now on into `state` (null: no more), before
  // onDownload() runs; `state` outlives the printer. Needs the bytes kept.
  void storeInto(Zarvo::suite::DeviceState* state);

  // Runs when a connection is accepted, on the printer's thread, before a byte is read: the
  // sender cannot finish a download larger than the socket buffers before it has returned.
  void onAccept(Callback callback);

  // Runs after each complete download, on the printer's thread; set before the downloads.
  void onDownload(Callback callback);

  // Downloads so far (complete or cut), in the order of connection.
  [[nodiscard]] QList<Download> downloads() const;
  // Waits until `count` downloads have ended (complete or cut); false after `limit`.
  bool waitForDownloads(int count, std::chrono::milliseconds limit) const;
  [[nodiscard]] int connections() const;
  // Waits until `count` connections were accepted; false after `limit`.
  bool waitForConnections(int count, std::chrono::milliseconds limit) const;

 private:
  enum class Mode { kTake, kSlow, kStall, kDrop };

  void applyListening();  // on the acceptor's thread, under mutex_
  void listenAgain();     // after refuse() or unanswered(): a normal listening socket again
  void acceptLoop();
  void serve(int fd, int index);
  void setListening(bool listening, bool unanswered);

  const QString host_;
  quint16 port_ = 0;

  mutable std::mutex mutex_;
  mutable std::condition_variable changed_;
  Mode mode_ = Mode::kTake;
  qint64 chunk_ = 0;
  std::chrono::milliseconds pause_{0};
  qint64 dropAfter_ = 0;
  bool stop_ = false;
  bool keep_ = true;
  // What the test asked for, and what the acceptor has put in place (generations).
  bool wantListening_ = true;
  bool wantUnanswered_ = false;
  int asked_ = 0;
  int applied_ = 0;
  int listenFd_ = -1;  // owned by the acceptor's thread
  bool unanswered_ = false;
  QList<int> fillers_;  // our own connections that keep the accept queue full
  Callback callback_;
  Callback acceptCallback_;
  Zarvo::suite::DeviceState* state_ = nullptr;
  QByteArray talk_;
  qint64 talkAfter_ = 0;
  QList<Download> downloads_;
  int ended_ = 0;

  std::list<std::thread> servers_;  // one per connection; joined by the destructor
  std::thread acceptor_;
};

}  // namespace testing_printer
