// The connection threads: a finished thread serves the next connection, no more than the bound
// wait and none for longer than its wait, a stop ends a waiting one at once, a thread costs no
// descriptor, and a thread the system refuses is reported instead of waited for.
#include "framework/ConnectionThreads.h"

#include <gtest/gtest.h>
#include <sys/resource.h>
#include <unistd.h>

#include <QDir>
#include <QElapsedTimer>
#include <atomic>
#include <condition_variable>
#include <cstdlib>
#include <fstream>
#include <mutex>
#include <thread>

#include "framework/Thread.h"
#include "tests/fakes/QtApp.h"

namespace Zarvo {
namespace {

using namespace std::chrono_literals;

bool pumpUntil(const std::function<bool()>& done, int ms = 10000) {
  QElapsedTimer timer;
  timer.start();
  while (!done() && timer.elapsed() < ms) testing_qt::pumpEvents(5);
  return done();
}

// Tasks wait on it until it opens.
class Gate {
 public:
  void pass() {
    std::unique_lock<std::mutex> lock(mutex_);
    ++waiting_;
    opened_.wait_for(lock, 10s, [&] { return open_; });
  }
  void open() {
    std::lock_guard<std::mutex> lock(mutex_);
    open_ = true;
    opened_.notify_all();
  }
  int waiting() {
    std::lock_guard<std::mutex> lock(mutex_);
    return waiting_;
  }

 private:
  std::mutex mutex_;
  std::condition_variable opened_;
  bool open_ = false;
  int waiting_ = 0;
};

// The threads and their group, the group stopped first as the host does it: a waiting thread
// uses the ConnectionThreads that made it.
struct Pool {
  explicit Pool(ConnectionThreads::Limits limits) : threads(&group, limits) {}
  ~Pool() { group.terminateAll(); }
  ThreadGroup group;
  ConnectionThreads threads;
};

class ConnectionThreadsTest : public ::testing::Test {
 protected:
  void SetUp() override { testing_qt::coreApp(); }
};

TEST_F(ConnectionThreadsTest, AFinishedThreadServesTheNextConnection) {
  Pool pool({2, 10s});
  ThreadGroup& group = pool.group;
  ConnectionThreads& threads = pool.threads;
  std::atomic<std::thread::id> first{}, second{};
  ASSERT_TRUE(threads.run([&] { first = std::this_thread::get_id(); }, 0));
  ASSERT_TRUE(pumpUntil([&] { return threads.idle() == 1; }));
  ASSERT_TRUE(threads.run([&] { second = std::this_thread::get_id(); }, 0));
  ASSERT_TRUE(pumpUntil([&] { return second.load() != std::thread::id(); }));
  EXPECT_EQ(first.load(), second.load()) << "no new thread for the second connection";
  EXPECT_EQ(group.size(), 1);
}

TEST_F(ConnectionThreadsTest, NoMoreThanTheBoundWaitAndNoneLongerThanItsWait) {
  Pool pool({1, 1000ms});
  ThreadGroup& group = pool.group;
  ConnectionThreads& threads = pool.threads;
  Gate gate;
  for (int i = 0; i < 3; ++i) ASSERT_TRUE(threads.run([&] { gate.pass(); }, 0));
  ASSERT_TRUE(pumpUntil([&] { return gate.waiting() == 3; })) << "three at once: three threads";
  gate.open();
  ASSERT_TRUE(pumpUntil([&] { return group.size() == 1; })) << "two exit, one waits";
  EXPECT_EQ(threads.idle(), 1);
  EXPECT_TRUE(pumpUntil([&] { return group.size() == 0; }, 5000)) << "the last after its wait";
  EXPECT_EQ(threads.idle(), 0);
}

TEST_F(ConnectionThreadsTest, AStopEndsAWaitingThreadAtOnce) {
  Pool pool({4, 60s});
  ThreadGroup& group = pool.group;
  ConnectionThreads& threads = pool.threads;
  ASSERT_TRUE(threads.run([] {}, 0));
  ASSERT_TRUE(pumpUntil([&] { return threads.idle() == 1; }));
  QElapsedTimer timer;
  timer.start();
  group.terminateAll();  // what the host does at shutdown
  EXPECT_LT(timer.elapsed(), 2000);
  EXPECT_EQ(threads.idle(), 0);
}

int openDescriptors() { return int(QDir(QStringLiteral("/proc/self/fd")).count()) - 2; }

// Qt gives each of its threads an event dispatcher with a descriptor of its own, and aborts the
// whole process when it cannot open one: a connection thread, which never runs an event loop,
// must cost none.
TEST_F(ConnectionThreadsTest, AConnectionThreadCostsNoDescriptor) {
  Pool pool({0, 0ms});
  ThreadGroup& group = pool.group;
  ConnectionThreads& threads = pool.threads;
  Gate gate;
  const int before = openDescriptors();
  for (int i = 0; i < 16; ++i) ASSERT_TRUE(threads.run([&] { gate.pass(); }, 0));
  ASSERT_TRUE(pumpUntil([&] { return gate.waiting() == 16; }));
  EXPECT_LT(openDescriptors() - before, 4) << "16 threads running";
  gate.open();
  EXPECT_TRUE(pumpUntil([&] { return group.size() == 0; }));
}

// The process's address space, in bytes.
std::size_t virtualSize() {
  std::ifstream statm("/proc/self/statm");
  std::size_t pages = 0;
  statm >> pages;
  return pages * std::size_t(::sysconf(_SC_PAGESIZE));
}

// A thread the system will not make (here: no address space left for its stack) is reported
// at once; nothing waits for it, and its task never runs. Run in a child process, so the limit
// starves nobody else; a wait for a thread that never started would hang it, which the alarm
// turns into a failure.
TEST(ConnectionThreadsDeathTest, AThreadTheSystemRefusesIsReportedNotAwaited) {
  ::testing::FLAGS_gtest_death_test_style = "threadsafe";
  EXPECT_EXIT(
      {
        ::alarm(20);
        testing_qt::coreApp();
        ThreadGroup group;
        ConnectionThreads threads(&group);
        rlimit limit{};
        ::getrlimit(RLIMIT_AS, &limit);
        limit.rlim_cur = virtualSize() + 256u * 1024 * 1024;
        ::setrlimit(RLIMIT_AS, &limit);
        std::atomic<bool> ran{false};
        const bool started = threads.run([&] { ran = true; }, 1u << 30);  // a 1 GiB stack
        group.terminateAll();
        std::_Exit(!started && !ran && group.size() == 0 ? 0 : 1);
      },
      ::testing::ExitedWithCode(0), "");
}

}  // namespace
}  // namespace Zarvo
