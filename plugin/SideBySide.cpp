#include "plugin/SideBySide.h"

#include <algorithm>
#include <exception>
#include <mutex>
#include <system_error>
#include <thread>
#include <vector>

#include "framework/Log.h"
#include "framework/Thread.h"

namespace Zarvo::dsm {

namespace {

// What the threads share: the next item to take and the first exception.
class Items {
 public:
  Items(std::size_t count, const Zarvo::StopToken& stop,
        const std::function<void(std::size_t)>& work)
      : count_(count), stop_(stop), work_(work) {}

  // Takes and works items until none is left to take.
  void drain() {
    for (;;) {
      std::size_t item;
      {
        std::lock_guard<std::mutex> lock(mutex_);
        if (failure_ || next_ >= count_ || (next_ > 0 && stop_.stopRequested())) return;
        item = next_++;
      }
      try {
        work_(item);
      } catch (...) {
        std::lock_guard<std::mutex> lock(mutex_);
        if (!failure_) failure_ = std::current_exception();
        return;
      }
    }
  }

  void rethrowFailure() {
    std::lock_guard<std::mutex> lock(mutex_);
    if (failure_) std::rethrow_exception(failure_);
  }

 private:
  const std::size_t count_;
  const Zarvo::StopToken stop_;
  const std::function<void(std::size_t)>& work_;
  std::mutex mutex_;
  std::size_t next_ = 0;
  std::exception_ptr failure_;
};

// Joins every thread it holds when it goes, on every way out.
struct Joiner {
  std::vector<std::thread> threads;
  ~Joiner() {
    for (std::thread& t : threads) {
      if (t.joinable()) t.join();
    }
  }
};

}  // namespace

void runSideBySide(std::size_t count, std::size_t width, const Zarvo::StopToken& stop,
                   const std::function<void(std::size_t)>& work) {
  if (count == 0) return;
  Items items(count, stop, work);
  {
    Joiner helpers;
    const std::size_t wanted = std::min(std::max<std::size_t>(width, 1), count) - 1;
    helpers.threads.reserve(wanted);
    for (std::size_t i = 0; i < wanted; ++i) {
      try {
        helpers.threads.emplace_back([&items, stop] {
          const Zarvo::CurrentStopScope scope(stop);
          items.drain();
        });
      } catch (const std::system_error& e) {
        // Out of threads: those made so far and this one share the rest.
        ZLOG("err") << "No thread for a side-by-side download: " << e.what();
        break;
      }
    }
    items.drain();
  }
  items.rethrowFailure();
}

}  // namespace Zarvo::dsm
