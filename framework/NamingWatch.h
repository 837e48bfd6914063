// NamingWatch: keeps this process known to the suite's naming service. A naming service that
// restarted has forgotten every registration, and nothing tells the processes: their commands
// are then unknown to the rest of the suite (and, for the storage manager, every device's
// confirmation goes nowhere) until each process registers again.
//
// Every `interval` it asks the naming service ("NSFindService") for the URL of a command of this
// process; when the answer is not this process's own URL, or there is none, it says so on "info"
// once and registers again. A plain-owned thread: the owner destroys it (which stops it and waits
// for it) before anything it calls into goes.
#pragma once

#include <QString>
#include <QUrl>
#include <atomic>
#include <chrono>
#include <functional>

#include "framework/Thread.h"

namespace Zarvo {

class ServiceClient;

class NamingWatch : public Thread {
 public:
  // `probeCommand` names the command to ask for (looked up at each check; empty: skip the
  // check); `registerAgain` registers the process and returns whether that succeeded. Both run on
  // the watch's thread.
  NamingWatch(ServiceClient& services, QUrl ownUrl, std::function<QString()> probeCommand,
              std::function<bool()> registerAgain, std::chrono::milliseconds interval);
  // Stops the watch (a check under way still ends its exchange) and waits for it.
  ~NamingWatch() override;

  // Checks made so far, and re-registrations among them (for tests).
  int checks() const { return checks_.load(); }
  int reRegistrations() const { return reRegistrations_.load(); }

 protected:
  void run() override;

 private:
  // The URL the naming service gives for `command`; why there is none in `why` otherwise.
  QString askNamingService(const QString& command, QString& why);

  ServiceClient& services_;
  const QUrl ownUrl_;
  const std::function<QString()> probeCommand_;
  const std::function<bool()> registerAgain_;
  const std::chrono::milliseconds interval_;
  std::atomic<int> checks_{0};
  std::atomic<int> reRegistrations_{0};
};

}  // namespace Zarvo
