#include "framework/ConnectionThreads.h"

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
    do {
      std::function<void()> task = std::move(task_);
      task_ = nullptr;
      task();
    } while (owner_.nextTask(task_, stop));
  }

 private:
  ConnectionThreads& owner_;
  std::function<void()> task_;
};

bool ConnectionThreads::run(std::function<void()> task, uint stackSize) {
  {
    std::lock_guard<std::mutex> lock(mutex_);
    if (idle_ > 0) {
      --idle_;
      handed_.push_back(std::move(task));
      handedOver_.notify_one();
      return true;
    }
  }
  auto* worker = new Worker(*this, std::move(task));  // the group deletes it once it ends
  worker->setStackSize(stackSize);
  // Its body only ever blocks on sockets: no event loop, so no descriptor for one.
  worker->setWithoutEventLoop();
  if (worker->start()) return true;
  delete worker;  // never ran: still ours to delete, and nothing to wait for
  return false;
}

bool ConnectionThreads::nextTask(std::function<void()>& task, const StopToken& stop) {
  StopCallback wake(stop, [this] {
    std::lock_guard<std::mutex> lock(mutex_);
    handedOver_.notify_all();
  });
  std::unique_lock<std::mutex> lock(mutex_);
  if (idle_ >= limits_.maxIdle || stop.stopRequested()) return false;
  ++idle_;
  handedOver_.wait_for(lock, limits_.idleWait,
                       [&] { return !handed_.empty() || stop.stopRequested(); });
  // A task handed over is run even when the wait ended otherwise: its worker was counted off
  // already, and the connection must not be dropped.
  if (!handed_.empty()) {
    task = std::move(handed_.front());
    handed_.pop_front();
    return true;
  }
  --idle_;
  return false;
}

int ConnectionThreads::idle() const {
  std::lock_guard<std::mutex> lock(mutex_);
  return idle_;
}

}  // namespace Zarvo
