// TCP9100Sender: downloads files to devices over their raw print port and waits for each
// device's confirmation, which arrives later, on another thread, through notify().
//
// One download per device at a time: a device confirms by address only, so a second download to
// the same device must not start before the first one's confirmation (or its time-out). Each
// address has a Session while downloads to it are under way or queued; its line lock is held for
// a whole download, confirmation included. Downloads to different devices run in parallel.
//
// Lock order: the sender's mutex_ guards the session map and every session's user count and
// confirmation fields; a session's line lock is never waited for while mutex_ is held.
//
// Every wait is bounded (connect, each write stall, close, confirmation), and all but the connect
// also end on a stop: the job's own token, or stopAll() when the service shuts down.
//
//   TCP9100Sender sender(registrations);                    // port 9100, production limits
//   FileOutcome o = sender.send("10.0.0.5", file, job);     // completed(), or
//                                                           // deviceDosntResponse(), timeout(),
//                                                           // the device's own confirmation
#pragma once

#include <QString>
#include <chrono>
#include <condition_variable>
#include <functional>
#include <map>
#include <memory>
#include <mutex>
#include <utility>

#include "framework/StopToken.h"
#include "http/TimeLimits.h"
#include "plugin/DeviceAddressPolicy.h"
#include "plugin/DeviceSender.h"
#include "plugin/TrapRegistration.h"

namespace Zarvo::dsm {

class TCP9100File;

class TCP9100Sender : public DeviceSender {
 public:
  struct Limits {
    std::chrono::milliseconds connect = Zarvo::limits::kDeviceConnect;
    std::chrono::milliseconds writeStall = Zarvo::limits::kDeviceWriteWait;
    std::chrono::milliseconds close = Zarvo::limits::kDeviceClose;
    std::chrono::milliseconds confirm = Zarvo::limits::kConfirmWait;
  };

  using Registration = TrapRegistration;
  using RegistrationFactory = TrapRegistrationFactory;

  static constexpr quint16 kDevicePort = 9100;

  // Port 9100 and the production limits; `registration` is made for every download.
  explicit TCP9100Sender(RegistrationFactory registration);
  // Tests: another port, shorter limits (a null factory: no registration). Downloads go only to
  // the addresses `devices` accepts; any other fails at once with "DeviceDosntResponse", before a
  // registration or a connection is made.
  TCP9100Sender(quint16 port, const Limits& limits, RegistrationFactory registration,
                DeviceAddressPolicy devices = DeviceAddressPolicy());
  // Ends every wait still under way (as stopAll()); the callers of send() must have returned
  // before the sender is destroyed.
  ~TCP9100Sender() override;
  TCP9100Sender(const TCP9100Sender&) = delete;
  TCP9100Sender& operator=(const TCP9100Sender&) = delete;

  // Downloads `file` to the device at `address` and waits for its confirmation; blocks the
  // calling thread for all of it. Results:
  //   confirmed(ok, status)  the device's confirmation: (true, "completed") when stored,
  //                          else (false, its status text);
  //   deviceDosntResponse()  no connection, a write failed or stalled, or the stop came
  //                          before the download began (nothing was sent then) or while the
  //                          file was being written (it was cut short);
  //   timeout()              sent, but no confirmation within the limit, or the stop came
  //                          while waiting for it.
  [[nodiscard]] FileOutcome send(const QString& address, const TCP9100File& file,
                                 const Zarvo::StopToken& stop) override;
  [[nodiscard]] FileOutcome send(const QString& address, const TCP9100File& file) {
    return send(address, file, Zarvo::StopToken());
  }

  // The device at `address` reported the outcome of its download. Kept for the download under
  // way to that address (also when it has not begun to wait yet); dropped when there is none.
  void notify(const QString& address, bool ok, const QString& text);

  // Shutdown: every waiting send() ends now (as on its job's stop) and later ones fail at once
  // with "DeviceDosntResponse". Permanent.
  void stopAll();

  // Addresses with a session (downloads under way or queued); for tests and diagnostics.
  [[nodiscard]] int sessionCount() const;
  // Downloads to `address` under way or queued; for tests and diagnostics.
  [[nodiscard]] int downloadsTo(const QString& address) const;

 private:
  // Downloads to one address queue on `line`; the other fields are guarded by the sender's
  // mutex_. The line is a flag under its own small mutex rather than a plain mutex so that a
  // download waiting in line can give up on a stop.
  struct Session {
    std::mutex lineMutex;
    std::condition_variable lineFree;
    bool lineTaken = false;  // guarded by lineMutex

    std::condition_variable confirmation;  // waited on with the sender's mutex_
    int users = 0;
    bool confirmed = false;        // a confirmation arrived since this download's transfer began
    FileOutcome confirmedOutcome;  // what it carried
  };
  class Lease;
  class Stops;

  // The print-port part: connect, header + content + trailer, graceful close. A stop cuts the
  // writes and the close short.
  // True when the connection was made and every byte went out.
  bool transfer(const QString& address, const TCP9100File& file, const Stops& stops);
  // Waits for `session`'s line; false when a stop came first.
  static bool takeLine(Session& session, const Stops& stops);
  static void releaseLine(Session& session);

  const quint16 port_;
  const Limits limits_;
  const RegistrationFactory registration_;
  const DeviceAddressPolicy devices_;
  Zarvo::StopSource shutdown_;

  mutable std::mutex mutex_;
  std::map<QString, std::shared_ptr<Session>> sessions_;
};

}  // namespace Zarvo::dsm
