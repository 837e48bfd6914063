// Worker threads and thread groups.
#include "framework/Thread.h"

#include <QAbstractEventDispatcher>
#include <QCoreApplication>
#include <QDeadlineTimer>
#include <algorithm>
#include <exception>

#include "framework/Log.h"

#if defined(__GLIBCXX__)
#include <cxxabi.h>
#endif

namespace Zarvo {

namespace {
std::atomic<std::uint64_t> nextSerial{1};
// The Zarvo::Thread whose body runs on this thread, if any.
thread_local Thread* tlsCurrent = nullptr;
// The token a CurrentStopScope set on this thread, if any; it wins over tlsCurrent's.
thread_local const StopToken* tlsScopedStop = nullptr;

// Shared threads whose bodies dropped the last reference to themselves, waiting for the main
// thread to join and delete them.
std::mutex orphansMutex;
std::vector<Thread*>& orphans() {
  static auto* list = new std::vector<Thread*>;  // reachable until exit
  return *list;
}

// Joins and deletes the orphans on the application's thread.
class OrphanReaper : public QObject {
 protected:
  void customEvent(QEvent*) override {
    std::vector<Thread*> due;
    {
      std::lock_guard<std::mutex> lock(orphansMutex);
      due.swap(orphans());
    }
    for (Thread* t : due) {
      t->wait();
      delete t;
    }
  }
};

// The event dispatcher of a thread whose body never runs an event loop: it holds nothing and
// wakes nobody. Qt's own would open a descriptor for its wake-ups.
class InertEventDispatcher : public QAbstractEventDispatcher {
 public:
  bool processEvents(QEventLoop::ProcessEventsFlags) override { return false; }
  void registerSocketNotifier(QSocketNotifier*) override {}
  void unregisterSocketNotifier(QSocketNotifier*) override {}
  void registerTimer(int, qint64, Qt::TimerType, QObject*) override {}
  bool unregisterTimer(int) override { return false; }
  bool unregisterTimers(QObject*) override { return false; }
  QList<TimerInfo> registeredTimers(QObject*) const override { return {}; }
  int remainingTime(int) override { return -1; }
  void wakeUp() override {}
  void interrupt() override {}
};

// Made on first use (caller holds orphansMutex) and handed to the application's thread.
QObject* orphanReaper(QCoreApplication* app) {
  static OrphanReaper* reaper = nullptr;
  if (!reaper) {
    reaper = new OrphanReaper;  // lives until exit, like the application's thread
    reaper->moveToThread(app->thread());
  }
  return reaper;
}
}  // namespace

void ThreadPrivate::run() {
  Thread* t = thread_;
  tlsCurrent = t;
  std::unique_lock<std::mutex> bodyLock(t->mutex_);
  try {
    t->run();
  } catch (const TerminateThreadException&) {
    // The body's way of ending itself early: a normal end.
#if defined(__GLIBCXX__)
  } catch (abi::__forced_unwind&) {
    tlsCurrent = nullptr;
    throw;  // thread cancellation must be allowed to unwind the thread
#endif
  } catch (const std::exception& e) {
    // Left alone it would end the whole process; the body counts as ended instead.
    ZLOG("err") << "Thread ended by an exception: " << e.what();
  } catch (...) {
    ZLOG("err") << "Thread ended by an exception of unknown type";
  }
  bodyLock.unlock();
  tlsCurrent = nullptr;
  // Everything read from `t` is read before the end is announced: from then on its owner may
  // go ahead (and the thread sanitizer, which cannot see QThread::wait(), must see the order).
  ThreadGroup* group = t->group_;
  DeleteThreadEvent* event = group ? new DeleteThreadEvent(t) : nullptr;
  {
    std::unique_lock<std::mutex> stopLock(t->stopMutex_);
    t->stopSourceSpent_ = true;  // a later stop or start concerns the next run
    t->bodyRunning_ = false;
    t->bodyEnded_.notify_all();
  }
  if (group) {
    // Posted under the group's mutex, which customEvent takes before reading the event: the
    // hand-over is then ordered by a lock the thread sanitizer sees, not only by Qt's queue.
    // The group outlives this: its destruction joins this Qt thread first.
    std::lock_guard<std::mutex> handover(group->mutex_);
    QCoreApplication::postEvent(group, event);
  }
}

Thread::Thread(ThreadGroup* group)
    : group_(group), owner_(group ? Owner::Group : Owner::Plain), serial_(nextSerial.fetch_add(1)) {
  if (group_) {
    std::unique_lock<std::mutex> lock(group_->mutex_);
    group_->members_.push_back(this);
  }
}

Thread::~Thread() {
  if (onOwnThread()) {
    // Cannot wait for itself; leaking the Qt thread object beats destroying it while it runs.
    ZLOG("err") << "Thread object destroyed by its own body";
    (void)private_.release();
  } else {
    std::unique_lock<std::mutex> lock(controlMutex_);
    if (private_) {
      bool running;
      {
        std::unique_lock<std::mutex> stopLock(stopMutex_);
        running = bodyRunning_;
      }
      if (running) {
        // The derived members are already gone while the body may still use them: the owner
        // should have stopped and waited first (a shared owner does that in ThreadDeleter).
        ZLOG("err") << "Thread object destroyed while its body runs";
      }
      joinRun(ULONG_MAX);
      private_.reset();
    }
  }
  // Normally the group has already let go (it is the one deleting); an owner deleting a grouped
  // thread directly must not leave a dangling member behind.
  if (group_) group_->release(this, serial_);
}

bool Thread::onOwnThread() const { return tlsCurrent == this; }

void Thread::becomeShared() {
  if (owner_ != Owner::Plain) {
    throw std::logic_error("a grouped Zarvo::Thread cannot also be owned by a shared pointer");
  }
  owner_ = Owner::Shared;
}

bool Thread::start() {
  if (onOwnThread()) {
    ZLOG("err") << "Thread restarted from its own body; ignored";
    return false;
  }
  std::unique_lock<std::mutex> lock(controlMutex_);
  if (private_) {
    joinRun(ULONG_MAX);
    private_.reset();
  }
  {
    std::unique_lock<std::mutex> stopLock(stopMutex_);
    if (stopSourceSpent_) {
      stopSource_ = StopSource();
      stopSourceSpent_ = false;
    }
    bodyRunning_ = true;
  }
  private_ = std::make_unique<ThreadPrivate>(this);
  if (stackSize_ != 0) private_->setStackSize(stackSize_);
  if (withoutEventLoop_) private_->setEventDispatcher(new InertEventDispatcher);
  private_->start(QThread::InheritPriority);
  // Qt reports a refused thread only as a warning; the thread is then neither running nor
  // finished (a body that already ended counts as finished).
  if (private_->isRunning() || private_->isFinished()) return true;
  private_.reset();
  std::unique_lock<std::mutex> stopLock(stopMutex_);
  stopSourceSpent_ = true;  // no run is active: a later stop is for the next one
  bodyRunning_ = false;
  bodyEnded_.notify_all();
  return false;
}

void Thread::requestStop() {
  StopSource source;
  {
    std::unique_lock<std::mutex> lock(stopMutex_);
    if (stopSourceSpent_) {  // no run active: the stop is for the next one
      stopSource_ = StopSource();
      stopSourceSpent_ = false;
    }
    source = stopSource_;
  }
  // Outside stopMutex_: the stop callbacks take their owners' locks, and those owners may ask
  // for stopToken() meanwhile.
  source.requestStop();
}

bool Thread::stopRequested() const {
  std::unique_lock<std::mutex> lock(stopMutex_);
  return stopSource_.stopRequested();
}

StopToken Thread::stopToken() const {
  std::unique_lock<std::mutex> lock(stopMutex_);
  return stopSource_.token();
}

StopToken Thread::currentStopToken() {
  if (const StopToken* scoped = tlsScopedStop) return *scoped;
  const Thread* t = tlsCurrent;
  return t ? t->stopToken() : StopToken();
}

CurrentStopScope::CurrentStopScope(StopToken token)
    : token_(std::move(token)), previous_(tlsScopedStop) {
  tlsScopedStop = &token_;
}

CurrentStopScope::~CurrentStopScope() { tlsScopedStop = previous_; }

bool Thread::sleep(unsigned long ms) {
  const StopToken token = stopToken();
  // Without a limit the sleep is a series of day-long ones: one huge duration would overflow
  // the clock arithmetic of the wait.
  constexpr unsigned long kDay = 24ul * 60 * 60 * 1000;
  if (ms == ULONG_MAX) {
    while (!token.sleepFor(std::chrono::milliseconds(kDay))) {
    }
    return true;
  }
  while (ms > kDay) {
    if (token.sleepFor(std::chrono::milliseconds(kDay))) return true;
    ms -= kDay;
  }
  return token.sleepFor(std::chrono::milliseconds(ms));
}

bool Thread::wait(unsigned long ms) {
  if (onOwnThread()) return false;
  std::unique_lock<std::mutex> lock(controlMutex_);
  if (!private_) return true;
  return joinRun(ms);
}

bool Thread::joinRun(unsigned long ms) {
  const QDeadlineTimer deadline =
      ms == ULONG_MAX ? QDeadlineTimer(QDeadlineTimer::Forever) : QDeadlineTimer(qint64(ms));
  {
    std::unique_lock<std::mutex> lock(stopMutex_);
    auto ended = [this] { return !bodyRunning_; };
    if (deadline.isForever()) {
      bodyEnded_.wait(lock, ended);
    } else if (!bodyEnded_.wait_for(lock, std::chrono::milliseconds(deadline.remainingTime()),
                                    ended)) {
      return false;
    }
  }
  // The body has ended; the Qt thread has only its last steps left.
  return private_->wait(deadline);
}

void ThreadDeleter::operator()(Thread* thread) const {
  if (!thread) return;
  if (thread->onOwnThread()) {
    // The body dropped the last reference to itself: it cannot join itself, so the main
    // thread does the join (the body is about to end) and the delete.
    if (QCoreApplication* app = QCoreApplication::instance()) {
      // The list and a data-less event are handed over under orphansMutex, which the reaper
      // takes before anything else: a lock the thread sanitizer sees (it does not see Qt's).
      std::lock_guard<std::mutex> handover(orphansMutex);
      orphans().push_back(thread);
      QCoreApplication::postEvent(orphanReaper(app), new QEvent(QEvent::User));
      return;
    }
    ZLOG("err") << "Thread released by its own body without an application; not deleted";
    return;
  }
  thread->requestStop();
  thread->wait();
  delete thread;
}

DeleteThreadEvent::DeleteThreadEvent(Thread* t)
    : QEvent(kType), thread_(t), serial_(t ? t->serial_ : 0) {}

ThreadGroup::ThreadGroup() = default;

ThreadGroup::~ThreadGroup() {
  terminateAll();
  std::vector<Thread*> owned;
  {
    std::unique_lock<std::mutex> lock(mutex_);
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
      std::unique_lock<std::mutex> lock(mutex_);
      if (members_.empty()) return;
      round.swap(members_);
    }
    // Ask all first so the bodies wind down together; shutdown then takes as long as the
    // slowest body, not the sum of them.
    for (Thread* t : round) t->requestStop();
    for (Thread* t : round) t->wait();
    std::unique_lock<std::mutex> lock(mutex_);
    stopped_.insert(stopped_.end(), round.begin(), round.end());
  }
}

int ThreadGroup::size() const {
  std::unique_lock<std::mutex> lock(mutex_);
  return static_cast<int>(members_.size());
}

bool ThreadGroup::release(Thread* t, std::uint64_t serial) {
  std::unique_lock<std::mutex> lock(mutex_);
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
  { std::lock_guard<std::mutex> handover(mutex_); }  // see ThreadPrivate::run
  if (e->type() != DeleteThreadEvent::kType) return;
  auto* event = static_cast<DeleteThreadEvent*>(e);
  // Only a thread still owned here is deleted: one deleted by other means, or a stale event
  // whose address now belongs to a newer member, is left alone. The delete happens outside the
  // group mutex because the thread's destructor takes it too.
  Thread* t = event->thread();
  if (release(t, event->serial_.load(std::memory_order_relaxed))) delete t;
}

}  // namespace Zarvo
