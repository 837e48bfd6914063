#include "framework/ConnectionThreads.h"

#include <malloc.h>

#include <algorithm>
#include <condition_variable>
#include <utility>

#include "framework/StopToken.h"
#include "framework/Thread.h"

namespace Zarvo {

// A grouped thread that serves connections until it has waited long enough for the next one.
class ConnectionThreads::Worker : public Thread {
 public:
  Worker(ConnectionThreads& owner, std::function<void()> first)
      : Thread(owner.group_), owner_(owner), task_(std::move(first)) {}

 protected:
  void run() override {
    const StopToken stop = stopToken();
    // A stop (the host's shutdown) ends the wait for the next connection at once.
    StopCallback wake(stop, [this] {
      std::lock_guard<std::mutex> lock(owner_.mutex_);
      handedOver_.notify_all();
    });
    do {
      std::function<void()> task = std::move(task_);
      task_ = nullptr;
      task();
      owner_.taskEnded();
    } while (owner_.nextTask(*this, stop));
  }

 private:
  friend class ConnectionThreads;
  ConnectionThreads& owner_;
  // Guarded by the owner's mutex while the worker waits; a member (not on the worker's stack) so
  // that run() may still signal it after the lock is released: the worker is only ever deleted
  // on the group's thread, which is the one calling run().
  std::condition_variable handedOver_;
  std::function<void()> task_;
};

bool ConnectionThreads::run(std::function<void()> task, uint stackSize) {
  Worker* waiting = nullptr;
  {
    std::lock_guard<std::mutex> lock(mutex_);
    peak_ = std::max(peak_, ++busy_);
    if (!idle_.empty()) {
      waiting = idle_.back();
      idle_.pop_back();
      waiting->task_ = std::move(task);
    }
  }
  if (waiting) {
    // Signalled without the lock: the worker woken does not run straight into it.
    waiting->handedOver_.notify_one();
    return true;
  }
  auto* worker = new Worker(*this, std::move(task));  // the group deletes it once it ends
  worker->setStackSize(stackSize);
  // Its body only ever blocks on sockets: no event loop, so no descriptor for one.
  worker->setWithoutEventLoop();
  if (worker->start()) return true;
  delete worker;  // never ran: still ours to delete, and nothing to wait for
  taskEnded();
  return false;
}

bool ConnectionThreads::nextTask(Worker& worker, const StopToken& stop) {
  std::unique_lock<std::mutex> lock(mutex_);
  if (int(idle_.size()) >= limits_.maxIdle || stop.stopRequested()) return false;
  idle_.push_back(&worker);
  worker.handedOver_.wait_for(lock, limits_.idleWait,
                              [&] { return worker.task_ || stop.stopRequested(); });
  // A task handed over is run even when the wait ended otherwise: the connection must not be
  // dropped. Without one, the worker is still in the list, and leaves it.
  if (worker.task_) return true;
  idle_.erase(std::find(idle_.begin(), idle_.end(), &worker));
  return false;
}

void ConnectionThreads::taskEnded() {
  {
    std::lock_guard<std::mutex> lock(mutex_);
    if (--busy_ > 0 || peak_ < limits_.burst) return;
    peak_ = 0;
  }
  // The arenas of the threads that served the burst are mostly free now.
  ::malloc_trim(0);
}

int ConnectionThreads::idle() const {
  std::lock_guard<std::mutex> lock(mutex_);
  return int(idle_.size());
}

}  // namespace Zarvo
