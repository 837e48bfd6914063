#include "framework/StopToken.h"

#include <algorithm>
#include <condition_variable>
#include <list>
#include <mutex>
#include <thread>

namespace Zarvo {
namespace stop_detail {

struct Registration {
  std::function<void()> onStop;
};

struct State {
  std::mutex mutex;
  std::condition_variable sleepers;  // sleepFor() waits here
  std::condition_variable finished;  // a callback that was running has returned
  bool stopped = false;
  std::list<std::shared_ptr<Registration>> callbacks;  // not yet run
  Registration* running = nullptr;                     // the callback being run now
  std::thread::id runner;                              // the thread that requested the stop
};

}  // namespace stop_detail

using stop_detail::Registration;
using stop_detail::State;

bool StopToken::stopRequested() const {
  if (!state_) return false;
  std::lock_guard<std::mutex> lock(state_->mutex);
  return state_->stopped;
}

bool StopToken::sleepFor(std::chrono::milliseconds duration) const {
  if (!state_) {
    std::this_thread::sleep_for(duration);
    return false;
  }
  std::unique_lock<std::mutex> lock(state_->mutex);
  // The predicate form loops over spurious wake-ups; the stop flag is read under the same mutex
  // the requester sets it under, so a request racing with the start of the sleep is not lost.
  return state_->sleepers.wait_for(lock, duration, [this] { return state_->stopped; });
}

StopSource::StopSource() : state_(std::make_shared<State>()) {}

bool StopSource::requestStop() {
  std::unique_lock<std::mutex> lock(state_->mutex);
  if (state_->stopped) return false;
  state_->stopped = true;
  state_->runner = std::this_thread::get_id();
  state_->sleepers.notify_all();
  // Callbacks run outside the mutex (they take their own locks), one at a time, each marked as
  // running so that its StopCallback's destructor can wait for it.
  while (!state_->callbacks.empty()) {
    std::shared_ptr<Registration> next = std::move(state_->callbacks.front());
    state_->callbacks.pop_front();
    state_->running = next.get();
    lock.unlock();
    next->onStop();
    lock.lock();
    state_->running = nullptr;
    state_->finished.notify_all();
  }
  return true;
}

bool StopSource::stopRequested() const { return StopToken(state_).stopRequested(); }

StopCallback::StopCallback(const StopToken& token, std::function<void()> onStop)
    : state_(token.state_) {
  if (!state_) return;  // a token that never stops never calls back
  auto registration = std::make_shared<Registration>();
  registration->onStop = std::move(onStop);
  {
    std::lock_guard<std::mutex> lock(state_->mutex);
    if (!state_->stopped) {
      state_->callbacks.push_back(registration);
      registration_ = std::move(registration);
      return;
    }
  }
  registration->onStop();  // already stopped: run at once, here
}

StopCallback::~StopCallback() {
  if (!registration_) return;
  std::unique_lock<std::mutex> lock(state_->mutex);
  auto it = std::find(state_->callbacks.begin(), state_->callbacks.end(), registration_);
  if (it != state_->callbacks.end()) {
    state_->callbacks.erase(it);  // never ran, and now never will
    return;
  }
  // Already taken by the requester: wait until it has returned, unless this destructor runs
  // inside the callback itself (waiting would never end).
  if (state_->runner == std::this_thread::get_id()) return;
  state_->finished.wait(lock, [this] { return state_->running != registration_.get(); });
}

}  // namespace Zarvo
