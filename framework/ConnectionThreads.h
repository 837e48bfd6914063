// ConnectionThreads: the threads the HTTP connections run on. Each connection still has a thread
// to itself for its whole life, but a thread whose connection has ended does not exit at once: up
// to `maxIdle` of them wait (at most `idleWait` each) for the next connection, which then costs
// no thread creation, the larger part of the system's work per request otherwise. The thread
// that became idle last serves next: its stack and data are the ones still in the caches.
//
// The threads are members of the host's thread group, so the group's stop at shutdown ends an
// idle thread at once and a busy one after its connection, and the group deletes each on the
// main thread when it ends. A thread the system refuses to make is reported as such, never
// waited for.
//
// When a burst of many connections at once is over (none left in progress), the memory the
// allocator keeps for their threads' heaps goes back to the system: otherwise each burst left
// megabytes behind that nothing used any more.
//
//   ConnectionThreads threads(group);
//   if (!threads.run([] { serve(); }, 256 * 1024)) closeTheConnection();
#pragma once

#include <QtGlobal>
#include <chrono>
#include <functional>
#include <mutex>
#include <vector>

namespace Zarvo {

class StopToken;
class ThreadGroup;

class ConnectionThreads {
 public:
  struct Limits {
    int maxIdle = 64;                            // finished threads kept waiting at once
    std::chrono::milliseconds idleWait{60'000};  // how long each waits for a connection
    int burst = 128;  // connections at once after which free memory is handed back
  };

  // Threads join `group`, which must be stopped (terminateAll(), or its destruction) before this
  // object is destroyed: a waiting thread uses it.
  explicit ConnectionThreads(ThreadGroup* group) : ConnectionThreads(group, Limits()) {}
  ConnectionThreads(ThreadGroup* group, Limits limits) : group_(group), limits_(limits) {}
  ConnectionThreads(const ConnectionThreads&) = delete;
  ConnectionThreads& operator=(const ConnectionThreads&) = delete;

  // Runs `task` on a waiting thread, or on a new one with a stack of `stackSize` bytes (0: Qt's
  // default). False when no thread waited and the system would not make one; `task` is then
  // dropped unrun. Called on the group's thread (where ended threads are deleted).
  [[nodiscard]] bool run(std::function<void()> task, uint stackSize);

  // Threads waiting for a connection now.
  int idle() const;

 private:
  class Worker;

  // A worker's wait for its next task; false when it should end instead.
  bool nextTask(Worker& worker, const StopToken& stop);
  // A worker's task has ended.
  void taskEnded();

  ThreadGroup* const group_;
  const Limits limits_;
  mutable std::mutex mutex_;
  std::vector<Worker*> idle_;  // waiting workers, the one that came last at the back
  int busy_ = 0;               // tasks running or handed over
  int peak_ = 0;               // most tasks at once since memory was last handed back
};

}  // namespace Zarvo
