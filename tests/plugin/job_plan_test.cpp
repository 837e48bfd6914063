// Job plans driven directly, without threads or devices: the tasks, records and page requests
// each kind builds from its request, the progress its run steps produce, the final status, what
// a retry keeps, and when a move may delete its source.
#include <gtest/gtest.h>

#include <QDir>
#include <QFile>
#include <QTemporaryDir>
#include <functional>

#include "plugin/JobPlan.h"
#include "plugin/ServerFileStore.h"
#include "plugin/TCP9100File.h"
#include "tests/fakes/FakeDeviceSender.h"
#include "tests/plugin/JobRequests.h"

namespace Zarvo::dsm {

namespace {

using testing_jobs::DeviceFile;

const QString A = QStringLiteral("127.0.0.1");
const QString B = QStringLiteral("127.0.0.2");
const QString C = QStringLiteral("127.0.0.3");
const FileOutcome kOk = FileOutcome::completed();
const FileOutcome kBad = FileOutcome::timeout();

TransferPlan copyPlan(const QList<DeviceFile>& files, const QStringList& to) {
  return TransferPlan(testing_jobs::transferRequest<TransferPlan::CopyRequest>(A, files, to));
}
TransferPlan movePlan(const QList<DeviceFile>& files, const QStringList& to) {
  return TransferPlan(testing_jobs::transferRequest<TransferPlan::MoveRequest>(A, files, to));
}
QList<DeviceFile> forms(int n) {
  QList<DeviceFile> files;
  for (int i = 0; i < n; ++i) files.append({QString("f%1.ps").arg(i), 14, "psForm", 0});
  return files;
}

QString writeFile(const QString& path, const QByteArray& bytes) {
  QFile f(path);
  EXPECT_TRUE(f.open(QIODevice::WriteOnly));
  f.write(bytes);
  return path;
}

// "file source>destination" per task, in task order.
QStringList taskLines(const JobPlan& plan) {
  QStringList lines;
  for (const Task& t : plan.tasks()) lines << t.fileName + " " + t.source + ">" + t.destination;
  return lines;
}
// "address/page FileName=a.ps,FileType=2,..." of a page request.
QString text(const PageRequest& r) {
  QStringList parts;
  for (const auto& f : r.form) parts << f.first + "=" + f.second;
  return r.address + "/" + r.page + " " + parts.join(',');
}
// A run as the runner makes it, one task at a time, the first outcomes.size() tasks with those
// outcomes (the rest never reached); the progress after each step.
std::vector<int> run(JobPlan& plan, const std::vector<FileOutcome>& outcomes) {
  std::vector<int> seen;
  plan.beginRun();
  for (std::size_t k = 0; k < outcomes.size(); ++k) {
    plan.startTask(k);
    seen.push_back(plan.progress());
    plan.setOutcome(k, outcomes[k]);
    plan.endTask(k);
    seen.push_back(plan.progress());
  }
  return seen;
}

// ---------------------------------------------------------------------------------------------
// Building

TEST(TransferPlan, TasksGoDestinationByDestinationOverDistinctFilesInNameOrder) {
  const QList<DeviceFile> files = {
      {"b.ps", 5, "psForm", 0}, {"a.pcl", 9, "pclFont", 3}, {"b.ps", 1, "psFont", 9}};
  const TransferPlan copy = copyPlan(files, {B, C, A});
  EXPECT_EQ(taskLines(copy), (QStringList{"a.pcl 127.0.0.1>127.0.0.2", "b.ps 127.0.0.1>127.0.0.2",
                                          "a.pcl 127.0.0.1>127.0.0.3", "b.ps 127.0.0.1>127.0.0.3",
                                          "a.pcl 127.0.0.1>127.0.0.1", "b.ps 127.0.0.1>127.0.0.1"}))
      << "2 distinct files to 3 destinations: 6 tasks";
  EXPECT_EQ(copy.files().at("b.ps").type, "psForm") << "the first element of a name wins";
  EXPECT_EQ(copy.tasksOf("a.pcl"), (std::vector<std::size_t>{0, 2, 4}));
  EXPECT_EQ(copy.status(), JobStatus::kInProgress) << "a new job shows IN_PROGRESS, 0";
  EXPECT_EQ(copy.progress(), 0);
  EXPECT_EQ(copy.sourceText(), u"127.0.0.1");
  EXPECT_EQ(copy.destinationText(), u"127.0.0.2;127.0.0.3;127.0.0.1");
  EXPECT_EQ(text(copy.fetchRequest(0)),
            "127.0.0.1/DSMGetFiles.cgi FileName=a.pcl,FileType=3,FontMacroId=3");
  EXPECT_FALSE(copy.deletesSource());
  const TransferPlan move = movePlan(files, {B, C, A});
  EXPECT_TRUE(move.deletesSource());
  EXPECT_EQ(taskLines(move), taskLines(copy)) << "a move is a copy that deletes its source";
}

TEST(DeletePlan, ATaskPerElementAndOneRequestNamingEachFileOnce) {
  DeletePlan plan(testing_jobs::deleteRequest<DeletePlan::Request>(
      A, {{"z.pcl", 1, "pclMacro", 4}, {"a.ps", 2, "truetype", 3}, {"z.pcl", 1, "psFont", 0}}));
  EXPECT_EQ(taskLines(plan),
            (QStringList{"z.pcl 127.0.0.1>", "a.ps 127.0.0.1>", "z.pcl 127.0.0.1>"}))
      << "a repeated name gives one task per element";
  EXPECT_EQ(plan.destinationText(), u"-");
  EXPECT_EQ(text(plan.request()),
            "127.0.0.1/DSMDeletefiles.cgi "
            "FileName=a.ps,FileType=0,FontMacroId=3,FileName=z.pcl,FileType=4,FontMacroId=4")
      << "files in name order, the first element of a name wins, an unknown kind is 0";
  plan.beginRun();
  plan.startAll();
  EXPECT_EQ(plan.progress(), 50) << "while its one request is under way";
  plan.endAll(FileOutcome::deviceDosntResponse());
  EXPECT_EQ(plan.finishRun([] { return false; }), JobStatus::kFailed);
  EXPECT_EQ(plan.progress(), 100) << "a failed delete has still passed every task";
}

TEST(AddPlan, KindsComeFromTheBytesUnreadableFilesAreTasksThatCannotBeSent) {
  QTemporaryDir dir;
  QDir(dir.path()).mkpath("Files");
  const ServerFileStore store(dir.path() + "/Files/");
  writeFile(store.directory() + "stored.pcl", "\x1b&f7Y\x1b&f0Xbody");
  const AddPlan plan(
      testing_jobs::addRequest<AddPlan::Request>(
          B,
          {{writeFile(dir.path() + "/1", "\x1b)s4Wabcd"), "C:\\fonts\\f.pcl"},
           {writeFile(dir.path() + "/2", "%!PS-AdobeFont-1.0\n/FontName /Courier-Bold def\n"),
            "/home/u/cour.pfa"},
           {writeFile(dir.path() + "/3", "%!PS\nshowpage\n"), "inv.ps"},
           {dir.path() + "/missing", "m.ps"},
           {dir.path() + "/3", ""},  // no filename attribute
           {dir.path(), "dir.ps"},
           {"/dev/zero", "zero.ps"}},
          {"stored.pcl", "missing.ps", "../3"}),
      store);
  EXPECT_EQ(taskLines(plan),
            (QStringList{"f.pcl >127.0.0.2", "cour.pfa >127.0.0.2", "inv.ps >127.0.0.2",
                         "m.ps >127.0.0.2", "dir.ps >127.0.0.2", "zero.ps >127.0.0.2",
                         "stored.pcl >127.0.0.2", "missing.ps >127.0.0.2", "../3 >127.0.0.2"}))
      << "uploads (only the unnamed one left out), then stored files";
  struct Expect {
    const char* name;
    const char* type;
    const char* fontName;
    quint32 size;
    bool sendable;  // a stored file that was not read must not go out as an empty form
  };
  const Expect kRecords[] = {
      {"f.pcl", "pclFont", "", 9, true},        {"cour.pfa", "psFont", "Courier-Bold", 47, true},
      {"inv.ps", "psForm", "", 14, true},       {"m.ps", "psForm", "", 0, false},  // missing
      {"dir.ps", "psForm", "", 0, false},                                          // a directory
      {"zero.ps", "psForm", "", 0, false},  // outside the upload roots
      {"stored.pcl", "pclMacro", "", 14, true}, {"missing.ps", "psForm", "", 0, false},
      {"../3", "psForm", "", 0, false}};  // refused by the store's check
  for (const Expect& e : kRecords) {
    SCOPED_TRACE(e.name);
    const FileRecord& r = plan.files().at(e.name);
    EXPECT_EQ(r.type, e.type);
    EXPECT_EQ(r.fontName, e.fontName);
    EXPECT_EQ(r.size, e.size);
    EXPECT_EQ(downloadableFile(r) != nullptr, e.sendable);
  }
  EXPECT_EQ(plan.sourceText(), u"-");
}

// ---------------------------------------------------------------------------------------------
// Progress, final status, retry

TEST(JobPlan, ProgressCountsAStartedTaskHalfAndAnEndedOneWhole) {
  struct Case {
    const char* why;
    int tasks;
    std::vector<int> steps;  // after each start and each end
  };
  const Case kCases[] = {
      {"N = 4", 4, {12, 25, 37, 50, 62, 75, 87, 100}},
      {"N = 3: each division truncates", 3, {16, 33, 50, 66, 83, 100}},
      {"N = 1", 1, {50, 100}},
  };
  for (const Case& c : kCases) {
    SCOPED_TRACE(c.why);
    TransferPlan plan = copyPlan(forms(c.tasks), {B});
    EXPECT_EQ(run(plan, std::vector<FileOutcome>(c.tasks, kBad)), c.steps);
  }
  TransferPlan parallel = copyPlan(forms(2), {B, C});
  parallel.startTask(0);
  parallel.startTask(2);
  parallel.endTask(1);
  EXPECT_EQ(parallel.progress(), 50) << "(2 x 1 + 2) x 100 / 4 / 2: tasks in flight together";
}

TEST(JobPlan, TheFinalStatusComesFromTheOutcomes) {
  struct Case {
    const char* why;
    std::vector<FileOutcome> outcomes;
    bool canceledDuringRun;
    JobStatus status;
    int progress;
  };
  const Case kCases[] = {
      {"every task succeeded", {kOk, kOk}, false, JobStatus::kCompleted, 100},
      {"a cancel that kept nothing from succeeding stays for the next run",
       {kOk, kOk},
       true,
       JobStatus::kCompleted,
       100},
      {"one task failed", {kOk, kBad}, false, JobStatus::kFailed, 100},
      {"a cancel cut a wait short", {kBad, kOk}, true, JobStatus::kCanceled, 100},
      {"stopped after the first task: progress as it stands", {kOk}, false, JobStatus::kFailed, 50},
  };
  for (const Case& c : kCases) {
    SCOPED_TRACE(c.why);
    TransferPlan plan = copyPlan(forms(2), {B});
    ASSERT_TRUE(plan.takeFetched(0, "%!PS\nshowpage\n"));
    run(plan, c.outcomes);
    bool asked = false;
    const JobStatus status = plan.finishRun([&] {
      asked = true;
      return c.canceledDuringRun;
    });
    EXPECT_EQ(status, c.status);
    EXPECT_EQ(plan.progress(), c.progress);
    EXPECT_EQ(asked, status != JobStatus::kCompleted);
    EXPECT_FALSE(plan.files().at("f0.ps").contentKnown)
        << "whatever the end, the job holds no contents; a retry fetches them again";
  }
}

TEST(JobPlan, ACancelOrAnExceptionKeepsTheProgressAndARetryTheOutcomes) {
  TransferPlan plan = copyPlan(forms(2), {B});
  run(plan, {kOk});
  plan.cancelRun();  // met before the second task
  EXPECT_EQ(plan.status(), JobStatus::kCanceled);
  EXPECT_EQ(plan.progress(), 50);
  run(plan, {kOk});
  plan.startTask(1);
  plan.abortRun();  // the second task's work threw
  EXPECT_EQ(plan.status(), JobStatus::kFailed);
  EXPECT_EQ(plan.progress(), 75);
  EXPECT_EQ(plan.tasks()[1].shown(), FileOutcome({false, "completed"}))
      << "a task no run has finished shows false beside \"completed\"";

  run(plan, {kOk, FileOutcome::confirmed(false, "FlashFull")});
  EXPECT_EQ(plan.finishRun([] { return false; }), JobStatus::kFailed);
  plan.beginRun();  // a retry
  EXPECT_EQ(plan.status(), JobStatus::kInProgress);
  EXPECT_EQ(plan.progress(), 0);
  EXPECT_TRUE(plan.tasks()[0].succeeded()) << "not redone";
  EXPECT_EQ(plan.tasks()[1].shown(), FileOutcome({false, "FlashFull"}))
      << "the failure shows until the retry has redone the task";
}

// ---------------------------------------------------------------------------------------------
// The order of a run and how long a file is held

TEST(JobPlan, ARunGoesTaskByTaskOrFileByFile) {
  const QList<DeviceFile> files = {{"b.ps", 5, "psForm", 0}, {"a.pcl", 9, "pclFont", 3}};
  const TransferPlan copy = copyPlan(files, {B, C, A});
  using Groups = std::vector<std::vector<std::size_t>>;
  EXPECT_EQ(copy.runGroups(true), (Groups{{0}, {1}, {2}, {3}, {4}, {5}}))
      << "one at a time: the task order";
  EXPECT_EQ(copy.runGroups(false), (Groups{{0, 2, 4}, {1, 3, 5}}))
      << "a file's destinations together, files as they first appear in the tasks";

  QTemporaryDir dir;
  QDir(dir.path()).mkpath("Files");
  const AddPlan add(testing_jobs::addRequest<AddPlan::Request>(B, {}, {"z", "y", "z"}),
                    ServerFileStore(dir.path() + "/Files/"));
  EXPECT_EQ(add.runGroups(false), (Groups{{0, 2}, {1}})) << "a repeated name: one file";
}

TEST(JobPlan, AFileIsHeldUntilTheGroupWithItsLastTaskAndNoRunEndKeepsAny) {
  TransferPlan plan = copyPlan(forms(2), {B, C});  // f0>B, f1>B, f0>C, f1>C
  ASSERT_TRUE(plan.takeFetched(0, "%!PS\n"));
  plan.releaseFilesEndingIn({0});
  EXPECT_TRUE(plan.files().at("f0.ps").contentKnown) << "its destination C is still to come";
  plan.releaseFilesEndingIn({2});
  EXPECT_FALSE(plan.files().at("f0.ps").contentKnown);
  EXPECT_TRUE(plan.needsFetch(2)) << "a retry fetches it again";

  const std::function<void(TransferPlan&)> kEnds[] = {
      [](TransferPlan& p) { p.cancelRun(); },
      [](TransferPlan& p) { p.abortRun(); },
      [](TransferPlan& p) { (void)p.finishRun([] { return false; }); },
  };
  for (const auto& end : kEnds) {
    ASSERT_TRUE(plan.takeFetched(1, "%!PS\n"));
    end(plan);
    EXPECT_FALSE(plan.files().at("f1.ps").contentKnown);
    EXPECT_TRUE(plan.files().at("f1.ps").content.isEmpty());
  }
}

TEST(AddPlan, UploadsOfOneFileShareTheirBytesAndAReleasedFileIsReadAgain) {
  QTemporaryDir dir;
  QDir(dir.path()).mkpath("Files");
  const ServerFileStore store(dir.path() + "/Files/");
  const QString upload = dir.path() + "/upload";
  writeFile(upload, QByteArray(64 * 1024, 'x'));
  writeFile(store.directory() + "stored.ps", "%!PS\nshowpage\n");
  AddPlan plan(testing_jobs::addRequest<AddPlan::Request>(
                   B, {{upload, "one.ps"}, {upload, "two.ps"}, {upload, "one.ps"}}, {"stored.ps"}),
               store);
  ASSERT_EQ(plan.tasks().size(), 4u);
  EXPECT_EQ(plan.files().at("one.ps").content.constData(),
            plan.files().at("two.ps").content.constData())
      << "twenty entries naming one file hold it once";
  EXPECT_FALSE(plan.needsRead(0)) << "the first run sends what the request's handler read";

  (void)plan.finishRun([] { return true; });
  for (std::size_t k = 0; k < plan.tasks().size(); ++k) EXPECT_TRUE(plan.needsRead(k));

  // Changed meanwhile: what is read again decides size and kind.
  writeFile(upload, "\x1b)s4Wfont");
  QByteArray bytes;
  ASSERT_TRUE(plan.localFile(0).read(&bytes));
  plan.takeRead(0, bytes);
  EXPECT_EQ(plan.files().at("one.ps").type, "pclFont");
  EXPECT_EQ(plan.files().at("one.ps").size, 9u);
  ASSERT_TRUE(plan.localFile(3).read(&bytes));
  EXPECT_EQ(bytes, "%!PS\nshowpage\n") << "a stored file from the store";

  QFile::remove(upload);
  EXPECT_FALSE(plan.localFile(1).read(&bytes)) << "gone: the task fails unsent";
}

TEST(JobPlan, TaskCountsOfRequestsAsTheirJobsWouldHaveThem) {
  const QList<DeviceFile> aba = {
      {"a", 1, "psForm", 0}, {"b", 1, "psForm", 0}, {"a", 1, "psForm", 0}};
  const auto copy = testing_jobs::transferRequest<TransferPlan::CopyRequest>(A, aba, {B, C, A});
  EXPECT_EQ(taskCount(copy), 6u) << "distinct files times destinations";
  EXPECT_EQ(taskCount(copy), TransferPlan(copy).tasks().size());
  EXPECT_EQ(taskCount(testing_jobs::transferRequest<TransferPlan::MoveRequest>(A, {aba[0]}, {})),
            0u);
  EXPECT_EQ(taskCount(testing_jobs::addRequest<AddPlan::Request>(
                B, {{"/nowhere", "x.ps"}, {"/nowhere", ""}}, {"s", "s"})),
            3u)
      << "every named upload and every stored file, readable or not";
  EXPECT_EQ(taskCount(testing_jobs::deleteRequest<DeletePlan::Request>(A, aba)), 3u)
      << "one per element";
}

// ---------------------------------------------------------------------------------------------
// Fetched contents and the source of a move

TEST(TransferPlan, AnEmptyAnswerIsTheContentOnlyOfAnEmptyFile) {
  TransferPlan plan = copyPlan({{"x.ps", 120, "psForm", 0}, {"zero.ps", 0, "psForm", 0}}, {B});
  EXPECT_FALSE(plan.takeFetched(0, QByteArray())) << "x.ps has 120 bytes";
  EXPECT_TRUE(plan.needsFetch(0)) << "asked for again at its next task";
  EXPECT_TRUE(plan.takeFetched(1, QByteArray()));
}

TEST(TransferPlan, AMoveDeletesItsSourceOnlyOnceEveryDestinationTookTheFile) {
  struct Case {
    const char* why;
    QStringList destinations;
    std::vector<FileOutcome> outcomes;  // of the tasks that ran
    bool deletes;
  };
  const Case kCases[] = {
      {"after the first of two destinations", {B, C}, {kOk}, false},
      {"both destinations took it", {B, C}, {kOk, kOk}, true},
      {"the second destination failed", {B, C}, {kOk, kBad}, false},
      {"the first destination failed", {B, C}, {kBad, kOk}, false},
      {"moved onto its own device: the download replaced it, the delete would lose it",
       {B, A},
       {kOk, kOk},
       false},
      {"the same address with blanks around it is the same device",
       {B, " 127.0.0.1 "},
       {kOk, kOk},
       false},
  };
  for (const Case& c : kCases) {
    SCOPED_TRACE(c.why);
    TransferPlan plan = movePlan({{"m.pcl", 9, "pclMacro", 7}}, c.destinations);
    run(plan, c.outcomes);
    const std::optional<PageRequest> remove = plan.sourceDeleteAfter(c.outcomes.size() - 1);
    ASSERT_EQ(remove.has_value(), c.deletes);
    if (remove) {
      EXPECT_EQ(text(*remove),
                "127.0.0.1/DSMDeletefiles.cgi FileName=m.pcl,FileType=4,FontMacroId=7");
    }
  }
  TransferPlan copy = copyPlan({{"m.pcl", 9, "pclMacro", 7}}, {B});
  run(copy, {kOk});
  EXPECT_FALSE(copy.sourceDeleteAfter(0).has_value()) << "a copy never deletes";
}

}  // namespace

}  // namespace Zarvo::dsm
