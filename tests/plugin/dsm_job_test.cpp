// File jobs against a fake sender and the fake web pages of three loopback devices: how each kind
// is built from its request, what its runs send, fetch and delete, the progress and final status
// it reports, and that cancel, the thread's stop and a retry behave on every wait.
#include <gtest/gtest.h>

#include <QDir>
#include <QFile>
#include <QTemporaryDir>
#include <chrono>
#include <thread>

#include "plugin/DSMJob.h"
#include "plugin/ServerFileStore.h"
#include "tests/fakes/Bytes.h"
#include "tests/fakes/FakeCgiDevices.h"
#include "tests/fakes/FakeDeviceSender.h"
#include "tests/plugin/JobRequests.h"

inline void PrintTo(const QString& text, std::ostream* out) { *out << text.toStdString(); }

namespace {

using namespace std::chrono_literals;
using testing_bytes::hex;
using testing_devices::CgiReply;
using testing_devices::FakeCgiDevices;
using testing_devices::FakeDeviceSender;
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

// What a job shows of one task in the details.
struct Row {
  QString file, source, destination;
  bool succeeded;
  QString text;
  bool operator==(const Row& o) const {
    return file == o.file && source == o.source && destination == o.destination &&
           succeeded == o.succeeded && text == o.text;
  }
};
void PrintTo(const Row& r, std::ostream* out) {
  *out << "{" << r.file.toStdString() << " " << r.source.toStdString() << "->"
       << r.destination.toStdString() << " " << r.succeeded << " " << r.text.toStdString() << "}";
}
std::vector<Row> rows(const DSMJob& job) {
  std::vector<Row> out;
  job.forEachTask([&](const Task& t, const FileRecord&) {
    out.push_back(Row{t.fileName, t.source, t.destination, t.succeeded, t.resultText});
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

  std::shared_ptr<DSMJobCopy> copy(const QList<DeviceFile>& files, const QStringList& to) {
    return Zarvo::makeSharedThread<DSMJobCopy>(
        &sender_, testing_jobs::transferRequest<DSMJobCopy::Request>(A, files, to), cgi_);
  }
  std::shared_ptr<DSMJobMove> move(const QList<DeviceFile>& files, const QStringList& to,
                                   const QString& from = A) {
    return Zarvo::makeSharedThread<DSMJobMove>(
        &sender_, testing_jobs::transferRequest<DSMJobMove::Request>(from, files, to), cgi_);
  }
  std::shared_ptr<DSMJobDelete> remove(const QList<DeviceFile>& files) {
    return Zarvo::makeSharedThread<DSMJobDelete>(
        &sender_, testing_jobs::deleteRequest<DSMJobDelete::Request>(A, files), cgi_);
  }

  FakeCgiDevices devices_;
  FakeDeviceSender sender_;
  DeviceCgiSettings cgi_;
};

// ---------------------------------------------------------------------------------------------
// Building

TEST_F(Jobs, CopyTasksRunDestinationFirstOverDistinctFilesInNameOrder) {
  auto job = copy({{"b.ps", 5, "psForm", 0}, {"a.pcl", 9, "pclFont", 3}, {"b.ps", 1, "psFont", 9}},
                  {B, C, A});
  std::vector<Row> expected;
  for (const QString& to : {B, C, A}) {
    for (const char* name : {"a.pcl", "b.ps"}) {
      expected.push_back(Row{name, A, to, false, "completed"});
    }
  }
  EXPECT_EQ(rows(*job), expected) << "2 distinct files to 3 destinations: 6 tasks";
  job->forEachTask([](const Task& t, const FileRecord& r) {
    if (t.fileName != "b.ps") return;
    EXPECT_EQ(r.type, "psForm") << "the first element of a name wins";
    EXPECT_EQ(r.size, 5u);
  });
  EXPECT_EQ(job->status(), DSMJob::kInProgress) << "a new job is IN_PROGRESS before it runs";
  EXPECT_EQ(job->progress(), 0);
  EXPECT_EQ(job->sourceText(), u"127.0.0.1");
  EXPECT_EQ(job->destinationText(), u"127.0.0.2;127.0.0.3;127.0.0.1");
}

TEST_F(Jobs, DeleteHasATaskPerElementAndOneRequestNamingEachFileOnce) {
  auto job =
      remove({{"z.pcl", 1, "pclMacro", 4}, {"a.ps", 2, "psForm", 3}, {"z.pcl", 1, "psFont", 0}});
  EXPECT_EQ(rows(*job).size(), 3u) << "a repeated name gives one task per element";
  EXPECT_EQ(job->sourceText(), u"127.0.0.1");
  EXPECT_EQ(job->destinationText(), u"-");
  job->startRun();
  EXPECT_EQ(finished(*job), DSMJob::kCompleted);
  EXPECT_EQ(job->progress(), 100);
  const auto posts = devices_.requests(A, kDelete);
  ASSERT_EQ(posts.size(), 1);
  EXPECT_EQ(fieldsOf(posts[0]),
            "FileName=a.ps,FileType=2,FontMacroId=3,FileName=z.pcl,FileType=4,FontMacroId=4")
      << "fields per record in name order, the first element of a name wins";
  for (const Row& r : rows(*job)) EXPECT_TRUE(r.succeeded);
}

// ---------------------------------------------------------------------------------------------
// Copy

TEST_F(Jobs, CopyFetchesEachFileOnceAndSendsItToEveryDestination) {
  devices_.putFile(A, "a.ps", kPsForm);
  devices_.putFile(A, "f.pcl", kPclFont);
  auto job = copy({{"a.ps", quint32(kPsForm.size()), "psForm", 3},
                   {"f.pcl", quint32(kPclFont.size()), "pclFont", 12}},
                  {B, C});
  job->startRun();
  ASSERT_EQ(finished(*job), DSMJob::kCompleted);
  EXPECT_EQ(job->progress(), 100);

  const auto fetches = devices_.requests(A, kGet);
  ASSERT_EQ(fetches.size(), 2) << "fetched once per job, kept for the second destination";
  EXPECT_EQ(fieldsOf(fetches[0]), "FileName=a.ps,FileType=2,FontMacroId=3");
  EXPECT_EQ(fieldsOf(fetches[1]), "FileName=f.pcl,FileType=3,FontMacroId=12");

  const auto sent = sender_.sent();
  ASSERT_EQ(sent.size(), 4);
  const QStringList order = {sent[0].address, sent[1].address, sent[2].address, sent[3].address};
  EXPECT_EQ(order, QStringList({B, B, C, C}));
  EXPECT_EQ(hex(sent[0].bytes), hex(TCP9100FilePSForm("a.ps", kPsForm).header() + kPsForm +
                                    TCP9100FilePSForm("a.ps", kPsForm).trailer()));
  EXPECT_EQ(hex(sent[3].bytes), hex(TCP9100FilePCLFont(kPclFont).header() + kPclFont +
                                    TCP9100FilePCLFont(kPclFont).trailer()));
  for (const Row& r : rows(*job)) {
    EXPECT_TRUE(r.succeeded);
    EXPECT_EQ(r.text, "completed");
  }
}

TEST_F(Jobs, ProgressFollowsTheHalfStepsOfEachTask) {
  struct Case {
    const char* why;
    int files;
    std::vector<int> atSends;  // progress seen at each download
  };
  const Case kCases[] = {
      {"N = 4", 4, {12, 37, 62, 87}},
      {"N = 3: integer divisions truncate", 3, {16, 50, 83}},
      {"N = 1", 1, {50}},
  };
  for (const Case& c : kCases) {
    SCOPED_TRACE(c.why);
    QList<DeviceFile> files;
    for (int i = 0; i < c.files; ++i) {
      const QString name = QString("f%1.ps").arg(i);
      devices_.putFile(A, name, kPsForm);
      files.append({name, quint32(kPsForm.size()), "psForm", 0});
    }
    auto job = copy(files, {B});
    std::vector<int> seen;
    DSMJob* observed = job.get();
    sender_.setOnSend([&] { seen.push_back(observed->progress()); });
    job->startRun();
    EXPECT_EQ(finished(*job), DSMJob::kCompleted);
    sender_.setOnSend(nullptr);
    EXPECT_EQ(seen, c.atSends);
    EXPECT_EQ(job->progress(), 100);
  }
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
  ASSERT_EQ(finished(*job), DSMJob::kFailed);
  EXPECT_EQ(job->progress(), 100) << "every task passed; a failure keeps the last progress";
  const std::vector<Row> expected = {
      {"bad.ps", A, B, false, "UnknownFileType"},
      {"gone.ps", A, B, false, "DeviceDosntResponse"},
      {"ok.ps", A, B, true, "completed"},
      {"bad.ps", A, C, false, "UnknownFileType"},
      {"gone.ps", A, C, false, "DeviceDosntResponse"},
      {"ok.ps", A, C, false, "FileSystemFull"},
  };
  EXPECT_EQ(rows(*job), expected);
  EXPECT_EQ(devices_.requests(A, kGet).size(), 4)
      << "a file whose fetch failed is asked for again at its next task; the others once";
}

TEST_F(Jobs, AnEmptyPageAnswerForAFileWithBytesIsAFailedFetch) {
  devices_.setReply(A, kGet, CgiReply{200, "", true});
  auto job = copy({{"x.ps", 120, "psForm", 0}, {"zero.ps", 0, "psForm", 0}}, {B});
  job->startRun();
  ASSERT_EQ(finished(*job), DSMJob::kFailed);
  const std::vector<Row> expected = {
      {"x.ps", A, B, false, "DeviceDosntResponse"},
      {"zero.ps", A, B, true, "completed"},
  };
  EXPECT_EQ(rows(*job), expected) << "an empty answer is the content only of an empty file";
  const auto sent = sender_.sent();
  ASSERT_EQ(sent.size(), 1) << "nothing is downloaded for the file whose fetch failed";
  EXPECT_TRUE(sent[0].bytes.contains("NAME=zero.ps SIZE=0"));
}

// ---------------------------------------------------------------------------------------------
// Move

TEST_F(Jobs, MoveDeletesTheSourceOnlyOnceEveryDestinationTookTheFile) {
  const QByteArray content = kPclMacro;
  struct Case {
    const char* why;
    QString failingDestination;  // "" for none
    QStringList destinations;
    QString from;
    int deletes;
  };
  const Case kCases[] = {
      {"both destinations took it", "", {B, C}, A, 1},
      {"the second destination failed", C, {B, C}, A, 0},
      {"the first destination failed", B, {B, C}, A, 0},
      {"moved onto its own device: the download replaced it, the delete would lose it",
       "",
       {B, A},
       A,
       0},
      {"the same address with blanks around it is the same device", "", {B, " 127.0.0.1 "}, A, 0},
  };
  for (const Case& c : kCases) {
    SCOPED_TRACE(c.why);
    FakeCgiDevices devices({A, B, C});
    cgi_.port = devices.port();
    devices.putFile(c.from, "m.pcl", content);
    FakeDeviceSender sender;
    if (!c.failingDestination.isEmpty()) {
      sender.setOutcome(c.failingDestination, FileOutcome::timeout());
    }
    auto job = Zarvo::makeSharedThread<DSMJobMove>(
        &sender,
        testing_jobs::transferRequest<DSMJobMove::Request>(
            c.from, {{"m.pcl", quint32(content.size()), "pclMacro", 7}}, c.destinations),
        cgi_);
    int deletesAtSecondSend = -1;
    sender.setOnSend([&] {
      if (sender.sent().size() == 1) deletesAtSecondSend = devices.requests(c.from, kDelete).size();
    });
    job->startRun();
    finished(*job);
    EXPECT_EQ(job->status(), c.failingDestination.isEmpty() ? DSMJob::kCompleted : DSMJob::kFailed);
    const auto deletes = devices.requests(c.from, kDelete);
    ASSERT_EQ(deletes.size(), c.deletes);
    EXPECT_EQ(deletesAtSecondSend, 0) << "not deleted before the second download";
    if (c.deletes == 1) {
      EXPECT_EQ(fieldsOf(deletes[0]), "FileName=m.pcl,FileType=4,FontMacroId=7");
      EXPECT_FALSE(devices.hasFile(c.from, "m.pcl"));
    } else {
      EXPECT_TRUE(devices.hasFile(c.from, "m.pcl"));
    }
  }
}

TEST_F(Jobs, MoveWhoseFetchAnswersEmptyNeitherSendsNorDeletes) {
  devices_.setReply(A, kGet, CgiReply{200, "", true});
  auto job = move({{"m.ps", 50, "psForm", 0}}, {B});
  job->startRun();
  EXPECT_EQ(finished(*job), DSMJob::kFailed);
  EXPECT_TRUE(sender_.sent().isEmpty());
  EXPECT_TRUE(devices_.requests(A, kDelete).isEmpty()) << "the source keeps the only copy";
}

TEST_F(Jobs, RetryOfACompletedMoveRepeatsItsDeletesWithoutSendingAgain) {
  devices_.putFile(A, "m.ps", kPsForm);
  auto job = move({{"m.ps", quint32(kPsForm.size()), "psForm", 0}}, {B});
  job->startRun();
  ASSERT_EQ(finished(*job), DSMJob::kCompleted);
  job->prepareRetry();
  job->restart();
  ASSERT_EQ(finished(*job), DSMJob::kCompleted);
  EXPECT_EQ(sender_.sent().size(), 1);
  EXPECT_EQ(devices_.requests(A, kDelete).size(), 2);
  EXPECT_EQ(devices_.requests(A, kGet).size(), 1);
}

// ---------------------------------------------------------------------------------------------
// Add

class AddJobs : public Jobs {
 protected:
  AddJobs() : store_(dir_.path() + "/Files/") {
    QDir(dir_.path()).mkpath("Files");
    QDir(dir_.path()).mkpath("up");
  }
  QString upload(const QString& name, const QByteArray& bytes) {
    const QString path = dir_.path() + "/up/" + name;
    QFile f(path);
    EXPECT_TRUE(f.open(QIODevice::WriteOnly));
    f.write(bytes);
    return path;
  }
  void storeFile(const QString& name, const QByteArray& bytes) {
    QFile f(store_.directory() + name);
    ASSERT_TRUE(f.open(QIODevice::WriteOnly));
    f.write(bytes);
  }
  std::shared_ptr<DSMJobAdd> add(const QList<testing_jobs::Upload>& uploads,
                                 const QStringList& stored) {
    return Zarvo::makeSharedThread<DSMJobAdd>(
        &sender_, testing_jobs::addRequest<DSMJobAdd::Request>(B, uploads, stored), store_, cgi_);
  }

  QTemporaryDir dir_;
  ServerFileStore store_;
};

TEST_F(AddJobs, KindsComeFromTheBytesAndNamesFromTheLastComponent) {
  storeFile("stored.pcl", kPclMacro);
  auto job = add({{upload("1", kPclFont), "C:\\fonts\\f.pcl"},
                  {upload("2", kPsFont), "/home/u/cour.pfa"},
                  {upload("3", kPsForm), "inv.ps"}},
                 {"stored.pcl"});
  struct Expect {
    const char* name;
    const char* type;
    quint32 size;
  };
  const Expect kRecords[] = {{"cour.pfa", "psFont", quint32(kPsFont.size())},
                             {"f.pcl", "pclFont", quint32(kPclFont.size())},
                             {"inv.ps", "psForm", quint32(kPsForm.size())},
                             {"stored.pcl", "pclMacro", quint32(kPclMacro.size())}};
  std::vector<QString> names;
  job->forEachTask([&](const Task& t, const FileRecord& r) {
    names.push_back(t.fileName);
    EXPECT_EQ(t.destination, B);
    EXPECT_EQ(t.source, "");
    for (const Expect& e : kRecords) {
      if (r.name != e.name) continue;
      EXPECT_EQ(r.type, e.type) << e.name;
      EXPECT_EQ(r.size, e.size) << e.name;
    }
  });
  EXPECT_EQ(names, (std::vector<QString>{"f.pcl", "cour.pfa", "inv.ps", "stored.pcl"}))
      << "tasks in request order: uploads, then stored files";
  EXPECT_EQ(job->sourceText(), u"-");
  job->startRun();
  ASSERT_EQ(finished(*job), DSMJob::kCompleted);
  const auto sent = sender_.sent();
  ASSERT_EQ(sent.size(), 4);
  EXPECT_TRUE(sent[1].bytes.contains("PSDOWNLOADFONT NAME=Courier-Bold SIZE="))
      << "a PostScript font is announced under its own font name";
  EXPECT_TRUE(sent[2].bytes.contains("PSDOWNLOADFORM NAME=inv.ps SIZE="));
  EXPECT_TRUE(sent[3].bytes.contains("FSDOWNLOADMACRO"));
  EXPECT_TRUE(devices_.requests().isEmpty()) << "an add job never asks a device page";
}

TEST_F(AddJobs, UnreadableUploadsAreLeftOutAndUnreadableStoredFilesFailUnsent) {
  storeFile("ok.ps", kPsForm);
  QDir(store_.directory()).mkdir("adir");
  auto job = add({{dir_.path() + "/up/missing", "m.ps"},
                  {upload("4", kPsForm), ""},  // no filename attribute
                  {dir_.path() + "/up", "dir.ps"},
                  {"/dev/zero", "zero.ps"}},
                 {"missing.ps", "../up/4", "adir", "ok.ps"});
  std::vector<QString> names;
  job->forEachTask([&](const Task& t, const FileRecord&) { names.push_back(t.fileName); });
  EXPECT_EQ(names, (std::vector<QString>{"missing.ps", "../up/4", "adir", "ok.ps"}))
      << "uploads that cannot be read (missing, unnamed, a directory, not a regular file) are "
         "left out";
  job->startRun();
  ASSERT_EQ(finished(*job), DSMJob::kFailed);
  const std::vector<Row> expected = {
      {"missing.ps", "", B, false, "UnknownFileType"},
      {"../up/4", "", B, false, "UnknownFileType"},  // refused by the store's name check
      {"adir", "", B, false, "UnknownFileType"},
      {"ok.ps", "", B, true, "completed"},
  };
  EXPECT_EQ(rows(*job), expected);
  EXPECT_EQ(sender_.sent().size(), 1) << "no empty form goes out for a file that was not read";
}

TEST_F(AddJobs, AnAddWithoutReadableUploadsHasNoTasksAndCompletesAtOnce) {
  auto job = add({{dir_.path() + "/none", "a.ps"}}, {});
  EXPECT_TRUE(rows(*job).empty());
  job->startRun();
  EXPECT_EQ(finished(*job), DSMJob::kCompleted);
  EXPECT_EQ(job->progress(), 100);
}

// ---------------------------------------------------------------------------------------------
// Exceptions, cancel, stop and retry

TEST_F(Jobs, AnExceptionLeavingTheRunEndsTheJobFailedWithItsResultsAsTheyStand) {
  devices_.putFile(A, "a.ps", kPsForm);
  devices_.putFile(A, "b.ps", kPsForm);
  auto job = copy({{"a.ps", quint32(kPsForm.size()), "psForm", 0},
                   {"b.ps", quint32(kPsForm.size()), "psForm", 0}},
                  {B});
  DSMJob* observed = job.get();
  sender_.setOnSend([&] {
    if (observed->progress() > 50) sender_.setThrowing(true);  // the second download throws
  });
  job->startRun();
  ASSERT_EQ(finished(*job), DSMJob::kFailed) << "not IN_PROGRESS for ever";
  EXPECT_EQ(job->progress(), 75) << "the progress set before the throw";
  const std::vector<Row> expected = {{"a.ps", A, B, true, "completed"},
                                     {"b.ps", A, B, false, "completed"}};
  EXPECT_EQ(rows(*job), expected);
}

TEST_F(Jobs, CancelBeforeTheFirstTaskEndsCanceledAtProgressZero) {
  devices_.putFile(A, "a.ps", kPsForm);
  auto job = copy({{"a.ps", quint32(kPsForm.size()), "psForm", 0}}, {B});
  job->cancel();
  job->startRun();
  EXPECT_EQ(finished(*job), DSMJob::kCanceled);
  EXPECT_EQ(job->progress(), 0);
  EXPECT_TRUE(devices_.requests().isEmpty());
  EXPECT_TRUE(sender_.sent().isEmpty());
  EXPECT_FALSE(job->cancelRequested()) << "the run that met the cancel cleared it";

  job->prepareRetry();
  job->restart();
  EXPECT_EQ(finished(*job), DSMJob::kCompleted) << "the next retry runs normally";
}

TEST_F(Jobs, CancelBetweenTasksEndsCanceledWithTheProgressSoFar) {
  for (const char* name : {"a.ps", "b.ps", "c.ps", "d.ps"}) devices_.putFile(A, name, kPsForm);
  QList<DeviceFile> files;
  for (const char* name : {"a.ps", "b.ps", "c.ps", "d.ps"}) {
    files.append({name, quint32(kPsForm.size()), "psForm", 0});
  }
  auto job = copy(files, {B});
  DSMJob* observed = job.get();
  sender_.setOnSend([&] {
    if (sender_.sent().size() == 1) observed->cancel();  // during the second task
  });
  job->startRun();
  EXPECT_EQ(finished(*job), DSMJob::kCanceled);
  EXPECT_EQ(job->progress(), 50) << "as set after the second task";
  EXPECT_EQ(sender_.sent().size(), 2);
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
  EXPECT_EQ(finished(*job, 5s), DSMJob::kCanceled);
  EXPECT_LT(Clock::now() - before, 5s) << "the confirmation wait ended on the cancel";
  EXPECT_EQ(job->progress(), 50) << "as set after the cut task";
  const std::vector<Row> expected = {
      {"a.ps", A, B, false, FakeDeviceSender::stoppedOutcome().text},
      {"b.ps", A, B, false, "completed"},
  };
  EXPECT_EQ(rows(*job), expected) << "the cut download keeps the sender's text; b never ran";
  EXPECT_EQ(sender_.sent().size(), 1);
}

TEST_F(Jobs, CancelOfTheLastTasksWaitEndsCanceledNotFailed) {
  devices_.putFile(A, "a.ps", kPsForm);
  auto job = copy({{"a.ps", quint32(kPsForm.size()), "psForm", 0}}, {B});
  sender_.setHolding(true);
  job->startRun();
  ASSERT_TRUE(sender_.waitForHeld(1));
  job->cancel();
  EXPECT_EQ(finished(*job, 5s), DSMJob::kCanceled);
  EXPECT_FALSE(job->cancelRequested());
}

TEST_F(Jobs, CancelWhileADevicePageHangsEndsTheFetchPromptly) {
  devices_.setReply(A, kGet, CgiReply{200, "", false});
  auto job = copy({{"a.ps", 5, "psForm", 0}}, {B});
  job->startRun();
  ASSERT_TRUE(devices_.waitForHeld(1));
  const auto before = Clock::now();
  job->cancel();
  EXPECT_EQ(finished(*job, 5s), DSMJob::kCanceled);
  EXPECT_LT(Clock::now() - before, 4s) << "well before the page's stall limit";
  EXPECT_EQ(rows(*job)[0].text, "DeviceDosntResponse");
}

TEST_F(Jobs, CancelOfAFinishedJobIsMetByItsNextRetry) {
  auto job = copy({{"a.ps", 5, "psForm", 0}}, {B});  // the source has no such file
  job->startRun();
  ASSERT_EQ(finished(*job), DSMJob::kFailed);
  job->cancel();
  EXPECT_EQ(job->status(), DSMJob::kFailed) << "a cancel alone changes nothing";
  devices_.putFile(A, "a.ps", kPsForm);
  job->prepareRetry();
  job->restart();
  EXPECT_EQ(finished(*job), DSMJob::kCanceled) << "met at the first task";
  EXPECT_EQ(job->progress(), 0);
  job->prepareRetry();
  job->restart();
  EXPECT_EQ(finished(*job), DSMJob::kCompleted);
}

TEST_F(Jobs, TheThreadsStopEndsAWaitingJobFailed) {
  devices_.putFile(A, "a.ps", kPsForm);
  auto job = copy({{"a.ps", quint32(kPsForm.size()), "psForm", 0}}, {B, C});
  sender_.setHolding(true);
  job->startRun();
  ASSERT_TRUE(sender_.waitForHeld(1));
  job->requestStop();
  EXPECT_EQ(finished(*job, 5s), DSMJob::kFailed);
  EXPECT_EQ(job->progress(), 50) << "the stop is met at the next task; progress as last set";
  EXPECT_EQ(sender_.sent().size(), 1) << "no task after the stop";

  sender_.setHolding(false);
  job->prepareRetry();
  job->restart();
  EXPECT_EQ(finished(*job), DSMJob::kCompleted) << "a stop concerns one run only";
}

TEST_F(Jobs, RetryRedoesOnlyFailedTasksWithTheContentKeptFromTheFailedRun) {
  devices_.putFile(A, "a.ps", kPsForm);
  auto job = copy({{"a.ps", quint32(kPsForm.size()), "psForm", 0}}, {B, C});
  sender_.setOutcome(C, FileOutcome::deviceDosntResponse());
  job->startRun();
  ASSERT_EQ(finished(*job), DSMJob::kFailed);

  sender_.setOutcome(C, FileOutcome::completed());
  devices_.setReply(A, kGet, CgiReply{500, "", true});  // the source can no longer give it
  job->prepareRetry();
  EXPECT_EQ(job->status(), DSMJob::kInProgress);
  EXPECT_EQ(job->progress(), 0);
  job->restart();
  ASSERT_EQ(finished(*job), DSMJob::kCompleted);
  const auto sent = sender_.sent();
  ASSERT_EQ(sent.size(), 3);
  EXPECT_EQ(sent[2].address, C) << "only the failed task is redone";
  EXPECT_EQ(devices_.requests(A, kGet).size(), 1) << "the content of a failed job is kept";
}

TEST_F(Jobs, ARetryOfARunningJobWaitsForItsRunThenRunsAgain) {
  devices_.putFile(A, "a.ps", kPsForm);
  auto job = copy({{"a.ps", quint32(kPsForm.size()), "psForm", 0}}, {B});
  sender_.setOutcome(B, FileOutcome::timeout());
  sender_.setOnSend([&] {
    if (sender_.sent().size() == 1) sender_.setOutcome(B, FileOutcome::completed());  // the retry's
  });
  sender_.setHolding(true);
  job->startRun();
  ASSERT_TRUE(sender_.waitForHeld(1));
  job->prepareRetry();
  std::thread retry([&] { job->restart(); });
  std::this_thread::sleep_for(100ms);
  EXPECT_EQ(sender_.sent().size(), 1) << "the retry waits for the run";
  sender_.release();
  retry.join();
  EXPECT_EQ(finished(*job), DSMJob::kCompleted);
  EXPECT_EQ(sender_.sent().size(), 2);
}

// ---------------------------------------------------------------------------------------------
// Delete

TEST_F(Jobs, DeleteOutcomesAndARetryAfterAFailure) {
  devices_.setReply(A, kDelete, CgiReply{404, "", true});
  auto job = remove({{"a.ps", 1, "psForm", 0}, {"b.ps", 1, "psForm", 0}});
  job->startRun();
  ASSERT_EQ(finished(*job), DSMJob::kFailed);
  EXPECT_EQ(job->progress(), 100);
  for (const Row& r : rows(*job)) {
    EXPECT_FALSE(r.succeeded);
    EXPECT_EQ(r.text, "DeviceDosntResponse");
  }
  devices_.clearReply(A, kDelete);
  job->prepareRetry();
  job->restart();
  ASSERT_EQ(finished(*job), DSMJob::kCompleted);
  for (const Row& r : rows(*job)) {
    EXPECT_TRUE(r.succeeded);
    EXPECT_EQ(r.text, "completed") << "no failure text left beside a success";
  }
  EXPECT_EQ(devices_.requests(A, kDelete).size(), 2) << "a retry redoes the whole request";
}

TEST_F(Jobs, CancelOfAHangingDeleteEndsItCanceled) {
  devices_.setReply(A, kDelete, CgiReply{200, "", false});
  auto job = remove({{"a.ps", 1, "psForm", 0}});
  job->startRun();
  ASSERT_TRUE(devices_.waitForHeld(1));
  EXPECT_EQ(job->progress(), 50);
  job->cancel();
  EXPECT_EQ(finished(*job, 5s), DSMJob::kCanceled);
  EXPECT_EQ(job->progress(), 100);
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
