#include "console/OperationFeed.h"

#include <exception>

namespace Zarvo::console {

OperationFeed::OperationFeed(Poll poll, std::chrono::milliseconds interval)
    : poll_(std::move(poll)), interval_(interval), poller_([this] { run(); }) {}

OperationFeed::~OperationFeed() {
  close();
  poller_.join();
}

void OperationFeed::close() {
  std::lock_guard<std::mutex> lock(mutex_);
  closed_ = true;
  changed_.notify_all();
}

int OperationFeed::listeners() const {
  std::lock_guard<std::mutex> lock(mutex_);
  return listeners_;
}

std::unique_ptr<OperationFeed::Listener> OperationFeed::listen() {
  std::lock_guard<std::mutex> lock(mutex_);
  if (closed_ || listeners_ >= kMaxListeners) return nullptr;
  ++listeners_;
  changed_.notify_all();  // wakes the poller
  return std::unique_ptr<Listener>(new Listener(*this));
}

OperationFeed::Listener::~Listener() {
  std::lock_guard<std::mutex> lock(feed_.mutex_);
  --feed_.listeners_;
}

std::optional<QByteArray> OperationFeed::Listener::next(std::chrono::milliseconds keepAlive) {
  std::unique_lock<std::mutex> lock(feed_.mutex_);
  const bool woken = feed_.changed_.wait_for(
      lock, keepAlive, [&] { return feed_.closed_ || feed_.version_ > seen_; });
  if (feed_.closed_) return std::nullopt;
  if (!woken) return QByteArray();
  seen_ = feed_.version_;
  return feed_.summary_;
}

void OperationFeed::run() {
  std::unique_lock<std::mutex> lock(mutex_);
  while (!closed_) {
    changed_.wait(lock, [&] { return closed_ || listeners_ > 0; });
    if (closed_) return;
    lock.unlock();
    QByteArray summary;
    bool failed = false;
    try {
      summary = poll_();
    } catch (const std::exception&) {
      // The storage manager is away: the pages keep what they have and hear again once it is
      // back. Asking it less often meanwhile keeps its absence from filling the log.
      failed = true;
    }
    lock.lock();
    if (!summary.isEmpty() && summary != summary_) {
      summary_ = summary;
      ++version_;
      changed_.notify_all();
    }
    changed_.wait_for(lock, failed ? 10 * interval_ : interval_, [&] { return closed_; });
  }
}

}  // namespace Zarvo::console
