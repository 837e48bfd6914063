// A small stop token: one StopSource asks for a stop, any number of StopTokens see it, and a
// StopCallback lets a wait on its own condition variable be woken by it.
//
//   StopSource source;                        // owned by whoever may ask for the stop
//   StopToken token = source.token();         // handed to the work, cheap to copy
//   if (token.sleepFor(pause)) return;        // a pause that ends at once on a stop
//
//   // A wait on the waiter's own condition variable. The callback is registered before the
//   // waiter locks: when the stop was already requested it runs at once, on this thread, and
//   // takes the same mutex.
//   StopCallback wake(token, [&] { std::lock_guard<std::mutex> l(mutex_); cv_.notify_all(); });
//   std::unique_lock<std::mutex> lock(mutex_);
//   cv_.wait_for(lock, limit, [&] { return done_ || token.stopRequested(); });
//
// A default-constructed StopToken never stops. Requesting a stop is permanent for its source.
#pragma once

#include <chrono>
#include <functional>
#include <memory>

namespace Zarvo {

namespace stop_detail {
struct State;
struct Registration;
}  // namespace stop_detail

class StopToken {
 public:
  // A token that never stops: stopRequested() is false and sleepFor() sleeps its full time.
  StopToken() = default;

  [[nodiscard]] bool stopRequested() const;
  // True when a stop can still come (the token has a source).
  [[nodiscard]] bool stopPossible() const { return state_ != nullptr; }
  // Sleeps for `duration`; returns true at once, or as soon as, a stop is requested, false when
  // the time passed without one.
  bool sleepFor(std::chrono::milliseconds duration) const;

 private:
  friend class StopSource;
  friend class StopCallback;
  explicit StopToken(std::shared_ptr<stop_detail::State> state) : state_(std::move(state)) {}

  std::shared_ptr<stop_detail::State> state_;
};

class StopSource {
 public:
  StopSource();

  // Asks for the stop: wakes every sleepFor() and runs every registered callback, on this
  // thread, before returning. True when this call made the request, false when it already was.
  bool requestStop();
  [[nodiscard]] bool stopRequested() const;
  [[nodiscard]] StopToken token() const { return StopToken(state_); }

 private:
  std::shared_ptr<stop_detail::State> state_;
};

// Runs `onStop` once when the token's stop is requested: at once in the constructor (on the
// constructing thread) if it already was, else on the requesting thread. The destructor
// guarantees that `onStop` is not running (unless the destructor runs inside `onStop` itself)
// and will not run afterwards. `onStop` must not throw.
class [[nodiscard]] StopCallback {
 public:
  StopCallback(const StopToken& token, std::function<void()> onStop);
  ~StopCallback();
  StopCallback(const StopCallback&) = delete;
  StopCallback& operator=(const StopCallback&) = delete;

 private:
  std::shared_ptr<stop_detail::State> state_;
  std::shared_ptr<stop_detail::Registration> registration_;
};

}  // namespace Zarvo
