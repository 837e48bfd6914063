// Worker threads with a cancellation flag and an interruptible sleep, and the group that deletes
// finished members on the main thread and stops and joins the rest at shutdown.
//
// A body (run()) holds its thread's mutex for its whole run. It polls stopRequested() at
// convenient points, may sleep with sleep(ms) (cut short by requestStop()), and may end itself
// from any depth by throwing TerminateThreadException. No exception leaves a body: anything
// else it throws is logged on "err" and the body counts as ended.
//
// A grouped thread belongs to its group: once its body has ended, the group deletes it on the
// group's thread (the main thread) at the next pass of the event loop. An ungrouped thread is
// deleted by its owner after the body has ended; the destructor waits for the body.
#pragma once

#include <QEvent>
#include <QMutex>
#include <QObject>
#include <QThread>
#include <QWaitCondition>
#include <atomic>
#include <climits>
#include <cstdint>
#include <memory>
#include <vector>

// Thrown by a body to end itself; the framework catches it and treats the body as returned.
class TerminateThreadException {};

namespace Zarvo {

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
  // itself would never end) and logs the misuse on "err".
  void start();
  // Sets the stop flag and wakes a sleeping body at once. Any thread; takes no body mutex;
  // does not wait. The flag is never cleared.
  void requestStop();
  bool stopRequested() const { return stopRequested_.load(std::memory_order_acquire); }
  ThreadGroup* group() const { return group_; }
  // Stack size of the Qt thread made by the next start(); 0 = Qt's default.
  void setStackSize(uint bytes) { stackSize_ = bytes; }
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

  bool onOwnThread() const;

  QMutex controlMutex_;  // guards private_ between start(), wait() and the group's join
  std::unique_ptr<ThreadPrivate> private_;
  // The sleep handshake has its own small mutex: the body holds mutex_ for its whole run, so a
  // waker could never take that one.
  QWaitCondition condition_;
  QMutex sleepMutex_;
  QMutex mutex_;  // held by the framework for the whole of run()
  std::atomic<bool> stopRequested_{false};
  ThreadGroup* group_;
  uint stackSize_ = 0;
  const std::uint64_t serial_;  // tells a recycled address from the thread an event was for
};

// Posted to the group when a member's body has ended.
class DeleteThreadEvent : public QEvent {
 public:
  static constexpr QEvent::Type kType = QEvent::Type(1002);
  explicit DeleteThreadEvent(Thread* t);
  Thread* thread() const { return thread_; }

 private:
  friend class ThreadGroup;
  Thread* thread_;
  std::uint64_t serial_;
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

  // Removes `t` from both lists; true when it was there (so it is still the group's to delete).
  bool release(Thread* t, std::uint64_t serial);

  mutable QMutex mutex_;
  std::vector<Thread*> members_;
  std::vector<Thread*> stopped_;  // left by terminateAll, still owned until deleted
};

}  // namespace Zarvo
