// The runner of file jobs against a fake sender and the fake web pages of three loopback devices:
// what its runs fetch, send and delete and the texts they record, and that cancel, the thread's
// stop and a retry behave on every wait. What a plan builds and how it counts is checked on the
// plans themselves.
#include <gtest/gtest.h>

#include <QDir>
#include <QFile>
#include <QTemporaryDir>
#include <chrono>

#include "plugin/DSMJob.h"
#include "plugin/ServerFileStore.h"
#include "plugin/TCP9100File.h"
#include "tests/fakes/Bytes.h"
#include "tests/fakes/FakeCgiDevices.h"
#include "tests/fakes/FakeDeviceSender.h"
#include "tests/plugin/JobRequests.h"

namespace Zarvo::dsm {
namespace {

using namespace std::chrono_literals;
using testing_bytes::hex;
using testing_devices::FakeCgiDevices;
using testing_devices::FakeDeviceSender;
using testing_http::httpResponse;
using testing_http::Reply;
using testing_jobs::DeviceFile;
using testing_jobs::finished;
using Clock = std::chrono::steady_clock;

const QString A = QStringLiteral("127.0.0.1");  // the source device
const QString B = QStringLiteral("127.0.0.2");
const QString C = QStringLiteral("127.0.0.3");
const QString kGet = QStringLiteral("DSMGetFiles.cgi");
const QString kDelete = QStringLiteral("DSMDeletefiles.cgi");

const QByteArray kPclFont("\x1b)s4Wabcd");
const QByteArray kPclMacro("\x1b&f7Y\x1b&f0Xbody");
const QByteArray kPsFont("%!PS-AdobeFont-1.0\n/FontName /Courier-Bold def\n");
const QByteArray kPsForm("%!PS\nshowpage\n");

// What the details show of each task: "file source>destination succeeded text".
QString row(const QString& file, const QString& from, const QString& to, bool ok,
            const QString& text) {
  return QString("%1 %2>%3 %4 %5").arg(file, from, to, ok ? "true" : "false", text);
}
QStringList rows(const DSMJob& job) {
  QStringList out;
  job.forEachTask([&](const Task& t, const FileRecord&) {
    const FileOutcome shown = t.shown();
    out << row(t.fileName, t.source, t.destination, shown.succeeded, shown.text);
  });
  return out;
}

// The fields of a recorded page request as text, "FileName=a.ps,FileType=2,..."
QString fieldsOf(const testing_devices::CgiRequest& r) {
  QStringList parts;
  for (const auto& f : r.fields) parts << f.first + "=" + QString::fromLatin1(f.second);
  return parts.join(',');
}

class Jobs : public ::testing::Test {
 protected:
  Jobs() : devices_({A, B, C}) {
    cgi_.port = devices_.port();
    cgi_.limits.connectTimeout = 5s;
    cgi_.limits.lowSpeedTime = 5s;
  }

  // One download at a time: these tests pin the task order and its progress values; the runs
  // with a file's destinations side by side are tested beside them (parallel_job_test.cpp).
  template <class Plan>
  std::shared_ptr<DSMJob> job(Plan plan) {
    return Zarvo::makeSharedThread<DSMJob>(&sender_, std::move(plan), cgi_, 1);
  }
  std::shared_ptr<DSMJob> copy(const QList<DeviceFile>& files, const QStringList& to) {
    return job(
        TransferPlan(testing_jobs::transferRequest<TransferPlan::CopyRequest>(A, files, to)));
  }
  std::shared_ptr<DSMJob> move(const QList<DeviceFile>& files, const QStringList& to) {
    return job(
        TransferPlan(testing_jobs::transferRequest<TransferPlan::MoveRequest>(A, files, to)));
  }
  std::shared_ptr<DSMJob> remove(const QList<DeviceFile>& files) {
    return job(DeletePlan(testing_jobs::deleteRequest<DeletePlan::Request>(A, files)));
  }

  FakeCgiDevices devices_;
  FakeDeviceSender sender_;
  DeviceCgiSettings cgi_;
};

// ---------------------------------------------------------------------------------------------
// Copy, move, add

TEST_F(Jobs, CopyFetchesEachFileOnceAndSendsItToEveryDestination) {
  devices_.putFile(A, "a.ps", kPsForm);
  devices_.putFile(A, "f.pcl", kPclFont);
  auto job = copy({{"a.ps", quint32(kPsForm.size()), "psForm", 3},
                   {"f.pcl", quint32(kPclFont.size()), "pclFont", 12}},
                  {B, C});
  std::vector<int> progress;
  sender_.setOnSend([&, j = job.get()] { progress.push_back(j->progress()); });
  job->startRun();
  ASSERT_EQ(finished(*job), JobStatus::kCompleted);
  EXPECT_EQ(progress, (std::vector<int>{12, 37, 62, 87})) << "each task is under way as it sends";

  const auto fetches = devices_.requests(A, kGet);
  ASSERT_EQ(fetches.size(), 2) << "fetched once per job, kept for the second destination";
  EXPECT_EQ(fieldsOf(fetches[0]), "FileName=a.ps,FileType=2,FontMacroId=3");
  EXPECT_EQ(fieldsOf(fetches[1]), "FileName=f.pcl,FileType=3,FontMacroId=12");

  const auto sent = sender_.sent();
  ASSERT_EQ(sent.size(), 4);
  const QStringList order = {sent[0].address, sent[1].address, sent[2].address, sent[3].address};
  EXPECT_EQ(order, QStringList({B, B, C, C}));
  EXPECT_EQ(hex(sent[3].bytes), hex(TCP9100FilePCLFont(kPclFont).header() + kPclFont +
                                    TCP9100FilePCLFont(kPclFont).trailer()));
  EXPECT_EQ(rows(*job).filter(" true completed").size(), 4);
}

TEST_F(Jobs, FailedFetchesAndDownloadsEndFailedWithTheirTexts) {
  devices_.putFile(A, "ok.ps", kPsForm);
  devices_.putFile(A, "bad.ps", "\x80\x09garbage");  // a segmented font of no known segment
  auto job = copy({{"gone.ps", 3, "psForm", 0},
                   {"ok.ps", quint32(kPsForm.size()), "psForm", 0},
                   {"bad.ps", 9, "psFont", 0}},
                  {B, C});
  sender_.setOutcome(C, FileOutcome::confirmed(false, "FileSystemFull"));
  job->startRun();
  ASSERT_EQ(finished(*job), JobStatus::kFailed);
  EXPECT_EQ(job->progress(), 100) << "every task passed; a failure keeps the last progress";
  EXPECT_EQ(rows(*job), (QStringList{row("bad.ps", A, B, false, "UnknownFileType"),
                                     row("gone.ps", A, B, false, "DeviceDosntResponse"),
                                     row("ok.ps", A, B, true, "completed"),
                                     row("bad.ps", A, C, false, "UnknownFileType"),
                                     row("gone.ps", A, C, false, "DeviceDosntResponse"),
                                     row("ok.ps", A, C, false, "FileSystemFull")}));
  EXPECT_EQ(devices_.requests(A, kGet).size(), 4)
      << "a file whose fetch failed is asked for again at its next task; the others once";
}

TEST_F(Jobs, MoveDeletesTheSourceAfterItsLastDestinationAndARetryRepeatsTheDelete) {
  devices_.putFile(A, "m.pcl", kPclMacro);
  auto job = move({{"m.pcl", quint32(kPclMacro.size()), "pclMacro", 7}}, {B, C});
  int deletesAtSecondSend = -1;
  sender_.setOnSend([&] {
    if (sender_.sent().size() == 1) deletesAtSecondSend = devices_.requests(A, kDelete).size();
  });
  job->startRun();
  ASSERT_EQ(finished(*job), JobStatus::kCompleted);
  EXPECT_EQ(deletesAtSecondSend, 0) << "not deleted before the second download";
  const auto deletes = devices_.requests(A, kDelete);
  ASSERT_EQ(deletes.size(), 1);
  EXPECT_EQ(fieldsOf(deletes[0]), "FileName=m.pcl,FileType=4,FontMacroId=7");
  EXPECT_FALSE(devices_.hasFile(A, "m.pcl"));

  job->prepareRetry();
  job->restart();
  ASSERT_EQ(finished(*job), JobStatus::kCompleted);
  EXPECT_EQ(sender_.sent().size(), 2) << "a retry of a completed move sends nothing again";
  EXPECT_EQ(devices_.requests(A, kDelete).size(), 3) << "but repeats the delete at each task";
  EXPECT_EQ(devices_.requests(A, kGet).size(), 1);
}

TEST_F(Jobs, MoveWhoseFetchAnswersEmptyNeitherSendsNorDeletes) {
  devices_.setReply(A, kGet, Reply{httpResponse("")});
  auto job = move({{"m.ps", 50, "psForm", 0}}, {B});
  job->startRun();
  EXPECT_EQ(finished(*job), JobStatus::kFailed);
  EXPECT_TRUE(rows(*job)[0].endsWith(" DeviceDosntResponse"));
  EXPECT_TRUE(sender_.sent().isEmpty());
  EXPECT_TRUE(devices_.requests(A, kDelete).isEmpty()) << "the source keeps the only copy";
}

TEST_F(Jobs, AddSendsWhatItReadAndFailsUnreadableStoredFilesUnsent) {
  QTemporaryDir dir;
  QDir(dir.path()).mkpath("Files");
  const ServerFileStore store(dir.path() + "/Files/");
  QFile stored(store.directory() + "cour.pfa");
  ASSERT_TRUE(stored.open(QIODevice::WriteOnly));
  stored.write(kPsFont);
  stored.close();
  auto add = job(AddPlan(
      testing_jobs::addRequest<AddPlan::Request>(B, {}, {"cour.pfa", "missing.ps"}), store));
  add->startRun();
  ASSERT_EQ(finished(*add), JobStatus::kFailed);
  EXPECT_EQ(rows(*add), (QStringList{row("cour.pfa", "", B, true, "completed"),
                                     row("missing.ps", "", B, false, "UnknownFileType")}));
  const auto sent = sender_.sent();
  ASSERT_EQ(sent.size(), 1) << "no empty form goes out for a file that was not read";
  EXPECT_TRUE(sent[0].bytes.contains("PSDOWNLOADFONT NAME=Courier-Bold SIZE="))
      << "a PostScript font is announced under its own font name";
  EXPECT_TRUE(devices_.requests().isEmpty()) << "an add job never asks a device page";
}

// ---------------------------------------------------------------------------------------------
// Cancel, stop and retry

TEST_F(Jobs, ACancelWhileNoRunIsActiveIsMetAtTheFirstTaskOfTheNextRun) {
  devices_.putFile(A, "a.ps", kPsForm);
  auto job = copy({{"a.ps", quint32(kPsForm.size()), "psForm", 0}}, {B});
  job->cancel();
  job->startRun();
  EXPECT_EQ(finished(*job), JobStatus::kCanceled);
  EXPECT_EQ(job->progress(), 0);
  EXPECT_TRUE(devices_.requests().isEmpty());
  EXPECT_TRUE(sender_.sent().isEmpty());
  EXPECT_FALSE(job->cancelRequested()) << "the run that met the cancel cleared it";
  job->prepareRetry();
  job->restart();
  EXPECT_EQ(finished(*job), JobStatus::kCompleted) << "the next retry runs normally";

  job->cancel();
  EXPECT_EQ(job->status(), JobStatus::kCompleted) << "a cancel alone changes nothing";
  job->prepareRetry();
  job->restart();
  EXPECT_EQ(finished(*job), JobStatus::kCanceled) << "met at the first task of the retry";
  EXPECT_EQ(job->progress(), 0);
}

TEST_F(Jobs, CancelWhileADownloadAwaitsItsConfirmationEndsThatWaitPromptly) {
  devices_.putFile(A, "a.ps", kPsForm);
  devices_.putFile(A, "b.ps", kPsForm);
  auto job = copy({{"a.ps", quint32(kPsForm.size()), "psForm", 0},
                   {"b.ps", quint32(kPsForm.size()), "psForm", 0}},
                  {B});
  sender_.setHolding(true);
  job->startRun();
  ASSERT_TRUE(sender_.waitForHeld(1));
  const auto before = Clock::now();
  job->cancel();
  EXPECT_EQ(finished(*job, 5s), JobStatus::kCanceled);
  EXPECT_LT(Clock::now() - before, 5s) << "the confirmation wait ended on the cancel";
  EXPECT_EQ(job->progress(), 50) << "as set after the cut task";
  const QStringList expected = {
      row("a.ps", A, B, false, FakeDeviceSender::stoppedOutcome().text),
      row("b.ps", A, B, false, "completed"),
  };
  EXPECT_EQ(rows(*job), expected) << "the cut download keeps the sender's text; b never ran";
  EXPECT_EQ(sender_.sent().size(), 1);
}

TEST_F(Jobs, CancelWhileADevicePageHangsEndsTheRequestPromptly) {
  // The fetch of a copy, the one request of a delete: under way it counts half; cut, it passed.
  for (const QString& page : {kGet, kDelete}) {
    SCOPED_TRACE(page.toStdString());
    FakeCgiDevices devices({A});
    cgi_.port = devices.port();
    devices.setReply(A, page, Reply{{}, true});
    auto job =
        page == kGet ? copy({{"a.ps", 5, "psForm", 0}}, {B}) : remove({{"a.ps", 1, "psForm", 0}});
    job->startRun();
    ASSERT_TRUE(devices.waitForHeld(1));
    EXPECT_EQ(job->progress(), 50);
    const auto before = Clock::now();
    job->cancel();
    EXPECT_EQ(finished(*job, 5s), JobStatus::kCanceled);
    EXPECT_LT(Clock::now() - before, 4s) << "well before the page's stall limit";
    EXPECT_EQ(job->progress(), 100);
    EXPECT_TRUE(rows(*job)[0].endsWith(" DeviceDosntResponse"));
  }
}

TEST_F(Jobs, TheThreadsStopEndsAWaitingJobFailed) {
  devices_.putFile(A, "a.ps", kPsForm);
  auto job = copy({{"a.ps", quint32(kPsForm.size()), "psForm", 0}}, {B, C});
  sender_.setHolding(true);
  job->startRun();
  ASSERT_TRUE(sender_.waitForHeld(1));
  job->requestStop();
  EXPECT_EQ(finished(*job, 5s), JobStatus::kFailed);
  EXPECT_EQ(job->progress(), 50) << "the stop is met at the next task; progress as last set";
  EXPECT_EQ(sender_.sent().size(), 1) << "no task after the stop";

  sender_.setHolding(false);
  job->prepareRetry();
  job->restart();
  EXPECT_EQ(finished(*job), JobStatus::kCompleted) << "a stop concerns one run only";
}

TEST_F(Jobs, RetryRedoesOnlyFailedTasksAndFetchesTheFileAgain) {
  devices_.putFile(A, "a.ps", kPsForm);
  auto job = copy({{"a.ps", quint32(kPsForm.size()), "psForm", 0}}, {B, C});
  sender_.setOutcome(C, FileOutcome::deviceDosntResponse());
  job->startRun();
  ASSERT_EQ(finished(*job), JobStatus::kFailed);
  job->forEachTask([](const Task&, const FileRecord& r) {
    EXPECT_FALSE(r.contentKnown) << "a failed job holds no file contents";
  });

  sender_.setOutcome(C, FileOutcome::completed());
  job->prepareRetry();
  job->restart();
  ASSERT_EQ(finished(*job), JobStatus::kCompleted);
  const auto sent = sender_.sent();
  ASSERT_EQ(sent.size(), 3);
  EXPECT_EQ(sent[2].address, C) << "only the failed task is redone";
  EXPECT_EQ(devices_.requests(A, kGet).size(), 2) << "the retry fetched the file again";

  sender_.setOutcome(B, FileOutcome::timeout());
  auto again = copy({{"a.ps", quint32(kPsForm.size()), "psForm", 0}}, {B});
  again->startRun();
  ASSERT_EQ(finished(*again), JobStatus::kFailed);
  // The source can no longer give it.
  devices_.setReply(A, kGet, Reply{httpResponse("", true, 500)});
  again->prepareRetry();
  again->restart();
  ASSERT_EQ(finished(*again), JobStatus::kFailed);
  EXPECT_EQ(rows(*again), QStringList{row("a.ps", A, B, false, "DeviceDosntResponse")});
}

// ---------------------------------------------------------------------------------------------
// Delete

TEST_F(Jobs, DeleteOutcomesAndARetryAfterAFailure) {
  devices_.setReply(A, kDelete, Reply{httpResponse("", true, 404)});
  auto job = remove({{"a.ps", 1, "psForm", 0}, {"b.ps", 1, "psForm", 0}});
  job->startRun();
  ASSERT_EQ(finished(*job), JobStatus::kFailed);
  EXPECT_EQ(job->progress(), 100);
  EXPECT_EQ(rows(*job).filter(" false DeviceDosntResponse").size(), 2);
  devices_.clearReply(A, kDelete);
  job->prepareRetry();
  job->restart();
  ASSERT_EQ(finished(*job), JobStatus::kCompleted);
  EXPECT_EQ(rows(*job).filter(" true completed").size(), 2)
      << "no failure text left beside a success";
  EXPECT_EQ(devices_.requests(A, kDelete).size(), 2) << "a retry redoes the whole request";
}

TEST(DeviceCgiSettings, DevicePagesAreOnPort80UnlessATestSaysOtherwise) {
  DeviceCgiSettings settings;
  EXPECT_EQ(settings.url("10.1.2.3", "DSMGetFiles.cgi").toString(),
            "http://10.1.2.3/DSMGetFiles.cgi");
  settings.port = 8080;
  EXPECT_EQ(settings.url(" 10.1.2.3 ", "DSMDeletefiles.cgi").toString(),
            "http://10.1.2.3:8080/DSMDeletefiles.cgi");
  EXPECT_EQ(HTTPClient::Limits().lowSpeedTime, DeviceCgiSettings().limits.lowSpeedTime)
      << "jobs keep the client's production limits by default";
}

}  // namespace

}  // namespace Zarvo::dsm
