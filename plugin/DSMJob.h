// File jobs: every transfer of files to, between or on devices runs as a job on a thread of its
// own, so the handler that created it answers at once. A job is built from its request into
// file records (one per distinct file name) and tasks (one per file and destination); each run
// walks the tasks, fetching a file from its source device's web page when the job does not hold
// it yet, downloading it through the sender and recording a per-file result text. Status and
// progress are what the operation list shows while it runs.
//
// A job is a shared-owned Zarvo::Thread (makeSharedThread): the last reference stops and joins
// its run before the job dies. It may run again (a retry); results of tasks that succeeded in an
// earlier run are kept and those tasks are not redone.
//
// Stopping: a run has a stop source of its own that both the thread's stop (shutdown) and
// cancel() trigger, and every wait of the run (web page, download, confirmation) is handed its
// token, so either ends a wait in bounded time. A thread stop ends the run FAILED; a cancel
// ends it CANCELED, whether it was met at the start of a task or cut a wait short.
#pragma once

#include <QByteArray>
#include <QString>
#include <QUrl>
#include <QtGlobal>
#include <atomic>
#include <map>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <vector>

#include "DSMAddFile_Request.h"
#include "DSMCopyFile_Request.h"
#include "DSMDeleteFile_Request.h"
#include "DSMMoveFile_Request.h"
#include "framework/StopToken.h"
#include "framework/Thread.h"
#include "plugin/DeviceSender.h"
#include "plugin/HTTPClient.h"

class ServerFileStore;
class TCP9100File;

// One distinct file of a job.
struct FileRecord {
  QString name;
  quint32 size = 0;  // from the request, or the number of bytes read
  QString type;      // "psFont", "psForm", "pclFont", "pclMacro" (copy, move, delete: as asked)
  QByteArray content;
  // content holds the file: a file may be empty, so emptiness does not say it was fetched.
  bool contentKnown = false;
  // false for a stored file the add job could not read: it is never sent (an empty form would
  // overwrite the device's file of that name).
  bool readable = true;
  QString fontName;    // the name a PostScript font is announced under
  quint32 fileId = 0;  // the file's font or macro ID on its source device
};

// One unit of work: one file to one destination (or, for a delete, one file on the device).
struct Task {
  QString fileName;     // key of the file's record
  QString destination;  // empty for a delete
  QString source;       // empty for an add
  bool succeeded = false;
  QString resultText = FileOutcome::notYetRun().text;
};

// How a job reaches a device's own web pages: http://<address>/<page>. The port is 80 on the
// devices; tests point it at a loopback fake.
struct DeviceCgiSettings {
  quint16 port = 80;
  HTTPClient::Limits limits;

  QUrl url(const QString& address, const QString& page) const;
};

class DSMJob : public Zarvo::Thread {
 public:
  enum Type : int { kAdd = 5, kCopy = 6, kMove = 7, kDelete = 8 };
  enum Status : int { kInProgress = 1, kCompleted = 2, kFailed = 3, kCanceled = 4 };

  // The number the device pages take for a file type text: psFont 1, psForm 2, pclFont 3,
  // pclMacro 4, anything else 0.
  static int fileTypeCode(const QString& type);

  ~DSMJob() override;

  int status() const;
  void setStatus(int status);
  int progress() const;
  void setProgress(int progress);
  int type() const { return type_; }

  // Asks the job to stop at its next task and cuts a wait of the current run short; a job that
  // is not running keeps the request for its next run. Any thread; never waits.
  void cancel();
  bool cancelRequested() const { return cancelRequested_.load(); }

  // Status and progress read together, under the job's lock.
  struct State {
    int status;
    int progress;
  };
  State state() const;

  // The distinct non-empty source (destination) addresses of the tasks in order of first
  // appearance joined with ";", or "-": fixed once the job is built.
  const std::u16string& sourceText() const { return sourceText_; }
  const std::u16string& destinationText() const { return destinationText_; }

  // Calls f(task, record) for each task in order, under the job's lock; f must not call back
  // into the job.
  template <class F>
  void forEachTask(F&& f) const {
    std::lock_guard<std::mutex> guard(lock_);
    for (const Task& task : tasks_) f(task, files_.at(task.fileName));
  }

  // --- Runs, for the registry ---
  // Starts the first run.
  void startRun();
  // First half of a retry, called under the registry's mutex: shows the job IN_PROGRESS with
  // progress 0 and keeps it from being cleared until restart() has started the new run.
  void prepareRetry();
  // Second half, called without the registry's mutex: waits for a running run to end, then
  // starts a new one. Two retries take turns.
  void restart();
  // A retry has been prepared and its run not yet started: the job must not be cleared.
  bool retryPending() const { return pendingRetries_.load() > 0; }
  // For the service's stop: ends the current run and keeps any later one from starting, so a
  // retry that was waiting for the run does not begin a new one during shutdown.
  void retire();

 protected:
  DSMJob(int type, DeviceSender* sender, DeviceCgiSettings cgi);

  // The run: sets up the run's stop source, calls work(), and makes sure no exception leaves it
  // with the job IN_PROGRESS for ever (it ends FAILED, progress and texts as they stand).
  void run() final;
  // The body of one run; `stop` is the run's token (thread stop or cancel).
  virtual void work(const Zarvo::StopToken& stop) = 0;
  // Whether a cancel asked for while no run was active ends the next run. A transfer meets it
  // at its first task; a delete never consults cancel before it starts (a retry redoes its
  // whole request), so only a cancel during its request cuts it short.
  virtual bool keepsCancelForNextRun() const { return true; }

  // --- Building (constructors only) ---
  // Inserts the record unless files already has one of that name (the first one wins).
  void addRecord(FileRecord record);
  void addTask(const QString& fileName, const QString& destination, const QString& source);
  // Computes the list texts; called once at the end of a subclass constructor.
  void finishBuilding();

  // Walks the tasks of an add, copy or move job: `fetch` fetches unknown contents from the
  // task's source, `deleteSource` deletes each file on its source once every destination has
  // taken it.
  void runTransfers(const Zarvo::StopToken& stop, bool fetch, bool deleteSource);
  // One post to a device page; false on any failure (unreachable, not 200, stopped).
  bool postToDevice(const QString& address, const QString& page, const HTTPClient::Form& form,
                    const Zarvo::StopToken& stop, QByteArray* body) const;
  // The three fields that name one file to the device pages.
  static void appendFileFields(const FileRecord& record, HTTPClient::Form* form);
  // Ends the run: COMPLETED (progress 100, contents released) when every task succeeded, else
  // CANCELED when a cancel was asked during the run and the thread was not stopped, else FAILED.
  void evaluate();

  // Members in the described order.
  std::atomic<bool> cancelRequested_{false};
  std::map<QString, FileRecord> files_;  // by name, UTF-16 code unit order
  std::vector<Task> tasks_;              // in creation order
  DeviceSender* sender_;                 // not owned; null only where no sender exists
  mutable std::mutex lock_;              // status, progress, task results, record contents
  int status_ = kInProgress;
  int progress_ = 0;
  const int type_;

 private:
  // Fetches the record's content from `source`; false when the page failed or answered an
  // empty body for a file that is not empty.
  bool fetchContent(const QString& fileName, const QString& source, const Zarvo::StopToken& stop);
  // The downloadable kind of the record, or null for a type it cannot be (unknown type, a
  // PostScript font that does not convert, a name unsafe for the PJL line).
  static std::unique_ptr<TCP9100File> makeFile(const FileRecord& record);
  // Step of a move: delete the file on its source when every destination took it and the
  // source is not itself one of the destinations.
  void deleteSourceIfDone(const QString& fileName, const QString& source,
                          const Zarvo::StopToken& stop);

  const DeviceCgiSettings cgi_;
  std::u16string sourceText_;
  std::u16string destinationText_;

  std::mutex runStopMutex_;
  std::optional<Zarvo::StopSource> runStop_;  // the current run's, while one runs
  std::mutex startMutex_;                     // serialises starts (first run and retries)
  std::atomic<int> pendingRetries_{0};
  std::atomic<bool> retired_{false};
};

// Downloads uploaded files (LargeFile) and stored files (FileName) to one device.
class DSMJobAdd : public DSMJob {
 public:
  using Request = DSMAddFile_Request::c_OrxRequest;
  // Reads the uploads and the stored files now; an upload that cannot be read is left out, a
  // stored file that cannot be read becomes a task that fails with "UnknownFileType".
  DSMJobAdd(DeviceSender* sender, const Request& request, const ServerFileStore& store,
            DeviceCgiSettings cgi = {});

 protected:
  void work(const Zarvo::StopToken& stop) override;
};

// Copies files from one device to others, fetching each from the source once.
class DSMJobCopy : public DSMJob {
 public:
  using Request = DSMCopyFile_Request::c_OrxRequest;
  DSMJobCopy(DeviceSender* sender, const Request& request, DeviceCgiSettings cgi = {});

 protected:
  void work(const Zarvo::StopToken& stop) override;
};

// A copy that deletes each file on its source once every destination has taken it.
class DSMJobMove : public DSMJob {
 public:
  using Request = DSMMoveFile_Request::c_OrxRequest;
  DSMJobMove(DeviceSender* sender, const Request& request, DeviceCgiSettings cgi = {});

 protected:
  void work(const Zarvo::StopToken& stop) override;
};

// Deletes files on one device with a single request to its delete page.
class DSMJobDelete : public DSMJob {
 public:
  using Request = DSMDeleteFile_Request::c_OrxRequest;
  DSMJobDelete(DeviceSender* sender, const Request& request, DeviceCgiSettings cgi = {});

  const QString& deviceAddress() const { return deviceAddress_; }

 protected:
  void work(const Zarvo::StopToken& stop) override;
  bool keepsCancelForNextRun() const override { return false; }

 private:
  QString deviceAddress_;
};
