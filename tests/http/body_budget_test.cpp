// The cap on request bodies held at once: room is granted in arrival order, given back by the
// lease, and a request that finds none in time (or could never fit) is refused.
#include "http/BodyBudget.h"

#include <gtest/gtest.h>

#include <QElapsedTimer>
#include <chrono>
#include <future>
#include <thread>

namespace Zarvo {
namespace {

using namespace std::chrono_literals;

TEST(BodyBudget, GrantsWhatFitsRefusesWhatNeverCanAndLeasesGiveRoomBack) {
  BodyBudget budget(100);
  {
    BodyBudget::Lease a = budget.reserve(60, QDeadlineTimer(0));
    BodyBudget::Lease b = budget.reserve(40, QDeadlineTimer(0));
    ASSERT_TRUE(a && b) << "exactly the capacity fits";
    EXPECT_EQ(budget.inUse(), 100);
    EXPECT_TRUE(budget.reserve(0, QDeadlineTimer(0))) << "an empty body needs no room";
    EXPECT_FALSE(budget.reserve(1, QDeadlineTimer(0))) << "full, and no time to wait";
    BodyBudget::Lease moved = std::move(a);
    EXPECT_EQ(budget.inUse(), 100) << "a moved lease still holds its room";
  }
  EXPECT_EQ(budget.inUse(), 0);
  QElapsedTimer timer;
  timer.start();
  EXPECT_FALSE(budget.reserve(101, QDeadlineTimer(5000))) << "larger than the whole budget";
  EXPECT_LT(timer.elapsed(), 1000) << "refused at once, not after the wait";
}

TEST(BodyBudget, AWaiterGetsTheRoomAReleaseFreesAndGivesUpAtItsDeadline) {
  BodyBudget budget(100);
  auto held = std::make_unique<BodyBudget::Lease>(budget.reserve(80, QDeadlineTimer(0)));
  QElapsedTimer timer;
  timer.start();
  EXPECT_FALSE(budget.reserve(50, QDeadlineTimer(150)));
  EXPECT_GE(timer.elapsed(), 140);
  EXPECT_EQ(budget.waiting(), 0) << "a waiter that gave up leaves the queue";

  auto waiter = std::async(std::launch::async,
                           [&] { return bool(budget.reserve(50, QDeadlineTimer(10000))); });
  while (budget.waiting() == 0) std::this_thread::sleep_for(1ms);
  held.reset();
  EXPECT_TRUE(waiter.get());
}

TEST(BodyBudget, RoomGoesInArrivalOrderSoALargeBodyIsNotPassedOverForEver) {
  BodyBudget budget(100);
  auto held = std::make_unique<BodyBudget::Lease>(budget.reserve(60, QDeadlineTimer(0)));
  std::promise<void> largeGranted;
  auto large = std::async(std::launch::async, [&] {
    BodyBudget::Lease lease = budget.reserve(90, QDeadlineTimer(10000));
    largeGranted.set_value();
    std::this_thread::sleep_for(20ms);
    return bool(lease);
  });
  while (budget.waiting() == 0) std::this_thread::sleep_for(1ms);
  // 30 bytes would fit beside the 60 held, but the larger body asked first.
  EXPECT_FALSE(budget.reserve(30, QDeadlineTimer(100)));
  held.reset();
  largeGranted.get_future().wait();
  EXPECT_TRUE(large.get());
  EXPECT_TRUE(budget.reserve(30, QDeadlineTimer(5000))) << "then the smaller one";
}

}  // namespace
}  // namespace Zarvo
