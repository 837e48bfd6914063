// Job plans: what a file job is to do and how far it got, as plain data. A plan is built from its
// request (file records, one per distinct file name, and tasks, one per file and destination, in
// the order they run one at a time), carries each task's state through a run and turns that
// state into the progress and final status the operation list shows.
//
// A plan holds no lock and starts no thread: DSMJob (the runner) owns one, calls its run steps
// while doing the work, and guards it with the job's lock, so every rule here can be checked by
// driving a plan directly.
//
// A run takes the tasks in groups (runGroups): one task at a time in task order, or file by file
// with a file's destinations served side by side. A file's bytes are held only while its tasks
// run: released once the group holding its last task has ended, and at the end of every run, so
// a job that is not running holds no file contents (a retry reads or fetches them again).
//
//   TransferPlan plan(copyRequest);        // tasks destination by destination, files by name
//   plan.beginRun();
//   plan.startTask(0);                     // progress counts a started task half ...
//   plan.setOutcome(0, FileOutcome::completed());
//   plan.endTask(0);                       // ... and an ended one whole
//   plan.finishRun([] { return false; });  // COMPLETED when every task succeeded
#pragma once

#include <QByteArray>
#include <QString>
#include <QtGlobal>
#include <cstddef>
#include <map>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "DSMAddFile_Request.h"
#include "DSMCopyFile_Request.h"
#include "DSMDeleteFile_Request.h"
#include "DSMMoveFile_Request.h"
#include "plugin/FileKind.h"
#include "plugin/FileOutcome.h"
#include "plugin/HTTPClient.h"
#include "plugin/ServerFileStore.h"

namespace Zarvo::dsm {

class TCP9100File;

// The most tasks one job may have: every task is a record in the job for as long as the job is
// registered, and in every details answer.
inline constexpr std::size_t kMaxJobTasks = 100000;

// The numbers are what the operation list and details carry (as "ADD", "COPY", ... on the wire).
enum class JobType : int { kAdd = 5, kCopy = 6, kMove = 7, kDelete = 8 };
enum class JobStatus : int { kInProgress = 1, kCompleted = 2, kFailed = 3, kCanceled = 4 };

// One distinct file of a job.
struct FileRecord {
  QString name;
  quint32 size = 0;  // from the request, or the number of bytes read
  QString type;      // the kind's text; for copy, move and delete as the request wrote it
  QByteArray content;
  // content holds the file: a file may be empty, so emptiness does not say it was fetched. A
  // file whose bytes are not held is never sent (an empty form would overwrite the device's file
  // of that name).
  bool contentKnown = false;
  // An add job's file that could not be read while the job was built: its first run does not
  // read it again (a refused upload is reported once per command); a retry does.
  bool unreadAtBuild = false;
  QString fontName;    // the name a PostScript font is announced under
  quint32 fileId = 0;  // the file's font or macro ID on its source device

  // Where the bytes come from when they are not held: a copy or move fetches them from the
  // source device; an add job reads its upload again (uploadPath) or its stored file.
  enum class Origin { kSourceDevice, kUpload, kStore };
  Origin origin = Origin::kSourceDevice;
  QString uploadPath;

  FileKind kind() const { return fileKindFromText(type); }
};

// Where a task stands in the current run.
enum class TaskPhase { kPending, kStarted, kEnded };

// One unit of work: one file to one destination (or, for a delete, one file on the device).
struct Task {
  QString fileName;     // key of the file's record
  QString destination;  // empty for a delete
  QString source;       // empty for an add
  TaskPhase phase = TaskPhase::kPending;
  // What the last run that got this far recorded; kept across runs, so a retry redoes only
  // what did not succeed.
  std::optional<FileOutcome> outcome;

  bool succeeded() const { return outcome && outcome->succeeded; }
  // What the details answer shows for the task.
  FileOutcome shown() const { return outcome.value_or(FileOutcome::notYetRun()); }
};

// One request to a device's own web page.
struct PageRequest {
  QString address;
  QString page;
  HTTPClient::Form form;
};

class JobPlan {
 public:
  JobType type() const { return type_; }
  JobStatus status() const { return status_; }
  // 100 once COMPLETED; otherwise each started task counts half and each ended one whole, in
  // the integer steps ((2 x ended + started) x 100 / N) / 2. So a plan run one task at a time
  // reads 12, 25, 37, ... for N = 4, and keeps its last value when a run stops early.
  int progress() const;

  const std::vector<Task>& tasks() const { return tasks_; }
  const std::map<QString, FileRecord>& files() const { return files_; }  // by name
  const FileRecord& recordOf(std::size_t task) const { return files_.at(tasks_[task].fileName); }
  // The tasks of one file, in task order: the destinations a file goes to.
  const std::vector<std::size_t>& tasksOf(const QString& fileName) const {
    return tasksByFile_.at(fileName);
  }
  bool allSucceeded() const;

  // The order of a run: groups run one after another, the tasks of one group may run side by
  // side. One at a time: each task is a group of its own, in task order. Otherwise one group per
  // distinct file, files in the order they first appear in the tasks, each group's tasks in task
  // order.
  std::vector<std::vector<std::size_t>> runGroups(bool oneAtATime) const;

  // The distinct non-empty source (destination) addresses of the tasks in order of first
  // appearance joined with ";", or "-". Fixed once built.
  const std::u16string& sourceText() const { return sourceText_; }
  const std::u16string& destinationText() const { return destinationText_; }

  // --- The steps of a run ---
  // IN_PROGRESS with every task pending (so progress reads 0); outcomes and contents are kept.
  void beginRun();
  void startTask(std::size_t task);
  void setOutcome(std::size_t task, FileOutcome outcome);
  void endTask(std::size_t task);
  // After `group` (of runGroups) has ended: releases the bytes of every file whose last task is
  // in it; no later task of this run needs them.
  void releaseFilesEndingIn(const std::vector<std::size_t>& group);
  // Every way a run ends releases every file's bytes.
  // A cancel met before a task: CANCELED, progress as it stands.
  void cancelRun() {
    status_ = JobStatus::kCanceled;
    releaseContents();
  }
  // The run broke off (an exception): FAILED, progress and outcomes as they stand.
  void abortRun() {
    status_ = JobStatus::kFailed;
    releaseContents();
  }
  // The run is over: COMPLETED when every task succeeded; otherwise CANCELED when
  // canceledDuringRun() says a cancel cut the run short, else FAILED. canceledDuringRun is asked
  // only when some task did not succeed.
  template <class CanceledDuringRun>
  JobStatus finishRun(CanceledDuringRun&& canceledDuringRun) {
    status_ = allSucceeded()        ? JobStatus::kCompleted
              : canceledDuringRun() ? JobStatus::kCanceled
                                    : JobStatus::kFailed;
    releaseContents();
    return status_;
  }

 protected:
  explicit JobPlan(JobType type) : type_(type) {}

  // Inserts the record unless one of that name exists (the first one wins).
  void addRecord(FileRecord record);
  void addTask(const QString& fileName, const QString& destination, const QString& source);
  // Computes the list texts and groups the tasks by file; called once a builder has made every
  // task.
  void finishBuilding();
  // The three fields that name a file to the device pages.
  static void appendFileFields(const FileRecord& record, HTTPClient::Form* form);
  void releaseContent(FileRecord& record);
  void releaseContents();

  std::map<QString, FileRecord> files_;  // by name, UTF-16 code unit order
  std::vector<Task> tasks_;              // in the order they run one at a time

 private:
  JobType type_;
  JobStatus status_ = JobStatus::kInProgress;
  // Tasks in each phase but pending, kept as they change: a fleet-wide job has many thousands of
  // tasks, and the operation list reads every job's progress.
  std::size_t started_ = 0;
  std::size_t ended_ = 0;
  std::map<QString, std::vector<std::size_t>> tasksByFile_;
  std::u16string sourceText_;
  std::u16string destinationText_;
};

// Downloads uploaded files (LargeFile) and stored files (FileName) to one device, in request
// order. The contents are read while building (the front end may remove an upload once it is
// answered), uploads through the store's upload roots; an upload or stored file that cannot be
// read becomes a task that fails unsent ("UnknownFileType"). Uploads naming one path are read
// once and share their bytes. Once released, a file is read again from its upload path or the
// store when a retry needs it; its size, kind and font name then follow what was read.
class AddPlan : public JobPlan {
 public:
  using Request = DSMAddFile_Request::c_OrxRequest;
  AddPlan(const Request& request, const ServerFileStore& store);

  // Where a task's file is read again; read() needs no lock and touches no plan.
  struct LocalFile {
    FileRecord::Origin origin;
    QString path;  // the upload's path, or the name in the store
    ServerFileStore store;

    bool read(QByteArray* content) const;
  };
  bool needsRead(std::size_t task) const {
    return !recordOf(task).contentKnown && !recordOf(task).unreadAtBuild;
  }
  LocalFile localFile(std::size_t task) const;
  // Keeps what localFile(task).read() gave as the file's bytes.
  void takeRead(std::size_t task, QByteArray content);

 private:
  ServerFileStore store_;
};

// Copies (or moves) files from one device to others: for each destination in request order,
// every distinct file in name order. Contents are fetched from the source once and kept for the
// other destinations and for a retry; a move deletes each file on its source once every
// destination took it.
class TransferPlan : public JobPlan {
 public:
  using CopyRequest = DSMCopyFile_Request::c_OrxRequest;
  using MoveRequest = DSMMoveFile_Request::c_OrxRequest;
  explicit TransferPlan(const CopyRequest& request);
  explicit TransferPlan(const MoveRequest& request);

  bool deletesSource() const { return type() == JobType::kMove; }

  // The task's file must be fetched from its source before it can be sent.
  bool needsFetch(std::size_t task) const { return !recordOf(task).contentKnown; }
  PageRequest fetchRequest(std::size_t task) const;
  // Keeps what the source answered as the file's content. False when the answer cannot be the
  // file: an empty answer for a file that has bytes (sending it would overwrite the file on
  // every destination, and a move would then delete the only copy).
  bool takeFetched(std::size_t task, QByteArray body);
  // For a move, once the task's outcome is set: the request that deletes its file on the
  // source, when every task of that file has succeeded and none went to the source itself (the
  // download replaced the file there; deleting it would lose the only copy).
  std::optional<PageRequest> sourceDeleteAfter(std::size_t task) const;

 private:
  template <class Request>
  TransferPlan(JobType type, const Request& request);
};

// Deletes files on one device with a single request to its delete page. One task per File
// element (a repeated name gives one record but a task each); every task shares the request's
// outcome.
class DeletePlan : public JobPlan {
 public:
  using Request = DSMDeleteFile_Request::c_OrxRequest;
  explicit DeletePlan(const Request& request);

  const QString& deviceAddress() const { return deviceAddress_; }
  // The one request: the three fields of each distinct file, files in name order.
  PageRequest request() const;
  // The request is under way for every task (progress 50), or has ended for all of them.
  void startAll();
  void endAll(const FileOutcome& outcome);

 private:
  QString deviceAddress_;
};

// The downloadable form of a record, or null for one that cannot be sent: a type that is none
// of the four kinds, a PostScript font that does not convert, a name unsafe for the download's
// command line, or bytes the plan does not hold (a stored file that could not be read).
std::unique_ptr<TCP9100File> downloadableFile(const FileRecord& record);

// The number of tasks the job of a request would have, counted without building it (an add:
// every upload named and every stored file, whether or not it can be read).
std::size_t taskCount(const DSMAddFile_Request::c_OrxRequest& request);
std::size_t taskCount(const DSMCopyFile_Request::c_OrxRequest& request);
std::size_t taskCount(const DSMMoveFile_Request::c_OrxRequest& request);
std::size_t taskCount(const DSMDeleteFile_Request::c_OrxRequest& request);

}  // namespace Zarvo::dsm
