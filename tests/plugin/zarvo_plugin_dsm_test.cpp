// The operation registry through the handlers of the service, in-process, with a fake sender and
// the fake web pages of loopback devices: IDs, the list and details answers during and after
// runs, clear, cancel and retry, and that no registry handler waits for a running job.
#include <gtest/gtest.h>

#include <QDir>
#include <QFile>
#include <QTemporaryDir>
#include <atomic>
#include <chrono>
#include <future>
#include <set>
#include <thread>

#include "plugin/ZarvoPluginDSM.h"
#include "tests/fakes/FakeCgiDevices.h"
#include "tests/fakes/FakeDeviceSender.h"
#include "tests/fakes/ServiceClients.h"
#include "tests/plugin/JobRequests.h"

namespace Zarvo::dsm {
namespace {

using namespace std::chrono_literals;
using testing_devices::FakeCgiDevices;
using testing_devices::FakeDeviceSender;
using testing_http::httpResponse;
using testing_http::Reply;
using testing_jobs::DeviceFile;
using Clock = std::chrono::steady_clock;

const QString A = QStringLiteral("127.0.0.1");
const QString B = QStringLiteral("127.0.0.2");
const QString C = QStringLiteral("127.0.0.3");
const QByteArray kForm("%!PS\nshowpage\n");

QString qs(const std::u16string& s) { return QString::fromStdU16String(s); }

class Registry : public ::testing::Test {
 protected:
  Registry() : devices_({A, B, C}) {
    QDir(dir_.path()).mkpath("Files");
    DeviceCgiSettings cgi;
    cgi.port = devices_.port();
    cgi.limits.connectTimeout = 5s;
    plugin_ = std::make_unique<ZarvoPluginDSM>(services_, dir_.path() + "/Files/", &sender_, cgi);
    devices_.putFile(A, "a.ps", kForm);
    devices_.putFile(A, "b.ps", kForm);
  }

  void copyFiles(const QStringList& names, const QStringList& to) {
    QList<DeviceFile> files;
    for (const QString& n : names) files.append({n, quint32(kForm.size()), "psForm", 0});
    auto request = testing_jobs::transferRequest<ZarvoPluginDSM::CopyFileRequest>(A, files, to);
    expectPlain(*plugin_->DSMCopyFile(request));
  }
  void moveFile(const QString& name, const QStringList& to) {
    auto request = testing_jobs::transferRequest<ZarvoPluginDSM::MoveFileRequest>(
        A, {{name, quint32(kForm.size()), "psForm", 0}}, to);
    expectPlain(*plugin_->DSMMoveFile(request));
  }
  void deleteFiles(const QStringList& names) {
    QList<DeviceFile> files;
    for (const QString& n : names) files.append({n, 1, "pclFont", 2});
    auto request = testing_jobs::deleteRequest<ZarvoPluginDSM::DeleteFileRequest>(C, files);
    expectPlain(*plugin_->DSMDeleteFile(request));
  }
  void addStored(const QStringList& names) {
    auto request = testing_jobs::addRequest<ZarvoPluginDSM::AddFileRequest>(B, {}, names);
    expectPlain(*plugin_->DSMAddFile(request));
  }

  template <class Response>
  static void expectPlain(const Response& r) {
    EXPECT_EQ(r.get_Result(), 0);
    EXPECT_EQ(r.get_Details(), u"");
  }

  // One line per operation: "ID TYPE STATUS PROGRESS SOURCE DESTINATION".
  QStringList list() {
    ZarvoPluginDSM::GetOperationListRequest request;
    auto response = plugin_->DSMGetOperationList(request);
    expectPlain(*response);
    QStringList lines;
    for (std::size_t i = 0; i < response->size_Operation(); ++i) {
      const auto& op = response->get_Operation(i);
      lines << QString("%1 %2 %3 %4 %5 %6")
                   .arg(op.get_ID())
                   .arg(qs(op.get_Type()), qs(op.get_Status()))
                   .arg(op.get_Progress())
                   .arg(qs(op.get_Source()), qs(op.get_Destination()));
    }
    return lines;
  }
  // "TYPE STATUS SOURCE DESTINATION" then one line per file:
  // "NAME SIZE TYPE SOURCE DESTINATION RESULT DETAILS"; empty for a plain answer.
  QStringList details(std::uint32_t id) {
    ZarvoPluginDSM::DetailsOperationRequest request;
    (void)request.set_OperationID(id);
    auto r = plugin_->DSMDetailsOperation(request);
    expectPlain(*r);
    if (!r->isset_Type()) {
      EXPECT_EQ(r->size_File(), 0u);
      return {};
    }
    QStringList lines{QString("%1 %2 %3 %4")
                          .arg(qs(r->get_Type()), qs(r->get_Status()), qs(r->get_Source()),
                               qs(r->get_Destination()))};
    for (std::size_t i = 0; i < r->size_File(); ++i) {
      const auto& f = r->get_File(i);
      lines << QString("%1 %2 %3 %4 %5 %6 %7")
                   .arg(qs(f.get_FileName()))
                   .arg(f.get_FileSize())
                   .arg(qs(f.get_FileType()), qs(f.get_Source()), qs(f.get_Destination()))
                   .arg(f.get_Result() ? "true" : "false", qs(f.get_Details()));
    }
    return lines;
  }
  void cancel(std::uint32_t id) {
    ZarvoPluginDSM::CancelOperationRequest request;
    (void)request.set_OperationID(id);
    expectPlain(*plugin_->DSMCancelOperation(request));
  }
  void retry(std::uint32_t id) {
    ZarvoPluginDSM::RetryOperationRequest request;
    (void)request.set_OperationID(id);
    expectPlain(*plugin_->DSMRetryOperation(request));
  }
  void clear() {
    ZarvoPluginDSM::ClearCompletedOperationRequest request;
    expectPlain(*plugin_->DSMClearCompletedOperation(request));
  }
  // Waits (bounded) until the run of every listed operation has ended; the list then.
  QStringList settled() {
    for (const QString& line : list()) (void)finished(line.section(' ', 0, 0).toUInt());
    return list();
  }
  JobStatus finished(std::uint32_t id) { return testing_jobs::finished(*plugin_->operation(id)); }
  // Until a retry of `id` has begun: it marks the job at once, then waits for the run ahead.
  void untilRetryBegun(std::uint32_t id) {
    const std::shared_ptr<DSMJob> job = plugin_->operation(id);
    const auto end = Clock::now() + 10s;
    while (!job->retryPending() && Clock::now() < end) std::this_thread::yield();
  }

  QTemporaryDir dir_;
  FakeCgiDevices devices_;
  FakeDeviceSender sender_;
  testing_orx::FakeServiceClient services_;  // jobs ask no other service
  std::unique_ptr<ZarvoPluginDSM> plugin_;
};

TEST_F(Registry, IdsCountFromZeroAndTheListShowsEachOperation) {
  EXPECT_TRUE(list().isEmpty()) << "a fresh service has no operation";
  QFile stored(dir_.path() + "/Files/s.ps");
  ASSERT_TRUE(stored.open(QIODevice::WriteOnly));
  stored.write(kForm);
  stored.close();

  copyFiles({"a.ps"}, {B, C});
  addStored({});  // nothing to add: creates no operation
  addStored({"s.ps"});
  deleteFiles({"x.pcl"});
  moveFile("b.ps", {C});
  EXPECT_EQ(settled(), (QStringList{
                           "0 COPY COMPLETED 100 127.0.0.1 127.0.0.2;127.0.0.3",
                           "1 ADD COMPLETED 100 - 127.0.0.2",
                           "2 DELETE COMPLETED 100 127.0.0.3 -",
                           "3 MOVE COMPLETED 100 127.0.0.1 127.0.0.3",
                       }));
  clear();
  EXPECT_TRUE(list().isEmpty());
  copyFiles({"a.ps"}, {B});
  EXPECT_TRUE(settled().first().startsWith("4 COPY")) << "IDs are never reused";
}

// Forty delete jobs, their device page requests made from as many job threads at once: under the
// sanitizers this also shows that the HTTP client shares no state between calls.
TEST_F(Registry, ConcurrentFileCommandsGetDistinctIds) {
  constexpr int kThreads = 4;
  constexpr int kEach = 10;
  std::vector<std::thread> threads;
  for (int t = 0; t < kThreads; ++t) {
    threads.emplace_back([this] {
      for (int i = 0; i < kEach; ++i) deleteFiles({"x.pcl"});
    });
  }
  for (auto& t : threads) t.join();
  const QStringList ops = settled();
  ASSERT_EQ(ops.size(), kThreads * kEach);
  for (int i = 0; i < ops.size(); ++i) {
    EXPECT_TRUE(ops[i].startsWith(QString::number(i) + " DELETE")) << ops[i].toStdString();
  }
}

TEST_F(Registry, DetailsDuringAndAfterARun) {
  sender_.setHolding(true);
  copyFiles({"b.ps", "a.ps"}, {B, C});
  ASSERT_TRUE(sender_.waitForHeld(2)) << "a.ps goes to both destinations at once";
  EXPECT_EQ(list(), QStringList{"0 COPY IN_PROGRESS 25 127.0.0.1 127.0.0.2;127.0.0.3"});
  EXPECT_EQ(details(0), (QStringList{
                            "COPY IN_PROGRESS 127.0.0.1 127.0.0.2;127.0.0.3",
                            "a.ps 14 psForm 127.0.0.1 127.0.0.2 false completed",
                            "b.ps 14 psForm 127.0.0.1 127.0.0.2 false completed",
                            "a.ps 14 psForm 127.0.0.1 127.0.0.3 false completed",
                            "b.ps 14 psForm 127.0.0.1 127.0.0.3 false completed",
                        }))
      << "before a task has run it shows false beside \"completed\"";
  sender_.setOutcome(C, FileOutcome::timeout());
  sender_.release();
  EXPECT_EQ(settled(), QStringList{"0 COPY FAILED 100 127.0.0.1 127.0.0.2;127.0.0.3"});
  EXPECT_EQ(details(0), (QStringList{
                            "COPY FAILED 127.0.0.1 127.0.0.2;127.0.0.3",
                            "a.ps 14 psForm 127.0.0.1 127.0.0.2 true completed",
                            "b.ps 14 psForm 127.0.0.1 127.0.0.2 true completed",
                            "a.ps 14 psForm 127.0.0.1 127.0.0.3 false Timeout",
                            "b.ps 14 psForm 127.0.0.1 127.0.0.3 false Timeout",
                        }));

  deleteFiles({"z.pcl", "y.pcl"});
  settled();
  EXPECT_EQ(details(1), (QStringList{
                            "DELETE COMPLETED 127.0.0.3 -",
                            "z.pcl 1 pclFont 127.0.0.3 - true completed",
                            "y.pcl 1 pclFont 127.0.0.3 - true completed",
                        }))
      << "the address a task lacks is shown as \"-\"";
}

// A delete never looks at a cancel before it starts: a cancel left on a finished delete must not
// make its retry skip the device and report every file as failed.
TEST_F(Registry, ARetriedDeleteIgnoresACancelLeftFromBefore) {
  deleteFiles({"x.pcl"});
  ASSERT_EQ(settled(), QStringList{"0 DELETE COMPLETED 100 127.0.0.3 -"});
  cancel(0);
  retry(0);
  EXPECT_EQ(settled(), QStringList{"0 DELETE COMPLETED 100 127.0.0.3 -"});
  EXPECT_EQ(devices_.requests(C, "DSMDeletefiles.cgi").size(), 2) << "the retry sent its request";
}

TEST_F(Registry, AJobOfMoreThan100000TasksIsRefusedWithResult3) {
  const auto destinations = [](int n) {
    QStringList to;
    for (int i = 0; i < n; ++i)
      to << QString("10.%1.%2.%3").arg(i >> 16).arg((i >> 8) & 255).arg(i & 255);
    return to;
  };
  const QString kDetails =
      "Wrong request format: the job would have %1 tasks (one per file and device), more "
      "than the 100000 a job may have";
  // (Result, Details) of each handler's answer to a request one task too large, or more.
  const auto answer = [](const auto& r) {
    return std::make_pair(r->get_Result(), qs(r->get_Details()));
  };
  QList<DeviceFile> manyFiles;
  for (int i = 0; i < 100001; ++i) manyFiles.append({QString::number(i), 1, "pclFont", 0});
  auto copy = testing_jobs::transferRequest<ZarvoPluginDSM::CopyFileRequest>(
      A, {{"a.ps", 1, "psForm", 0}, {"b.ps", 1, "psForm", 0}}, destinations(50001));
  EXPECT_EQ(answer(plugin_->DSMCopyFile(copy)), std::make_pair(3, kDetails.arg(100002)));
  auto move = testing_jobs::transferRequest<ZarvoPluginDSM::MoveFileRequest>(
      A, {{"a.ps", 1, "psForm", 0}}, destinations(100001));
  EXPECT_EQ(answer(plugin_->DSMMoveFile(move)), std::make_pair(3, kDetails.arg(100001)));
  auto remove = testing_jobs::deleteRequest<ZarvoPluginDSM::DeleteFileRequest>(C, manyFiles);
  EXPECT_EQ(answer(plugin_->DSMDeleteFile(remove)), std::make_pair(3, kDetails.arg(100001)));
  auto add = testing_jobs::addRequest<ZarvoPluginDSM::AddFileRequest>(
      B, {}, QStringList(100001, "none.ps"));
  EXPECT_EQ(answer(plugin_->DSMAddFile(add)), std::make_pair(3, kDetails.arg(100001)));
  EXPECT_TRUE(list().isEmpty()) << "nothing of a refused job is registered";

  // The bound itself is a job: its fetch fails, so no download is made.
  devices_.setReply(A, "DSMGetFiles.cgi", Reply{httpResponse("", true, 404)});
  const QStringList to = destinations(100000);
  const auto start = Clock::now();
  copyFiles({"a.ps"}, to);
  const QStringList done = settled();
  ASSERT_EQ(done.size(), 1);
  EXPECT_TRUE(done[0].startsWith("0 COPY FAILED 100 127.0.0.1 10.0.0.0;10.0.0.1;"));
  EXPECT_LT(Clock::now() - start, 10s) << "built, run and listed in linear time";
  EXPECT_TRUE(sender_.sent().isEmpty());
}

TEST_F(Registry, UnknownOperationIdsGetAPlainAnswerAndChangeNothing) {
  copyFiles({"a.ps"}, {B});
  const QStringList before = settled();
  for (std::uint32_t id : {1u, 99u, 4294967295u}) {
    EXPECT_TRUE(details(id).isEmpty()) << id;
    cancel(id);
    retry(id);
  }
  EXPECT_EQ(list(), before);
}

TEST_F(Registry, WhileARetryWaitsForARunningJobTheOtherHandlersAnswer) {
  sender_.setHolding(true);
  copyFiles({"a.ps"}, {B});
  ASSERT_TRUE(sender_.waitForHeld(1));
  std::atomic<bool> retried{false};
  std::thread retrying([&] {
    retry(0);
    retried = true;
  });
  untilRetryBegun(0);

  copyFiles({"a.ps"}, {C});  // a new operation is created meanwhile
  EXPECT_EQ(list().first(), "0 COPY IN_PROGRESS 0 127.0.0.1 127.0.0.2")
      << "shown as restarted at once";
  EXPECT_FALSE(details(0).isEmpty());
  clear();
  EXPECT_EQ(list().size(), 2) << "a job a retry is about to restart is not cleared";
  EXPECT_FALSE(retried) << "all of this was answered while the retry still waited";

  cancel(0);  // cuts the old run's wait: the retry goes on at once
  retrying.join();
  sender_.release();
  EXPECT_EQ(settled(), (QStringList{"0 COPY COMPLETED 100 127.0.0.1 127.0.0.2",
                                    "1 COPY COMPLETED 100 127.0.0.1 127.0.0.3"}))
      << "the old run met the cancel; the retry's run went through";
}

// The host stops a service by waiting for its requests in progress. A retry that waits for a
// run held at a device's confirmation is one of them: the stop must end that run, not sit out
// the device's 300 s.
TEST_F(Registry, StoppingTheServiceEndsARetryThatWaitsForARunningJob) {
  sender_.setHolding(true);
  copyFiles({"a.ps"}, {B});
  ASSERT_TRUE(sender_.waitForHeld(1));
  ZarvoPluginDSM::RetryOperationRequest request;
  (void)request.set_OperationID(0);
  auto retrying = std::async(std::launch::async, [&] { return plugin_->processPacket(request); });
  untilRetryBegun(0);
  ASSERT_EQ(plugin_->requestsInProgress(), 1) << "the retry never reached its wait";

  auto stopping = std::async(std::launch::async, [&] { return plugin_->stop(); });
  const bool stopped = stopping.wait_for(5s) == std::future_status::ready;
  sender_.release();  // lets a stuck stop end, so a failure does not hang the test
  EXPECT_TRUE(stopped) << "the stop waited for the held download";
  EXPECT_TRUE(stopping.get());
  EXPECT_EQ(retrying.wait_for(5s), std::future_status::ready);
  EXPECT_FALSE(sender_.waitForSent(2, 300ms)) << "the retry began a new run during the stop";
}

TEST_F(Registry, DestroyingTheServiceEndsRunningJobsPromptly) {
  sender_.setHolding(true);
  copyFiles({"a.ps"}, {B});
  copyFiles({"b.ps"}, {C});
  devices_.setReply(C, "DSMDeletefiles.cgi", Reply{{}, true});
  deleteFiles({"x.pcl"});
  ASSERT_TRUE(sender_.waitForHeld(2));
  ASSERT_TRUE(devices_.waitForHeld(1));
  const auto start = Clock::now();
  plugin_.reset();
  EXPECT_LT(Clock::now() - start, 5s) << "every wait of every job ended on the stop";
  EXPECT_EQ(sender_.held(), 0);
}

}  // namespace

}  // namespace Zarvo::dsm
