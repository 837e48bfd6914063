// Worker threads and thread groups.
#include "framework/Thread.h"

#include <QCoreApplication>
#include <QDeadlineTimer>
#include <QMutexLocker>
#include <algorithm>
#include <exception>

#include "framework/Log.h"

#if defined(__GLIBCXX__)
#include <cxxabi.h>
#endif

namespace Zarvo {

namespace {
std::atomic<std::uint64_t> nextSerial{1};
}  // namespace

void ThreadPrivate::run() {
  Thread* t = thread_;
  QMutexLocker bodyLock(&t->mutex_);
  try {
    t->run();
  } catch (const TerminateThreadException&) {
    // The body's way of ending itself early: a normal end.
#if defined(__GLIBCXX__)
  } catch (abi::__forced_unwind&) {
    throw;  // thread cancellation must be allowed to unwind the thread
#endif
  } catch (const std::exception& e) {
    // Left alone it would end the whole process; the body counts as ended instead.
    ZLOG("err") << "Thread ended by an exception: " << e.what();
  } catch (...) {
    ZLOG("err") << "Thread ended by an exception of unknown type";
  }
  if (ThreadGroup* group = t->group_) {
    QCoreApplication::postEvent(group, new DeleteThreadEvent(t));
  }
  // bodyLock unlocks here; the group's deletion waits for this Qt thread to finish first.
}

Thread::Thread(ThreadGroup* group) : group_(group), serial_(nextSerial.fetch_add(1)) {
  if (group_) {
    QMutexLocker lock(&group_->mutex_);
    group_->members_.push_back(this);
  }
}

Thread::~Thread() {
  if (onOwnThread()) {
    // Cannot wait for itself; leaking the Qt thread object beats destroying it while it runs.
    ZLOG("err") << "Thread object destroyed by its own body";
    (void)private_.release();
  } else {
    wait();
    private_.reset();
  }
  // Normally the group has already let go (it is the one deleting); an owner deleting a grouped
  // thread directly must not leave a dangling member behind.
  if (group_) group_->release(this, serial_);
}

bool Thread::onOwnThread() const {
  // private_ is only replaced by start(), which refuses to run on the body's thread.
  return private_ && QThread::currentThread() == private_.get();
}

void Thread::start() {
  if (onOwnThread()) {
    ZLOG("err") << "Thread restarted from its own body; ignored";
    return;
  }
  QMutexLocker lock(&controlMutex_);
  if (private_) {
    private_->wait();
    private_.reset();
  }
  private_ = std::make_unique<ThreadPrivate>(this);
  if (stackSize_ != 0) private_->setStackSize(stackSize_);
  private_->start(QThread::InheritPriority);
}

void Thread::requestStop() {
  stopRequested_.store(true, std::memory_order_release);
  // Taking the sleep mutex orders this wake after a sleeper's flag check: either the sleeper
  // saw the flag, or it is already waiting and gets the wake.
  QMutexLocker lock(&sleepMutex_);
  condition_.wakeAll();
}

bool Thread::sleep(unsigned long ms) {
  constexpr unsigned long kForever = static_cast<unsigned long>(LLONG_MAX / 2);
  QDeadlineTimer deadline(ms >= kForever ? QDeadlineTimer(QDeadlineTimer::Forever)
                                         : QDeadlineTimer(static_cast<qint64>(ms)));
  QMutexLocker lock(&sleepMutex_);
  while (!stopRequested()) {
    // Loop for spurious wake-ups; the deadline keeps the total wait at `ms`.
    if (!condition_.wait(&sleepMutex_, deadline) && deadline.hasExpired()) break;
  }
  return stopRequested();
}

bool Thread::wait(unsigned long ms) {
  if (onOwnThread()) return false;
  QMutexLocker lock(&controlMutex_);
  if (!private_) return true;
  return private_->wait(ms);
}

DeleteThreadEvent::DeleteThreadEvent(Thread* t)
    : QEvent(kType), thread_(t), serial_(t ? t->serial_ : 0) {}

ThreadGroup::ThreadGroup() = default;

ThreadGroup::~ThreadGroup() {
  terminateAll();
  std::vector<Thread*> owned;
  {
    QMutexLocker lock(&mutex_);
    owned.swap(stopped_);
  }
  // Their deletion events die with this object; the bodies have ended, so this cannot block.
  for (Thread* t : owned) delete t;
}

void ThreadGroup::terminateAll() {
  // The group mutex is not held while waiting: a body that ends by creating or deleting a
  // grouped thread would otherwise deadlock the shutdown. Threads that join meanwhile are
  // taken in the next round.
  for (;;) {
    std::vector<Thread*> round;
    {
      QMutexLocker lock(&mutex_);
      if (members_.empty()) return;
      round.swap(members_);
    }
    // Ask all first so the bodies wind down together; shutdown then takes as long as the
    // slowest body, not the sum of them.
    for (Thread* t : round) t->requestStop();
    for (Thread* t : round) t->wait();
    QMutexLocker lock(&mutex_);
    stopped_.insert(stopped_.end(), round.begin(), round.end());
  }
}

int ThreadGroup::size() const {
  QMutexLocker lock(&mutex_);
  return static_cast<int>(members_.size());
}

bool ThreadGroup::release(Thread* t, std::uint64_t serial) {
  QMutexLocker lock(&mutex_);
  for (auto* list : {&members_, &stopped_}) {
    auto it = std::find(list->begin(), list->end(), t);
    if (it != list->end() && (*it)->serial_ == serial) {
      list->erase(std::remove(list->begin(), list->end(), t), list->end());
      return true;
    }
  }
  return false;
}

void ThreadGroup::customEvent(QEvent* e) {
  if (e->type() != DeleteThreadEvent::kType) return;
  auto* event = static_cast<DeleteThreadEvent*>(e);
  // Only a thread still owned here is deleted: one deleted by other means, or a stale event
  // whose address now belongs to a newer member, is left alone. The delete happens outside the
  // group mutex because the thread's destructor takes it too.
  if (release(event->thread_, event->serial_)) delete event->thread_;
}

}  // namespace Zarvo
