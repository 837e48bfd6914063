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
using Zarvo::StopCallback;
using Zarvo::StopSource;
using Zarvo::StopToken;

TEST(StopTokenTest, DefaultTokenNeverStopsAndSleepsItsFullTime) {
  const StopToken never;
  EXPECT_FALSE(never.stopPossible());
  EXPECT_FALSE(never.stopRequested());
  const auto begin = Clock::now();
  EXPECT_FALSE(never.sleepFor(30ms));
  EXPECT_GE(Clock::now() - begin, 30ms);
  bool called = false;
  {
    StopCallback cb(never, [&] { called = true; });
  }
  EXPECT_FALSE(called);
}

TEST(StopTokenTest, SleepEndsAtOnceOnAnEarlierOrALaterStop) {
  StopSource before;
  EXPECT_TRUE(before.requestStop());
  EXPECT_FALSE(before.requestStop()) << "a second request changes nothing";
  auto begin = Clock::now();
  EXPECT_TRUE(before.token().sleepFor(60s));
  EXPECT_LT(Clock::now() - begin, 5s);

  StopSource during;
  testing_sync::Signal sleeping;
  bool woke = false;
  std::thread sleeper([&] {
    sleeping.raise();
    woke = during.token().sleepFor(60s);
  });
  ASSERT_TRUE(sleeping.wait());
  begin = Clock::now();
  during.requestStop();
  sleeper.join();
  EXPECT_TRUE(woke);
  EXPECT_LT(Clock::now() - begin, 20s);

  StopSource none;
  EXPECT_FALSE(none.token().sleepFor(20ms)) << "time ran out without a stop";
}

// The sender's confirmation wait: its own mutex and condition variable, woken by a stop.
TEST(StopTokenTest, CallbackWakesAWaitOnAForeignConditionVariable) {
  StopSource source;
  const StopToken token = source.token();
  std::mutex mutex;
  std::condition_variable cv;
  bool done = false;
  std::atomic<bool> waiting{false};
  std::thread waiter([&] {
    StopCallback wake(token, [&] {
      std::lock_guard<std::mutex> l(mutex);
      cv.notify_all();
    });
    std::unique_lock<std::mutex> lock(mutex);
    waiting = true;
    cv.wait_for(lock, 60s, [&] { return done || token.stopRequested(); });
  });
  while (!waiting) std::this_thread::yield();
  const auto begin = Clock::now();
  source.requestStop();
  waiter.join();
  EXPECT_LT(Clock::now() - begin, 20s);
}

TEST(StopTokenTest, CallbackRunsOnceAtOnceWhenAlreadyStoppedAndNeverAfterItsDestruction) {
  StopSource stopped;
  stopped.requestStop();
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
