// DSMJob: the runner of a file job. Every transfer of files to, between or on devices runs on a
// thread of its own, so the handler that created it answers at once. What the job is to do, and
// how far it got, is its plan (JobPlan.h), plain data the runner owns and guards with the job's
// lock; the runner does the work the plan asks for: it fetches a file from its source device's
// web page when the job does not hold it yet, downloads it through the sender, deletes it on its
// source for a move, or sends a delete job's single request.
//
// A job is a shared-owned Zarvo::Thread (makeSharedThread): the last reference stops and joins
// its run before the job dies. It may run again (a retry); results of tasks that succeeded in an
// earlier run are kept and those tasks are not redone.
//
// Order: with one download at a time the tasks run in their own order (destination by
// destination). With more, the run works file by file: a file is fetched (or read) once, then
// sent to all of its destinations at once, at most parallelDownloads at a time, each on a thread
// of the job's own, joined before the next file; downloads to one device still run one after
// another in the sender. A move deletes a file on its source once every destination took it.
// Either way the details keep the task order and the progress never goes back during a run.
//
// Stopping: a run has a stop source of its own that both the thread's stop (shutdown) and
// cancel() trigger, and every wait of the run (web page, download, confirmation) is handed its
// token, so either ends every wait in flight in bounded time. A thread stop ends the run FAILED;
// a cancel ends it CANCELED, whether it was met at the start of a file or task or cut a wait
// short.
#pragma once

#include <QByteArray>
#include <QString>
#include <QUrl>
#include <atomic>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <variant>
#include <vector>

#include "framework/Configuration.h"
#include "framework/StopToken.h"
#include "framework/Thread.h"
#include "plugin/DeviceAddressPolicy.h"
#include "plugin/DeviceSender.h"
#include "plugin/HTTPClient.h"
#include "plugin/JobPlan.h"

namespace Zarvo::dsm {

// How a job reaches devices: their own web pages at http://<address>/<page> (port 80 on the
// devices; tests point it at a loopback fake), and which device addresses it may reach at all,
// for the pages and for downloads alike.
struct DeviceCgiSettings {
  quint16 port = 80;
  HTTPClient::Limits limits;
  DeviceAddressPolicy devices;

  // The page's URL, or an empty one when `devices` refuses the address.
  QUrl url(const QString& address, const QString& page) const;
};

class DSMJob final : public Zarvo::Thread {
 public:
  // `sender` is not owned and outlives the job; null only where no sender exists (every
  // download then fails as with an unreachable device). `parallelDownloads` (at least 1) bounds
  // the downloads of one file under way at once; 1 runs the tasks one after another.
  DSMJob(DeviceSender* sender, AddPlan plan, DeviceCgiSettings cgi = {},
         int parallelDownloads = Zarvo::kDefaultParallelDownloads);
  DSMJob(DeviceSender* sender, TransferPlan plan, DeviceCgiSettings cgi = {},
         int parallelDownloads = Zarvo::kDefaultParallelDownloads);
  DSMJob(DeviceSender* sender, DeletePlan plan, DeviceCgiSettings cgi = {},
         int parallelDownloads = Zarvo::kDefaultParallelDownloads);
  ~DSMJob() override;

  JobType type() const { return type_; }
  JobStatus status() const;
  int progress() const;
  // Status and progress read together, under the job's lock.
  struct State {
    JobStatus status;
    int progress;
  };
  State state() const;

  // Asks the job to stop at its next task and cuts a wait of the current run short; a job that
  // is not running keeps the request for its next run. Any thread; never waits.
  void cancel();
  bool cancelRequested() const { return cancelRequested_.load(); }

  // Fixed once the job is built.
  std::size_t fileCount() const { return fileCount_; }
  const std::u16string& sourceText() const { return sourceText_; }
  const std::u16string& destinationText() const { return destinationText_; }

  // Calls f(task, record) for each task in order, under the job's lock; f must not call back
  // into the job.
  template <class F>
  void forEachTask(F&& f) const {
    std::lock_guard<std::mutex> guard(lock_);
    const JobPlan& p = plan();
    for (std::size_t k = 0; k < p.tasks().size(); ++k) f(p.tasks()[k], p.recordOf(k));
  }

  // --- Runs, for the registry ---
  // The ID the registry gave the job, named in its audit lines; set before the first run.
  void setOperationId(int id) { operationId_.store(id); }
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

 private:
  // The run: sets up the run's stop source, carries out the plan, and makes sure no exception
  // leaves it with the job IN_PROGRESS for ever (it ends FAILED, progress and texts as they
  // stand).
  void run() override;

  using Plan = std::variant<AddPlan, TransferPlan, DeletePlan>;
  DSMJob(DeviceSender* sender, Plan plan, DeviceCgiSettings cgi, int parallelDownloads);

  JobPlan& plan();
  const JobPlan& plan() const;

  // The plan of an add, copy or move job, by what it needs: `transfer` for a copy or move (files
  // fetched from their source, sources deleted by a move), `add` for an add (files read again).
  struct Kinds {
    TransferPlan* transfer = nullptr;
    AddPlan* add = nullptr;
  };
  // Runs the tasks of an add, copy or move job group by group (JobPlan::runGroups).
  void runTasks(const Zarvo::StopToken& stop, Kinds kinds);
  // One group: its file made ready once, its tasks run (side by side when there are several),
  // then, for a move, the source deleted before the group's last task ends.
  void runGroup(const std::vector<std::size_t>& group, const Zarvo::StopToken& stop, Kinds kinds);
  // The group's file as it goes to a device: fetched or read when the plan does not hold it,
  // then built. On failure, the outcome every task of the group gets instead.
  std::shared_ptr<const TCP9100File> prepareFile(std::size_t task, const Zarvo::StopToken& stop,
                                                 Kinds kinds, FileOutcome* failure);
  void runDelete(const Zarvo::StopToken& stop, DeletePlan& plan);
  // One post to a device page; false on any failure (unreachable, not 200, stopped).
  bool post(const PageRequest& request, const Zarvo::StopToken& stop, QByteArray* body) const;
  // Ends the run through the plan's evaluation; a cancel counts only when the thread itself was
  // not stopped (a shutdown ends a run FAILED and leaves the cancel for a later run).
  void finishRun();
  // Whether a cancel asked for while no run was active ends the next run. A transfer meets it
  // at its first task; a delete never consults cancel before it starts (a retry redoes its
  // whole request), so only a cancel during its request cuts it short.
  bool keepsCancelForNextRun() const { return type_ != JobType::kDelete; }

  std::atomic<bool> cancelRequested_{false};
  DeviceSender* const sender_;
  const DeviceCgiSettings cgi_;
  const std::size_t parallelDownloads_;
  // Copied from the plan when built: fixed from then on, so they are read without the lock.
  const JobType type_;
  const std::size_t fileCount_;
  const std::u16string sourceText_;
  const std::u16string destinationText_;

  mutable std::mutex lock_;  // guards plan_: status, task states and outcomes, record contents
  Plan plan_;

  std::mutex runStopMutex_;
  std::optional<Zarvo::StopSource> runStop_;  // the current run's, while one runs
  std::mutex startMutex_;                     // serialises starts (first run and retries)
  std::atomic<int> pendingRetries_{0};
  std::atomic<bool> retired_{false};
  std::atomic<int> operationId_{-1};
};

}  // namespace Zarvo::dsm
