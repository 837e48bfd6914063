// The stop token: sleeps that end on a stop, callbacks that wake foreign waits, and the
// destructor guarantee a waiter relies on when it returns while a stop is being requested.
#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <mutex>
#include <thread>

#include "framework/StopToken.h"
#include "tests/fakes/Signal.h"

namespace Zarvo {
namespace {

using namespace std::chrono_literals;
using Clock = std::chrono::steady_clock;

TEST(StopTokenTest, DefaultTokenNeverStopsAndSleepsItsFullTime) {
  const StopToken never;
  EXPECT_FALSE(never.stopPossible());
  EXPECT_FALSE(never.stopRequested());
  const auto begin = Clock::now();
  EXPECT_FALSE(never.sleepFor(30ms));
  EXPECT_GE(Clock::now() - begin, 30ms);
  StopSource none;
  EXPECT_FALSE(none.token().sleepFor(20ms)) << "time ran out without a stop";
  bool called = false;
  {
    StopCallback cb(never, [&] { called = true; });
  }
  EXPECT_FALSE(called);
}

// A stop asked for before the wait or the callback began: neither may miss it. A later stop
// is covered by the racing test below.
TEST(StopTokenTest, AnEarlierStopEndsSleepsAndRunsNewCallbacksAtOnceButNoDestroyedOne) {
  StopSource stopped;
  EXPECT_TRUE(stopped.requestStop());
  EXPECT_FALSE(stopped.requestStop()) << "a second request changes nothing";
  const auto begin = Clock::now();
  EXPECT_TRUE(stopped.token().sleepFor(60s));
  EXPECT_LT(Clock::now() - begin, 5s);
  int runs = 0;
  {
    StopCallback cb(stopped.token(), [&] { ++runs; });
    EXPECT_EQ(runs, 1) << "registered after the stop: runs in the constructor";
  }
  StopSource later;
  int lateRuns = 0;
  {
    StopCallback gone(later.token(), [&] { ++lateRuns; });
  }
  later.requestStop();
  EXPECT_EQ(lateRuns, 0) << "a destroyed callback must not be called";
}

// The destructor must wait for a callback that another thread is running, or the callback
// would use what the destroying thread frees next. The callback holds on until the destructor has
// returned, or for a while: a destructor that waits sees it finish first.
TEST(StopTokenTest, DestructorWaitsForACallbackRunningOnTheRequestingThread) {
  for (int round = 0; round < 3; ++round) {
    StopSource source;
    testing_sync::Signal entered, destroyed;
    std::atomic<bool> finished{false};
    auto cb = std::make_unique<StopCallback>(source.token(), [&] {
      entered.raise();
      (void)destroyed.wait(1, 50ms);
      finished = true;
    });
    std::thread requester([&] { source.requestStop(); });
    ASSERT_TRUE(entered.wait());
    cb.reset();
    EXPECT_TRUE(finished) << "destructor returned while the callback ran";
    destroyed.raise();
    requester.join();
  }
}

TEST(StopTokenTest, CallbackMayDestroyItselfWithoutDeadlock) {
  StopSource source;
  std::unique_ptr<StopCallback> self;
  self = std::make_unique<StopCallback>(source.token(), [&] { self.reset(); });
  source.requestStop();
  EXPECT_EQ(self, nullptr);
}

// Sleepers and waits on a foreign condition variable (the sender's confirmation wait) alike
// end on one request that races with their start.
TEST(StopTokenTest, ManyWaitersAndCallbacksRacingOneRequest) {
  StopSource source;
  std::atomic<int> woken{0};
  testing_sync::Signal waiting;
  std::vector<std::thread> threads;
  for (int i = 0; i < 8; ++i) {
    threads.emplace_back([&, i] {
      if (i % 2) {
        waiting.raise();
        if (source.token().sleepFor(60s)) ++woken;
      } else {
        std::mutex m;
        std::condition_variable cv;
        StopCallback cb(source.token(), [&] {
          std::lock_guard<std::mutex> l(m);
          cv.notify_all();
        });
        std::unique_lock<std::mutex> lock(m);
        waiting.raise();
        if (cv.wait_for(lock, 60s, [&] { return source.stopRequested(); })) ++woken;
      }
    });
  }
  EXPECT_TRUE(waiting.wait(8));
  source.requestStop();
  for (auto& t : threads) t.join();
  EXPECT_EQ(woken, 8);
}

}  // namespace

}  // namespace Zarvo
