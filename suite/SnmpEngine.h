// The one thread of the process that talks SNMP: every simulated printer's agent, the trap
// receiver and the SNMP service's requests to devices run on its loop, so net-snmp (which locks
// nothing, see NetSnmp.h) is only ever entered from here. It polls every socket it was given
// (any number of them, descriptors above 1024 included) and drives the retries and time-outs of
// the requests in flight; other threads hand it work with post() or call().
//
// Nothing on the loop may block: handlers read one datagram, answer it and return; waits are
// timers. A request of the SNMP service is a state machine on the loop, and the service's thread
// waits for its outcome (SnmpClient.h).
#pragma once

#include <QtGlobal>
#include <atomic>
#include <chrono>
#include <condition_variable>
#include <deque>
#include <functional>
#include <map>
#include <mutex>
#include <thread>
#include <vector>

namespace Zarvo::suite::snmp {

class SnmpEngine {
 public:
  using Clock = std::chrono::steady_clock;
  using TimerId = quint64;

  SnmpEngine();   // sets the library up (once per process) and starts the loop
  ~SnmpEngine();  // stop()
  SnmpEngine(const SnmpEngine&) = delete;
  SnmpEngine& operator=(const SnmpEngine&) = delete;

  // Queues `task` for the loop. False (and the task dropped) once the engine stops.
  bool post(std::function<void()> task);
  // Runs `task` on the loop and waits until it has run (at once when called on the loop). False
  // when the engine stopped first.
  bool call(const std::function<void()>& task);
  bool isLoopThread() const { return std::this_thread::get_id() == loopId_; }

  // Ends the loop after the task it runs; sessions still registered are closed. Idempotent.
  void stop();

  // --- On the loop only ------------------------------------------------------------------------
  // Calls `onReadable` whenever the descriptor has data. The engine never closes it.
  void watch(int fd, std::function<void()> onReadable);
  void unwatch(int fd);
  TimerId after(std::chrono::milliseconds delay, std::function<void()> task);
  void cancel(TimerId timer);
  // A net-snmp single-API session whose datagrams the loop reads; its own callback handles them.
  // A client session (one that sends requests and waits for answers) also gets its retries and
  // time-outs driven. The engine closes a session only in closeLater() and at stop.
  void addSession(void* session, bool client);
  // Unregisters and closes the session once the current handler has returned: the library still
  // uses a session after the callback it is running returns.
  void closeLater(void* session);
  std::size_t sessionCount() const { return sessions_.size(); }

 private:
  struct Session {
    bool client;
  };
  void run();
  void runTasks();
  void runTimers();
  void readSession(void* session, int fd);
  void wake();

  std::thread thread_;
  std::mutex joinMutex_;  // one stop() joins, any other waits for it
  std::thread::id loopId_;
  int wakeFd_ = -1;

  std::mutex mutex_;  // guards tasks_ and stopping_
  std::deque<std::function<void()>> tasks_;
  bool stopping_ = false;

  // Loop-only state.
  std::map<int, std::function<void()>> watched_;
  std::map<void*, Session> sessions_;
  std::vector<void*> closing_;
  struct Timer {
    TimerId id;
    std::function<void()> task;
  };
  std::multimap<Clock::time_point, Timer> timers_;
  TimerId nextTimer_ = 1;
  void* readSet_ = nullptr;  // a netsnmp_large_fd_set, grown as descriptors grow
  int readSetSize_ = 0;
};

}  // namespace Zarvo::suite::snmp
