// The event a test waits for instead of sleeping: one thread raises it (as often as it happens),
// another waits, bounded, until it was raised often enough. Header-only.
#pragma once

#include <chrono>
#include <condition_variable>
#include <mutex>

namespace testing_sync {

class Signal {
 public:
  void raise() {
    std::lock_guard<std::mutex> lock(mutex_);
    ++count_;
    changed_.notify_all();
  }
  // True once raise() was called `n` times; false after `limit`.
  bool wait(int n = 1, std::chrono::milliseconds limit = std::chrono::seconds(20)) const {
    std::unique_lock<std::mutex> lock(mutex_);
    return changed_.wait_for(lock, limit, [&] { return count_ >= n; });
  }
  int count() const {
    std::lock_guard<std::mutex> lock(mutex_);
    return count_;
  }

 private:
  mutable std::mutex mutex_;
  mutable std::condition_variable changed_;
  int count_ = 0;
};

}  // namespace testing_sync
