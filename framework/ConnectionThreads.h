// ConnectionThreads: the threads the HTTP connections run on. Each connection still has a thread
// to itself for its whole life, but a thread whose connection has ended does not exit at once: up
// to `maxIdle` of them wait (at most `idleWait` each) for the next connection, which then costs
// no thread creation, the larger part of the system's work per request otherwise.
//
// The threads are members of the host's thread group, so the group's stop at shutdown ends an
// idle thread at once and a busy one after its connection, and the group deletes each on the
// main thread when it ends. A thread the system refuses to make is reported as such, never
// waited for.
//
//   ConnectionThreads threads(group);
//   if (!threads.run([] { serve(); }, 256 * 1024)) closeTheConnection();
#pragma once

#include <QtGlobal>
#include <chrono>
#include <condition_variable>
#include <deque>
#include <functional>
#include <mutex>

namespace Zarvo {

class StopToken;
class ThreadGroup;

class ConnectionThreads {
 public:
  struct Limits {
    int maxIdle = 64;                            // finished threads kept waiting at once
    std::chrono::milliseconds idleWait{60'000};  // how long each waits for a connection
  };

  // Threads join `group`, which must outlive this object's use and be destroyed (stopping and
  // joining its members) before this object is.
  explicit ConnectionThreads(ThreadGroup* group) : ConnectionThreads(group, Limits()) {}
  ConnectionThreads(ThreadGroup* group, Limits limits) : group_(group), limits_(limits) {}
  ConnectionThreads(const ConnectionThreads&) = delete;
  ConnectionThreads& operator=(const ConnectionThreads&) = delete;

  // Runs `task` on a waiting thread, or on a new one with a stack of `stackSize` bytes (0: Qt's
  // default). False when no thread waited and the system would not make one; `task` is then
  // dropped unrun.
  [[nodiscard]] bool run(std::function<void()> task, uint stackSize);

  // Threads waiting for a connection now.
  int idle() const;

 private:
  class Worker;

  // A worker's wait for its next task; false when it should end instead.
  bool nextTask(std::function<void()>& task, const StopToken& stop);

  ThreadGroup* const group_;
  const Limits limits_;
  mutable std::mutex mutex_;
  std::condition_variable handedOver_;
  // Tasks handed to waiting workers and not yet taken: each was given to one worker counted in
  // idle_, which the hand-over took off the count (so two tasks never count on one worker).
  std::deque<std::function<void()>> handed_;
  int idle_ = 0;  // workers waiting with no task handed to them
};

}  // namespace Zarvo
