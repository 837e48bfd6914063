// Worker threads with a stop token and an interruptible sleep, and the group that deletes
// finished members on the main thread and stops and joins the rest at shutdown.
//
// A body (run()) holds its thread's mutex for its whole run. It polls stopRequested() at
// convenient points, may sleep with sleep(ms) (cut short by requestStop()), hands stopToken() to
// any wait of its own (a StopCallback wakes a condition variable), and may end itself from any
// depth by throwing TerminateThreadException. No exception leaves a body: anything else it
// throws is logged on "err" and the body counts as ended.
//
// Ownership: a thread has exactly one kind of owner, fixed when it is made.
//  - Grouped: constructed with a ThreadGroup. The group deletes it on the group's thread (the
//    main thread) once its body has ended, or at shutdown after stopping it. Nobody else
//    deletes it and it cannot be shared (makeSharedThread refuses it).
//  - Shared: made by makeSharedThread<T>(...), never by hand. The last reference asks the body
//    to stop and joins it BEFORE the object is destroyed, so no member of the derived class
//    dies under a running body. This is how jobs are held: a registry may drop its reference
//    while the job still runs. A last reference dropped by the body itself (it cannot join
//    itself) hands the join and the delete to the main thread.
//  - Plain: constructed without a group and owned by value or unique_ptr. The owner must stop
//    and wait() for the body before the object dies (~Thread waits too, but by then the derived
//    members are already gone: it logs the misuse on "err").
//
// Stop state: a stop concerns one run. start() after a run that has ended begins with a fresh
// stop state, so a retried job does not stop at once because its previous run was stopped. A
// stop requested while no run is active (before the first start, or between two runs) is kept
// for the next run: a cancel that arrives during a retry pause is not lost.
#pragma once

#include <QEvent>
#include <QObject>
#include <QThread>
#include <atomic>
#include <climits>
#include <condition_variable>
#include <cstdint>
#include <memory>
#include <mutex>
#include <stdexcept>
#include <type_traits>
#include <utility>
#include <vector>

#include "framework/StopToken.h"

namespace Zarvo {

// Thrown by a body to end itself; the framework catches it and treats the body as returned.
class TerminateThreadException {};

class Thread;
class ThreadGroup;

// The Qt thread that runs one start() of a Thread.
class ThreadPrivate : public QThread {
 public:
  explicit ThreadPrivate(Thread* thread) : thread_(thread) {}

 protected:
  void run() override;

 private:
  Thread* thread_;  // not owned
};

class Thread {
 public:
  // With a group, the thread joins it (under the group's mutex) and the group owns it.
  explicit Thread(ThreadGroup* group = nullptr);
  // Waits for the running body, if any. Must not run on the thread itself.
  virtual ~Thread();
  Thread(const Thread&) = delete;
  Thread& operator=(const Thread&) = delete;

  // Runs run() on a new Qt thread with the caller's priority. Called again after a run, it
  // first waits for that run to end. Called from inside the body it does nothing (waiting for
  // itself would never end) and logs the misuse on "err". False when the system would not make
  // the thread (thread or memory limits): the run then never began, there is nothing to wait
  // for, and a grouped thread is still its caller's to delete (the group only deletes threads
  // whose body ended).
  bool start();
  // Asks the current run (or, when none is active, the next one) to stop: wakes sleep() and
  // every wait registered on stopToken(). Any thread; takes no body mutex; does not wait.
  void requestStop();
  // Whether a stop was requested for the current (or last, or next) run.
  [[nodiscard]] bool stopRequested() const;
  // The token of the current run (or, when none is active, of the next one). The body hands it
  // to its waits; it stays valid after the run.
  [[nodiscard]] StopToken stopToken() const;
  // The token of the Zarvo::Thread whose body runs on the calling thread (or the one a
  // CurrentStopScope set on it); a token that never stops on any other thread (the main thread,
  // plain Qt threads). Lets deep code (the inter-service client's pauses) honour a stop without
  // the token being passed down.
  [[nodiscard]] static StopToken currentStopToken();

  ThreadGroup* group() const { return group_; }
  // Stack size of the Qt thread made by the next start(); 0 = Qt's default.
  void setStackSize(uint bytes) { stackSize_ = bytes; }
  // For a body that never runs an event loop (blocking sockets only): its Qt thread gets an
  // inert event dispatcher instead of Qt's own, which costs a descriptor per thread, and which
  // Qt aborts the whole process for when the system has no descriptor left. Timers, queued
  // calls and socket notifiers of objects living on such a thread never fire. Before start().
  void setWithoutEventLoop() { withoutEventLoop_ = true; }
  // Waits up to `ms` (ULONG_MAX = no limit) for the current run to end. True when no body runs
  // (never started, or ended); false on time-out or when called from the body itself.
  bool wait(unsigned long ms = ULONG_MAX);

 protected:
  virtual void run() = 0;
  // Interruptible sleep for the body: returns true when a stop was requested, at once if it
  // already was, otherwise false after `ms`. A requestStop() racing with the start of the
  // sleep is never lost.
  bool sleep(unsigned long ms);

 private:
  friend class ThreadPrivate;
  friend class ThreadGroup;
  friend class DeleteThreadEvent;
  friend struct ThreadDeleter;
  template <class T, class... Args>
  friend std::shared_ptr<T> makeSharedThread(Args&&... args);

  enum class Owner { Plain, Group, Shared };

  bool onOwnThread() const;
  // Waits up to `ms` (ULONG_MAX: no limit) for the run of private_ to end; the caller holds
  // controlMutex_ and private_ exists.
  bool joinRun(unsigned long ms);
  // Marks a new plain thread as shared-owned; throws std::logic_error for a grouped one.
  void becomeShared();

  std::mutex controlMutex_;  // guards private_ between start(), wait() and the group's join
  std::unique_ptr<ThreadPrivate> private_;
  std::mutex mutex_;  // held by the framework for the whole of run()
  // The stop state of the current or next run. Its own small mutex: the body holds mutex_ for
  // its whole run, so a requester could never take that one.
  mutable std::mutex stopMutex_;
  StopSource stopSource_;
  bool stopSourceSpent_ = false;  // stopSource_ belongs to a run that has ended
  bool bodyRunning_ = false;      // between start() and the end of that run's body
  // Signalled when a body ends. Waiting on it (not only on the Qt thread) makes the end of the
  // body visible to tools that do not see inside Qt's own locks.
  std::condition_variable bodyEnded_;
  ThreadGroup* group_;
  Owner owner_;
  uint stackSize_ = 0;
  bool withoutEventLoop_ = false;
  const std::uint64_t serial_;  // tells a recycled address from the thread an event was for
};

// For a plain thread working on behalf of a Zarvo::Thread (a helper of a job): while the scope
// lives, Thread::currentStopToken() on the thread that made it gives `token`. Scopes nest.
class [[nodiscard]] CurrentStopScope {
 public:
  explicit CurrentStopScope(StopToken token);
  ~CurrentStopScope();
  CurrentStopScope(const CurrentStopScope&) = delete;
  CurrentStopScope& operator=(const CurrentStopScope&) = delete;

 private:
  StopToken token_;
  const StopToken* previous_;
};

// The deleter of a shared-owned thread: stop, join, then delete.
struct ThreadDeleter {
  void operator()(Thread* thread) const;
};

// Makes a shared-owned thread (see the ownership notes at the top). T must derive from Thread
// and be constructed without a group; a grouped T throws std::logic_error (the object is
// destroyed again before anything started).
template <class T, class... Args>
std::shared_ptr<T> makeSharedThread(Args&&... args) {
  static_assert(std::is_base_of_v<Thread, T>, "makeSharedThread makes Zarvo::Thread objects");
  std::unique_ptr<T> made(new T(std::forward<Args>(args)...));
  static_cast<Thread*>(made.get())->becomeShared();
  return std::shared_ptr<T>(made.release(), ThreadDeleter());
}

// Posted to the group when a member's body has ended.
class DeleteThreadEvent : public QEvent {
 public:
  static constexpr QEvent::Type kType = QEvent::Type(1002);
  explicit DeleteThreadEvent(Thread* t);
  Thread* thread() const { return thread_.load(std::memory_order_relaxed); }

 private:
  friend class ThreadGroup;
  // Atomic because they cross threads through Qt's event queue, whose locks the thread sanitizer
  // cannot see; the thread itself is synchronised by its destructor's wait.
  std::atomic<Thread*> thread_;
  std::atomic<std::uint64_t> serial_;
};

class ThreadGroup : public QObject {
 public:
  ThreadGroup();
  // Stops and joins every member (terminateAll), then deletes the members it still owns.
  ~ThreadGroup() override;
  ThreadGroup(const ThreadGroup&) = delete;
  ThreadGroup& operator=(const ThreadGroup&) = delete;

  // For each member in joining order: request a stop and wait, without a time limit, for its
  // body to end. Afterwards the group has no members; it still deletes the stopped threads
  // (on their deletion events, or at the latest when the group is destroyed).
  void terminateAll();
  // Number of members (threads joined and not yet deleted or terminated).
  int size() const;

 protected:
  void customEvent(QEvent* e) override;

 private:
  friend class Thread;
  friend class ThreadPrivate;  // posts under mutex_

  // Removes `t` from both lists; true when it was there (so it is still the group's to delete).
  bool release(Thread* t, std::uint64_t serial);

  mutable std::mutex mutex_;
  std::vector<Thread*> members_;
  std::vector<Thread*> stopped_;  // left by terminateAll, still owned until deleted
};

}  // namespace Zarvo
