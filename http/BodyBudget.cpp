#include "http/BodyBudget.h"

#include <algorithm>
#include <chrono>
#include <utility>

namespace Zarvo {

BodyBudget::Lease::Lease(Lease&& other) noexcept
    : budget_(std::exchange(other.budget_, nullptr)), bytes_(std::exchange(other.bytes_, 0)) {}

BodyBudget::Lease& BodyBudget::Lease::operator=(Lease&& other) noexcept {
  if (this != &other) {
    if (budget_) budget_->release(bytes_);
    budget_ = std::exchange(other.budget_, nullptr);
    bytes_ = std::exchange(other.bytes_, 0);
  }
  return *this;
}

BodyBudget::Lease::~Lease() {
  if (budget_) budget_->release(bytes_);
}

BodyBudget::Lease BodyBudget::reserve(qint64 bytes, QDeadlineTimer deadline) {
  if (bytes <= 0) return Lease(this, 0);
  if (bytes > capacity_) return {};
  std::unique_lock<std::mutex> lock(mutex_);
  const std::uint64_t ticket = nextTicket_++;
  queue_.push_back(ticket);
  // First come, first served: a large body is not passed over for ever by small ones.
  const auto granted = [&] { return queue_.front() == ticket && inUse_ + bytes <= capacity_; };
  while (!granted()) {
    if (deadline.hasExpired()) {
      queue_.erase(std::find(queue_.begin(), queue_.end(), ticket));
      // The one behind may fit where this one did not.
      roomFreed_.notify_all();
      return {};
    }
    if (deadline.isForever()) {
      roomFreed_.wait(lock);
    } else {
      roomFreed_.wait_for(lock, std::chrono::milliseconds(deadline.remainingTime()));
    }
  }
  queue_.pop_front();
  inUse_ += bytes;
  roomFreed_.notify_all();  // the next in line may fit as well
  return Lease(this, bytes);
}

void BodyBudget::release(qint64 bytes) {
  if (bytes <= 0) return;
  std::lock_guard<std::mutex> lock(mutex_);
  inUse_ -= bytes;
  roomFreed_.notify_all();
}

qint64 BodyBudget::inUse() const {
  std::lock_guard<std::mutex> lock(mutex_);
  return inUse_;
}

int BodyBudget::waiting() const {
  std::lock_guard<std::mutex> lock(mutex_);
  return int(queue_.size());
}

}  // namespace Zarvo
