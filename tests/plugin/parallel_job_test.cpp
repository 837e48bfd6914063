// Jobs that serve a file's destinations side by side, against the fake sender and the fake web
// pages of loopback devices: the bound on downloads at once, a file fetched once before its
// destinations, a move's source deleted once and only when every destination took it, progress
// that never goes back, a cancel or stop that ends every download in flight, and no file kept
// once a run is over. Also the helper that runs the downloads side by side.
#include <gtest/gtest.h>

#include <QStringList>
#include <atomic>
#include <chrono>
#include <condition_variable>
#include <mutex>
#include <set>
#include <stdexcept>
#include <thread>

#include "framework/Thread.h"
#include "plugin/DSMJob.h"
#include "plugin/SideBySide.h"
#include "tests/fakes/FakeCgiDevices.h"
#include "tests/fakes/FakeDeviceSender.h"
#include "tests/plugin/JobRequests.h"

inline void PrintTo(const QString& text, std::ostream* out) { *out << text.toStdString(); }

namespace Zarvo::dsm {
namespace {

using namespace std::chrono_literals;
using testing_devices::FakeCgiDevices;
using testing_devices::FakeDeviceSender;
using testing_jobs::DeviceFile;
using testing_jobs::finished;
using Clock = std::chrono::steady_clock;

// ---------------------------------------------------------------------------------------------
// The helper

// Items that wait until `together` of them are under way at once (bounded), so a run that can
// reach that many does.
class Overlap {
 public:
  explicit Overlap(int together) : together_(together) {}
  void enter() {
    std::unique_lock<std::mutex> lock(mutex_);
    threads_.insert(std::this_thread::get_id());
    max_ = std::max(max_, ++inside_);
    if (inside_ >= together_) reached_ = true;
    changed_.notify_all();
    changed_.wait_for(lock, 5s, [&] { return reached_; });
    --inside_;
  }
  int max() const { return max_; }
  std::size_t threads() const { return threads_.size(); }

 private:
  const int together_;
  std::mutex mutex_;
  std::condition_variable changed_;
  int inside_ = 0, max_ = 0;
  bool reached_ = false;
  std::set<std::thread::id> threads_;
};

TEST(SideBySide, EveryItemRunsOnceOnAtMostWidthThreads) {
  struct Case {
    const char* why;
    std::size_t count, width;
    int together;  // reached at once
  };
  const Case kCases[] = {
      {"more items than threads", 7, 3, 3},
      {"fewer items than threads: no idle thread", 2, 16, 2},
      {"width 1: the caller alone", 4, 1, 1},
      {"width 0 counts as 1", 3, 0, 1},
  };
  for (const Case& c : kCases) {
    SCOPED_TRACE(c.why);
    Overlap overlap(c.together);
    std::vector<std::atomic<int>> runs(c.count);
    runSideBySide(c.count, c.width, Zarvo::StopToken(), [&](std::size_t i) {
      ++runs[i];
      overlap.enter();
    });
    for (std::size_t i = 0; i < c.count; ++i) EXPECT_EQ(runs[i].load(), 1) << i;
    EXPECT_EQ(overlap.max(), c.together);
    EXPECT_EQ(overlap.threads(), std::size_t(c.together)) << "a thread per item at most width";
  }
  runSideBySide(0, 4, Zarvo::StopToken(), [](std::size_t) { ADD_FAILURE() << "no item"; });
}

TEST(SideBySide, AStopLetsTheFirstItemRunAndNoFurtherOneStart) {
  Zarvo::StopSource before;
  before.requestStop();
  std::vector<std::size_t> ran;
  runSideBySide(5, 1, before.token(), [&](std::size_t i) { ran.push_back(i); });
  EXPECT_EQ(ran, std::vector<std::size_t>{0}) << "item 0 always runs: it was under way already";

  Zarvo::StopSource during;
  ran.clear();
  runSideBySide(5, 1, during.token(), [&](std::size_t i) {
    ran.push_back(i);
    if (i == 1) during.requestStop();
  });
  EXPECT_EQ(ran, (std::vector<std::size_t>{0, 1}));
}

TEST(SideBySide, AnExceptionComesBackOnceEveryItemUnderWayHasEnded) {
  std::atomic<int> ended{0};
  Overlap overlap(3);
  EXPECT_THROW(runSideBySide(10, 3, Zarvo::StopToken(),
                             [&](std::size_t i) {
                               overlap.enter();
                               if (i == 0) throw std::runtime_error("item 0");
                               std::this_thread::sleep_for(20ms);  // still busy when 0 throws
                               ++ended;
                             }),
               std::runtime_error);
  EXPECT_GE(ended.load(), 2) << "the other two items under way ended before it came back";
  EXPECT_LT(ended.load(), 9) << "no item is taken after the failure";
}

TEST(SideBySide, OnItsThreadsTheCurrentStopTokenIsTheRunsStop) {
  Zarvo::StopSource stop;
  std::mutex mutex;
  std::vector<std::pair<std::thread::id, Zarvo::StopToken>> seen;
  Overlap overlap(2);
  runSideBySide(2, 2, stop.token(), [&](std::size_t) {
    overlap.enter();
    std::lock_guard<std::mutex> lock(mutex);
    seen.emplace_back(std::this_thread::get_id(), Zarvo::Thread::currentStopToken());
  });
  ASSERT_EQ(seen.size(), 2u);
  stop.requestStop();
  for (const auto& [thread, token] : seen) {
    if (thread == std::this_thread::get_id()) continue;  // the caller keeps its own
    EXPECT_TRUE(token.stopRequested()) << "a retry pause in a helper ends on the job's stop";
  }
  EXPECT_FALSE(Zarvo::Thread::currentStopToken().stopPossible()) << "restored on the caller";
}

// ---------------------------------------------------------------------------------------------
// Jobs

const QString A = QStringLiteral("127.0.0.1");  // the source device
const QStringList kPrinters = {"127.0.0.2", "127.0.0.3", "127.0.0.4", "127.0.0.5", "127.0.0.6"};
const QString kGet = QStringLiteral("DSMGetFiles.cgi");
const QString kDelete = QStringLiteral("DSMDeletefiles.cgi");
const QByteArray kForm("%!PS\nshowpage\n");

QString row(const Task& t) {
  const FileOutcome shown = t.shown();
  return QString("%1>%2 %3 %4")
      .arg(t.fileName, t.destination, shown.succeeded ? "true" : "false", shown.text);
}
QStringList rows(const DSMJob& job) {
  QStringList out;
  job.forEachTask([&](const Task& t, const FileRecord&) { out << row(t); });
  return out;
}
// The rows of a two-file job to kPrinters in task order: destination by destination, a.ps then
// b.ps; `text(file, printer)` gives each one's "true completed", ...
template <class Text>
QStringList expectedRows(Text text) {
  QStringList out;
  for (const QString& p : kPrinters) {
    for (const char* f : {"a.ps", "b.ps"}) out << QString("%1>%2 %3").arg(f, p, text(f, p));
  }
  return out;
}
QStringList deletedNames(const FakeCgiDevices& devices) {
  QStringList names;
  for (const auto& r : devices.requests(A, kDelete))
    names << QString::fromLatin1(r.fields[0].second);
  return names;
}

class ParallelJobs : public ::testing::Test {
 protected:
  ParallelJobs() : devices_({A}) {
    cgi_.port = devices_.port();
    cgi_.limits.connectTimeout = 5s;
    cgi_.limits.lowSpeedTime = 5s;
    devices_.putFile(A, "a.ps", kForm);
    devices_.putFile(A, "b.ps", kForm);
  }

  // A copy or move of a.ps and b.ps to `to`, downloading through `sender`.
  template <class Request>
  std::shared_ptr<DSMJob> transfer(int parallel, const QStringList& to, FakeDeviceSender* sender,
                                   const QList<DeviceFile>& files) {
    return Zarvo::makeSharedThread<DSMJob>(
        sender, TransferPlan(testing_jobs::transferRequest<Request>(A, files, to)), cgi_, parallel);
  }
  std::shared_ptr<DSMJob> copy(int parallel, const QStringList& to = kPrinters,
                               FakeDeviceSender* sender = nullptr,
                               const QList<DeviceFile>& files = kBothFiles) {
    return transfer<TransferPlan::CopyRequest>(parallel, to, sender ? sender : &sender_, files);
  }
  std::shared_ptr<DSMJob> move(int parallel, const QStringList& to = kPrinters,
                               FakeDeviceSender* sender = nullptr) {
    return transfer<TransferPlan::MoveRequest>(parallel, to, sender ? sender : &sender_,
                                               kBothFiles);
  }

  static inline const QList<DeviceFile> kBothFiles = {{"a.ps", quint32(kForm.size()), "psForm", 0},
                                                      {"b.ps", quint32(kForm.size()), "psForm", 0}};

  FakeCgiDevices devices_;
  FakeDeviceSender sender_;
  DeviceCgiSettings cgi_;
};

TEST_F(ParallelJobs, AFileGoesToItsDestinationsAtOnceAtMostParallelDownloadsAtATime) {
  auto job = copy(2);
  std::mutex mutex;
  std::vector<int> progress;  // as seen at each download, in the order seen
  std::vector<int> fetchesAtSend;
  sender_.setOnSend([&, j = job.get()] {
    std::lock_guard<std::mutex> lock(mutex);
    progress.push_back(j->progress());
    fetchesAtSend.push_back(int(devices_.requests(A, kGet).size()));
  });
  sender_.setHolding(true);
  job->startRun();
  ASSERT_TRUE(sender_.waitForHeld(2));
  EXPECT_EQ(sender_.sent().size(), 2) << "the third destination waits for a free download";
  sender_.release();
  ASSERT_EQ(finished(*job), JobStatus::kCompleted);
  EXPECT_EQ(job->progress(), 100);

  EXPECT_EQ(sender_.maxInFlight(), 2);
  QStringList order;
  for (const auto& s : sender_.sent()) order << QString(s.bytes.contains("NAME=a.ps") ? "a" : "b");
  EXPECT_EQ(order.join(""), "aaaaabbbbb") << "file by file";
  EXPECT_EQ(devices_.requests(A, kGet).size(), 2) << "each file fetched once";
  EXPECT_EQ(fetchesAtSend, (std::vector<int>{1, 1, 1, 1, 1, 2, 2, 2, 2, 2}))
      << "before any of its destinations is served";
  EXPECT_TRUE(std::is_sorted(progress.begin(), progress.end())) << "never goes back";
  EXPECT_EQ(rows(*job), expectedRows([](auto, auto) { return "true completed"; }))
      << "the details keep the task order";
  job->forEachTask([](const Task&, const FileRecord& r) { EXPECT_FALSE(r.contentKnown); });
}

TEST_F(ParallelJobs, AMoveDeletesEachSourceOnceAfterItsLastDestinationTookIt) {
  auto job = move(16, {kPrinters[0], kPrinters[1], kPrinters[2]});
  std::mutex mutex;
  QStringList deletedAtSend;
  sender_.setOnSend([&] {
    std::lock_guard<std::mutex> lock(mutex);
    deletedAtSend << deletedNames(devices_).join(",");
  });
  job->startRun();
  ASSERT_EQ(finished(*job), JobStatus::kCompleted);
  EXPECT_EQ(deletedNames(devices_), (QStringList{"a.ps", "b.ps"})) << "once per file";
  EXPECT_EQ(deletedAtSend, (QStringList{"", "", "", "a.ps", "a.ps", "a.ps"}))
      << "a.ps went only once its three downloads had ended, before b.ps was sent";

  devices_.putFile(A, "a.ps", kForm);
  devices_.putFile(A, "b.ps", kForm);
  sender_.setOutcome(kPrinters[1], FileOutcome::confirmed(false, "FileSystemFull"));
  auto failing = move(16, {kPrinters[0], kPrinters[1], kPrinters[2]});
  failing->startRun();
  ASSERT_EQ(finished(*failing), JobStatus::kFailed);
  EXPECT_EQ(deletedNames(devices_).size(), 2) << "no delete when one destination failed";
  EXPECT_TRUE(devices_.hasFile(A, "a.ps"));
}

TEST_F(ParallelJobs, ACancelOrAStopEndsEveryDownloadInFlight) {
  struct Case {
    const char* why;
    void (*end)(DSMJob&);
    JobStatus status;
  };
  const Case kCases[] = {
      {"cancel", [](DSMJob& j) { j.cancel(); }, JobStatus::kCanceled},
      {"the thread's stop (shutdown)", [](DSMJob& j) { j.retire(); }, JobStatus::kFailed},
  };
  for (const Case& c : kCases) {
    SCOPED_TRACE(c.why);
    FakeDeviceSender sender;
    auto job = copy(3, kPrinters, &sender, {kBothFiles[0]});
    sender.setHolding(true);
    job->startRun();
    ASSERT_TRUE(sender.waitForHeld(3));
    const auto before = Clock::now();
    c.end(*job);
    EXPECT_EQ(finished(*job, 5s), c.status);
    EXPECT_LT(Clock::now() - before, 5s);
    EXPECT_EQ(sender.sent().size(), 3) << "no download starts after it";
    EXPECT_EQ(sender.held(), 0);
    EXPECT_EQ(job->progress(), 60) << "three of five passed: ((2 x 3) x 100 / 5) / 2";
  }
}

TEST_F(ParallelJobs, ADownloadThatThrowsEndsTheRunFailedOnceTheOthersEnded) {
  sender_.setThrowing(true);
  auto job = copy(4);
  job->startRun();
  EXPECT_EQ(finished(*job), JobStatus::kFailed) << "not left IN_PROGRESS for ever";
  EXPECT_TRUE(sender_.sent().isEmpty());
}

}  // namespace
}  // namespace Zarvo::dsm
