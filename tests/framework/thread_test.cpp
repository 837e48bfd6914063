// Worker threads and groups: deletion on the main loop, exceptions in bodies, interruptible
// sleep, shutdown of a group, restarts.
#include "framework/Thread.h"

#include <gtest/gtest.h>

#include <QElapsedTimer>
#include <atomic>
#include <functional>
#include <future>
#include <memory>
#include <stdexcept>
#include <string>
#include <vector>

#include "framework/Log.h"
#include "tests/fakes/LogLines.h"
#include "tests/fakes/QtApp.h"
#include "tests/fakes/Signal.h"

namespace Zarvo {
namespace {

using testing_sync::Signal;

// A thread whose body is a function; it reports its own destruction through a shared flag so
// tests can see when the group deleted it without touching the (then freed) object.
class FnThread : public Thread {
 public:
  using Body = std::function<void(FnThread&)>;
  FnThread(ThreadGroup* group, Body body, std::shared_ptr<std::atomic<bool>> destroyed = nullptr)
      : Thread(group), body_(std::move(body)), destroyed_(std::move(destroyed)) {}
  ~FnThread() override {
    if (destroyed_) *destroyed_ = true;
  }
  bool sleepFor(unsigned long ms) { return sleep(ms); }

 protected:
  void run() override { body_(*this); }

 private:
  Body body_;
  std::shared_ptr<std::atomic<bool>> destroyed_;
};

// Pumps the main loop until `done` holds or `ms` pass; returns `done()`.
bool pumpUntil(const std::function<bool()>& done, int ms = 10000) {
  QElapsedTimer timer;
  timer.start();
  while (!done() && timer.elapsed() < ms) testing_qt::pumpEvents(5);
  return done();
}

class ThreadTest : public ::testing::Test {
 protected:
  void SetUp() override {
    testing_qt::coreApp();
    Zarvo::setupLogging();  // releases the start-up hold so "err" lines arrive at once
    testing_log::LogLines::get();
  }
};

TEST_F(ThreadTest, AnyExceptionEndsTheBodyAndStillPostsTheDeletion) {
  struct Case {
    const char* why;
    std::function<void()> raise;
    const char* errText;  // expected in the "err" line, or null for none
  };
  const Case kCases[] = {
      {"the framework's own way to end a body", [] { throw TerminateThreadException(); }, nullptr},
      {"a standard exception is named on err", [] { throw std::runtime_error("disk on fire"); },
       "disk on fire"},
      {"anything else is caught too", [] { throw 42; }, "unknown type"},
  };
  for (const Case& c : kCases) {
    SCOPED_TRACE(c.why);
    const qsizetype from = testing_log::LogLines::get().mark();
    ThreadGroup group;
    auto destroyed = std::make_shared<std::atomic<bool>>(false);
    std::atomic<bool> pastThrow{false};
    auto* t = new FnThread(
        &group,
        [&](FnThread&) {
          c.raise();
          pastThrow = true;
        },
        destroyed);
    t->start();
    ASSERT_TRUE(pumpUntil([&] { return destroyed->load(); }));
    EXPECT_FALSE(pastThrow);
    const QStringList lines = testing_log::LogLines::get().since(from, "err");
    if (c.errText) {
      ASSERT_EQ(lines.size(), 1);
      EXPECT_TRUE(lines[0].contains(c.errText)) << lines[0].toStdString();
    } else {
      EXPECT_TRUE(lines.isEmpty());
    }
  }
}

// sleep() must end at once on a stop requested before or during it, and only then; a stop
// racing with the start of the sleep must not be lost either.
TEST_F(ThreadTest, SleepEndsOnAStopRequestAndOnlyThen) {
  EXPECT_FALSE(Thread::currentStopToken().stopPossible()) << "the test thread is no Zarvo::Thread";
  Signal sleeping;
  std::atomic<int> woken{-1}, tokenStopped{-1};
  FnThread during(nullptr, [&](FnThread& self) {
    // Deep code (the inter-service client) finds the stop of the thread it runs on.
    const Zarvo::StopToken token = Thread::currentStopToken();
    sleeping.raise();
    woken = self.sleepFor(60000);
    tokenStopped = token.stopRequested();
  });
  during.start();
  ASSERT_TRUE(sleeping.wait());
  during.requestStop();
  ASSERT_TRUE(during.wait(30000)) << "still asleep well after the stop request";
  EXPECT_EQ(woken, 1);
  EXPECT_EQ(tokenStopped, 1) << "the current stop token does not follow the running body";

  std::atomic<qint64> slept{-1};
  FnThread plain(nullptr, [&](FnThread& self) {
    QElapsedTimer timer;
    timer.start();
    woken = self.sleepFor(100);
    slept = timer.elapsed();
  });
  plain.start();
  ASSERT_TRUE(plain.wait(30000));
  EXPECT_EQ(woken, 0);
  EXPECT_GE(slept, 90);  // coarse timers may round a little early

  for (int round = 0; round < 100; ++round) {
    SCOPED_TRACE(round);
    FnThread racing(nullptr, [](FnThread& self) { self.sleepFor(60000); });
    if (round == 0) racing.requestStop();  // before the body even exists
    racing.start();
    if (round % 2) QThread::yieldCurrentThread();
    racing.requestStop();
    ASSERT_TRUE(racing.wait(20000));
  }
}

TEST_F(ThreadTest, DestroyingAGroupStopsAndJoinsPollingMembers) {
  auto* group = new ThreadGroup;
  Signal running;
  std::atomic<int> returned{0};
  std::vector<std::shared_ptr<std::atomic<bool>>> destroyed;
  for (int i = 0; i < 2; ++i) {
    destroyed.push_back(std::make_shared<std::atomic<bool>>(false));
    auto* t = new FnThread(
        group,
        [&](FnThread& self) {
          running.raise();
          while (!self.sleepFor(100)) {
          }
          ++returned;
        },
        destroyed.back());
    t->start();
  }
  ASSERT_TRUE(running.wait(2));
  QElapsedTimer timer;
  timer.start();
  delete group;
  EXPECT_EQ(returned, 2);
  EXPECT_LT(timer.elapsed(), 20000);
  // The group owned them: stopped members are deleted with it, not leaked.
  EXPECT_TRUE(*destroyed[0]);
  EXPECT_TRUE(*destroyed[1]);
}

TEST_F(ThreadTest, TerminateAllEmptiesTheGroupAndLateDeletionEventsStillDelete) {
  ThreadGroup group;
  auto destroyed = std::make_shared<std::atomic<bool>>(false);
  auto* t = new FnThread(
      &group, [](FnThread& self) { self.sleepFor(60000); }, destroyed);
  t->start();
  group.terminateAll();
  EXPECT_EQ(group.size(), 0);
  EXPECT_TRUE(pumpUntil([&] { return destroyed->load(); }));
}

// The first run holds on until the test lets it go: a second start() meanwhile waits for it.
TEST_F(ThreadTest, StartTwiceRunsTheBodiesOneAfterTheOther) {
  std::atomic<int> inside{0};
  std::atomic<bool> overlapped{false};
  Signal entered, letGo;
  FnThread t(nullptr, [&](FnThread&) {
    if (++inside > 1) overlapped = true;
    entered.raise();
    if (entered.count() == 1) (void)letGo.wait();
    --inside;
  });
  t.start();
  ASSERT_TRUE(entered.wait());
  auto second = std::async(std::launch::async, [&] { t.start(); });
  EXPECT_EQ(second.wait_for(std::chrono::milliseconds(100)), std::future_status::timeout)
      << "the second start must wait for the run ahead of it";
  letGo.raise();
  second.get();
  ASSERT_TRUE(t.wait(30000));
  EXPECT_EQ(entered.count(), 2);
  EXPECT_FALSE(overlapped);
}

TEST_F(ThreadTest, RestartFromTheBodyItselfIsRefusedInsteadOfHanging) {
  std::atomic<int> runs{0};
  FnThread t(nullptr, [&](FnThread& self) {
    ++runs;
    self.start();
  });
  t.start();
  ASSERT_TRUE(t.wait(30000));
  EXPECT_EQ(runs, 1);
}

// A finished member is deleted by the main loop, not by its own thread. An owner that deletes a
// grouped member itself must not leave the group a dangling pointer or a second delete for the
// deletion event still queued.
TEST_F(ThreadTest, GroupDeletesFinishedMembersOnTheLoopAndForgetsOnesDeletedByHand) {
  ThreadGroup group;
  auto* t = new FnThread(&group, [](FnThread&) {});
  t->start();
  ASSERT_TRUE(t->wait(10000));
  delete t;  // its deletion event is still queued
  EXPECT_EQ(group.size(), 0);
  testing_qt::pumpEvents(50);
  auto destroyed = std::make_shared<std::atomic<bool>>(false);
  auto* next = new FnThread(
      &group, [](FnThread&) {}, destroyed);
  EXPECT_EQ(group.size(), 1);
  next->start();
  ASSERT_TRUE(next->wait(10000));
  EXPECT_FALSE(*destroyed) << "deleted before the event loop ran";
  ASSERT_TRUE(pumpUntil([&] { return destroyed->load(); }));
  EXPECT_EQ(group.size(), 0);
}

// A job-like thread held by a shared pointer and released while its body still uses its
// members: the last reference must stop and join the body before any member is destroyed.
class JobLike : public Thread {
 public:
  JobLike(std::atomic<bool>* bodyEnded, std::atomic<bool>* destroyedAfterBody, Signal* started)
      : bodyEnded_(bodyEnded), destroyedAfterBody_(destroyedAfterBody), started_(started) {}
  ~JobLike() override { *destroyedAfterBody_ = bodyEnded_->load(); }

 protected:
  void run() override {
    started_->raise();
    // Touches its members until asked to stop; a destroyed member here is a use after free.
    while (!stopRequested()) {
      scratch_.push_back(std::to_string(scratch_.size()));
      if (scratch_.size() > 64) scratch_.clear();
      sleep(1);
    }
    *bodyEnded_ = true;
  }

 private:
  std::vector<std::string> scratch_;
  std::atomic<bool>* bodyEnded_;
  std::atomic<bool>* destroyedAfterBody_;
  Signal* started_;
};

TEST_F(ThreadTest, SharedThreadReleasedWhileRunningIsJoinedBeforeItsMembersDie) {
  for (int round = 0; round < 5; ++round) {
    SCOPED_TRACE(round);
    std::atomic<bool> bodyEnded{false}, destroyedAfterBody{false};
    Signal started;
    auto job = Zarvo::makeSharedThread<JobLike>(&bodyEnded, &destroyedAfterBody, &started);
    std::weak_ptr<JobLike> watch = job;
    job->start();
    if (round % 2) {
      ASSERT_TRUE(started.wait());
    }
    job.reset();  // the registry lets go mid-run
    EXPECT_TRUE(watch.expired());
    EXPECT_TRUE(destroyedAfterBody) << "members destroyed before the body ended";
  }
}

TEST_F(ThreadTest, SharedThreadReleasedByItsOwnBodyIsDeletedOnTheMainThread) {
  auto destroyed = std::make_shared<std::atomic<bool>>(false);
  std::shared_ptr<FnThread> holder;
  Signal released;
  holder = Zarvo::makeSharedThread<FnThread>(
      nullptr,
      [&](FnThread&) {
        holder.reset();  // the body drops the last reference to itself
        released.raise();
      },
      destroyed);
  holder->start();
  ASSERT_TRUE(released.wait());
  ASSERT_TRUE(pumpUntil([&] { return destroyed->load(); }));
}

TEST_F(ThreadTest, AGroupedThreadCannotAlsoBeShared) {
  ThreadGroup group;
  EXPECT_THROW(Zarvo::makeSharedThread<FnThread>(&group, [](FnThread&) {}), std::logic_error);
  EXPECT_EQ(group.size(), 0) << "the refused thread must leave the group again";
}

// A stop belongs to one run: a retried job must not stop at once because its previous run was
// stopped, but a stop asked for between two runs is kept for the next.
TEST_F(ThreadTest, StopStateIsPerRunAndAStopBetweenRunsWaitsForTheNext) {
  std::atomic<int> stoppedAtStart{-1};
  Signal began;
  FnThread t(nullptr, [&](FnThread& self) {
    stoppedAtStart = self.stopRequested() ? 1 : 0;
    began.raise();
    self.sleepFor(60000);
  });
  t.start();
  t.requestStop();
  ASSERT_TRUE(t.wait(30000));
  t.start();  // the retry
  ASSERT_TRUE(began.wait(2));
  EXPECT_EQ(stoppedAtStart, 0) << "the retry started stopped";
  EXPECT_FALSE(t.wait(100)) << "the retry must sleep until asked";
  t.requestStop();
  ASSERT_TRUE(t.wait(30000));

  t.requestStop();  // no run active now: a cancel during a retry pause
  stoppedAtStart = -1;
  t.start();
  ASSERT_TRUE(t.wait(30000));
  EXPECT_EQ(stoppedAtStart, 1) << "a stop asked for between runs was lost";
}

// A plain thread working for a Zarvo::Thread (a job's download helper) lends its token instead.
TEST_F(ThreadTest, ACurrentStopScopeLendsItsTokenAndNestedScopesRestoreTheOuterOne) {
  StopSource outer, inner;
  {
    const CurrentStopScope a(outer.token());
    {
      const CurrentStopScope b(inner.token());
      inner.requestStop();
      EXPECT_TRUE(Thread::currentStopToken().stopRequested());
    }
    EXPECT_FALSE(Thread::currentStopToken().stopRequested()) << "the outer scope's again";
    outer.requestStop();
    EXPECT_TRUE(Thread::currentStopToken().stopRequested());
  }
  EXPECT_FALSE(Thread::currentStopToken().stopPossible()) << "no scope: no stop can come";
}

}  // namespace

}  // namespace Zarvo
