// BodyBudget: caps the request bodies a server holds at once. A connection reserves its body's
// announced length before it reads a byte of it and gives the room back once the answer is
// made; a body that does not fit waits, in arrival order, until room is free or its deadline
// passes. Many large requests at once then cost the process at most the budget (times what one
// request costs per body byte), instead of every body at once.
//
//   BodyBudget::Lease room = budget.reserve(length, deadline);
//   if (!room) return refuse();   // no room in time, or larger than the whole budget
//   ... read the body, answer ...  // ~Lease gives the room back
#pragma once

#include <QDeadlineTimer>
#include <QtGlobal>
#include <condition_variable>
#include <cstdint>
#include <deque>
#include <mutex>

namespace Zarvo {

class BodyBudget {
 public:
  // Room that a reserve() granted; moves, and gives the room back when destroyed.
  class [[nodiscard]] Lease {
   public:
    Lease() = default;
    Lease(Lease&& other) noexcept;
    Lease& operator=(Lease&& other) noexcept;
    ~Lease();
    Lease(const Lease&) = delete;
    Lease& operator=(const Lease&) = delete;

    explicit operator bool() const { return budget_ != nullptr; }
    qint64 bytes() const { return bytes_; }

   private:
    friend class BodyBudget;
    Lease(BodyBudget* budget, qint64 bytes) : budget_(budget), bytes_(bytes) {}
    BodyBudget* budget_ = nullptr;
    qint64 bytes_ = 0;
  };

  // `capacity` bytes of bodies at once; must outlive every lease.
  explicit BodyBudget(qint64 capacity) : capacity_(capacity) {}
  BodyBudget(const BodyBudget&) = delete;
  BodyBudget& operator=(const BodyBudget&) = delete;

  // Room for `bytes`, waiting until `deadline` behind those that asked earlier. An empty lease
  // when the deadline passed first, or at once when `bytes` exceeds the capacity (it would
  // never fit). A request for 0 bytes always succeeds without waiting.
  Lease reserve(qint64 bytes, QDeadlineTimer deadline);

  qint64 capacity() const { return capacity_; }
  // Bytes currently reserved.
  qint64 inUse() const;
  // Reservations currently waiting for room.
  int waiting() const;

 private:
  void release(qint64 bytes);

  const qint64 capacity_;
  mutable std::mutex mutex_;
  std::condition_variable roomFreed_;
  qint64 inUse_ = 0;                 // guarded by mutex_
  std::deque<std::uint64_t> queue_;  // tickets of the waiting reservations, oldest first
  std::uint64_t nextTicket_ = 0;
};

}  // namespace Zarvo
