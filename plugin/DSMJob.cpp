// The runner of file jobs: the run's work, and its stop and retry plumbing.
#include "plugin/DSMJob.h"

#include <algorithm>
#include <exception>

#include "framework/Log.h"
#include "plugin/Audit.h"
#include "plugin/SideBySide.h"
#include "plugin/TCP9100File.h"

#if defined(__GLIBCXX__)
#include <cxxabi.h>

namespace Zarvo::dsm {

#endif

namespace {

const JobPlan& base(const std::variant<AddPlan, TransferPlan, DeletePlan>& plan) {
  return std::visit([](const auto& p) -> const JobPlan& { return p; }, plan);
}

}  // namespace

// ---------------------------------------------------------------------------------------------
// DeviceCgiSettings

QUrl DeviceCgiSettings::url(const QString& address, const QString& page) const {
  const auto device = devices.connectable(address);
  if (!device) return QUrl();
  QUrl url;
  url.setScheme(QStringLiteral("http"));
  url.setHost(device->toString());
  if (port != 80) url.setPort(port);
  url.setPath(QLatin1Char('/') + page);
  return url;
}

// ---------------------------------------------------------------------------------------------
// DSMJob

DSMJob::DSMJob(DeviceSender* sender, AddPlan plan, DeviceCgiSettings cgi, int parallelDownloads)
    : DSMJob(sender, Plan(std::move(plan)), std::move(cgi), parallelDownloads) {}

DSMJob::DSMJob(DeviceSender* sender, TransferPlan plan, DeviceCgiSettings cgi,
               int parallelDownloads)
    : DSMJob(sender, Plan(std::move(plan)), std::move(cgi), parallelDownloads) {}

DSMJob::DSMJob(DeviceSender* sender, DeletePlan plan, DeviceCgiSettings cgi, int parallelDownloads)
    : DSMJob(sender, Plan(std::move(plan)), std::move(cgi), parallelDownloads) {}

DSMJob::DSMJob(DeviceSender* sender, Plan plan, DeviceCgiSettings cgi, int parallelDownloads)
    : sender_(sender),
      cgi_(std::move(cgi)),
      parallelDownloads_(std::size_t(std::max(1, parallelDownloads))),
      type_(base(plan).type()),
      fileCount_(base(plan).files().size()),
      sourceText_(base(plan).sourceText()),
      destinationText_(base(plan).destinationText()),
      plan_(std::move(plan)) {}

DSMJob::~DSMJob() = default;

JobPlan& DSMJob::plan() {
  return std::visit([](auto& p) -> JobPlan& { return p; }, plan_);
}

const JobPlan& DSMJob::plan() const { return base(plan_); }

JobStatus DSMJob::status() const {
  std::lock_guard<std::mutex> guard(lock_);
  return plan().status();
}

int DSMJob::progress() const {
  std::lock_guard<std::mutex> guard(lock_);
  return plan().progress();
}

DSMJob::State DSMJob::state() const {
  std::lock_guard<std::mutex> guard(lock_);
  return State{plan().status(), plan().progress()};
}

void DSMJob::cancel() {
  // The flag first: a run that installs its stop source after this reads the flag and stops
  // itself; a run that installed it before is stopped here.
  cancelRequested_.store(true);
  std::optional<Zarvo::StopSource> current;
  {
    std::lock_guard<std::mutex> guard(runStopMutex_);
    current = runStop_;
  }
  if (current) current->requestStop();
}

void DSMJob::startRun() {
  std::lock_guard<std::mutex> guard(startMutex_);
  start();
}

void DSMJob::prepareRetry() {
  ++pendingRetries_;
  std::lock_guard<std::mutex> guard(lock_);
  plan().beginRun();
}

void DSMJob::retire() {
  retired_.store(true);
  requestStop();
}

void DSMJob::restart() {
  std::lock_guard<std::mutex> guard(startMutex_);
  wait();
  if (retired_.load()) {  // the service is stopping: the run that ended keeps its outcome
    --pendingRetries_;
    return;
  }
  // The run that just ended wrote its final status over the one prepareRetry() set; show the
  // job as running again before it may be cleared.
  {
    std::lock_guard<std::mutex> state(lock_);
    plan().beginRun();
  }
  ZLOG("info") << audit::operationStarted(operationId_.load(), type_, sourceText_, destinationText_,
                                          fileCount_, true);
  start();
  --pendingRetries_;
}

void DSMJob::run() {
  // Dropped before the source is installed: a cancel that comes after this is one during the run.
  if (!keepsCancelForNextRun()) cancelRequested_.store(false);
  Zarvo::StopSource runStop;
  {
    std::lock_guard<std::mutex> guard(runStopMutex_);
    runStop_ = runStop;
  }
  if (cancelRequested_.load()) runStop.requestStop();
  {
    // The thread's stop (shutdown, the last reference going) stops the run's waits too.
    Zarvo::StopCallback bridge(stopToken(), [runStop]() mutable { runStop.requestStop(); });
    const Zarvo::StopToken stop = runStop.token();
    try {
      std::visit(
          [&](auto& p) {
            using P = std::decay_t<decltype(p)>;
            if constexpr (std::is_same_v<P, DeletePlan>) {
              runDelete(stop, p);
            } else if constexpr (std::is_same_v<P, TransferPlan>) {
              runTasks(stop, Kinds{&p, nullptr});
            } else {
              runTasks(stop, Kinds{nullptr, &p});
            }
          },
          plan_);
#if defined(__GLIBCXX__)
    } catch (abi::__forced_unwind&) {
      throw;  // thread cancellation must unwind
#endif
    } catch (const std::exception& e) {
      ZLOG("err") << "File job ended by an exception: " << e.what();
      std::lock_guard<std::mutex> guard(lock_);
      plan().abortRun();
    } catch (...) {
      ZLOG("err") << "File job ended by an exception of unknown type";
      std::lock_guard<std::mutex> guard(lock_);
      plan().abortRun();
    }
  }
  // Every way a run ends passes here: the audit line of its end.
  QString ended;
  {
    std::lock_guard<std::mutex> guard(lock_);
    ended = audit::operationEnded(operationId_.load(), plan());
  }
  ZLOG("info") << ended;
  std::lock_guard<std::mutex> guard(runStopMutex_);
  runStop_.reset();
}

bool DSMJob::post(const PageRequest& request, const Zarvo::StopToken& stop,
                  QByteArray* body) const {
  const QUrl url = cgi_.url(request.address, request.page);
  if (url.isEmpty()) return false;  // a refused address: nothing is sent
  try {
    QByteArray answer = HTTPClient::post(
        url, request.form, [&stop] { return stop.stopRequested(); }, cgi_.limits);
    if (body) *body = std::move(answer);
    return true;
  } catch (const HTTPClient::HTTPClientError&) {
    return false;
  }
}

// Only this run changes what a task's work reads (names, addresses and types are fixed once
// built; contents change in this run only, before a group's downloads start), so the work itself
// runs without the lock and the lock is held just to read and record.
void DSMJob::runTasks(const Zarvo::StopToken& stop, Kinds kinds) {
  std::vector<std::vector<std::size_t>> groups;
  {
    std::lock_guard<std::mutex> guard(lock_);
    plan().beginRun();
    groups = plan().runGroups(parallelDownloads_ == 1);
  }
  for (const std::vector<std::size_t>& group : groups) {
    if (stopRequested()) break;  // the thread's stop: the evaluation makes it FAILED
    if (cancelRequested_.exchange(false)) {
      std::lock_guard<std::mutex> guard(lock_);
      plan().cancelRun();
      return;
    }
    runGroup(group, stop, kinds);
    std::lock_guard<std::mutex> guard(lock_);
    plan().releaseFilesEndingIn(group);
  }
  finishRun();
}

void DSMJob::runGroup(const std::vector<std::size_t>& group, const Zarvo::StopToken& stop,
                      Kinds kinds) {
  std::vector<std::size_t> done, toDo;
  {
    std::lock_guard<std::mutex> guard(lock_);
    for (std::size_t k : group) (plan().tasks()[k].succeeded() ? done : toDo).push_back(k);
  }
  const auto start = [this](std::size_t k) {
    std::lock_guard<std::mutex> guard(lock_);
    plan().startTask(k);
  };
  // The task that ends last deletes a moved file on its source before it ends: only then has
  // every destination of the file had its turn, and the progress passes the file only after it.
  std::size_t unfinished = group.size();  // guarded by lock_
  const auto finish = [&](std::size_t k, const std::optional<FileOutcome>& outcome) {
    {
      std::lock_guard<std::mutex> guard(lock_);
      if (outcome) plan().setOutcome(k, *outcome);
      if (--unfinished != 0) {
        plan().endTask(k);
        return;
      }
    }
    if (kinds.transfer && kinds.transfer->deletesSource()) {
      std::optional<PageRequest> remove;
      {
        std::lock_guard<std::mutex> guard(lock_);
        remove = kinds.transfer->sourceDeleteAfter(k);
      }
      if (remove) (void)post(*remove, stop, nullptr);  // outcome ignored
    }
    std::lock_guard<std::mutex> guard(lock_);
    plan().endTask(k);
  };

  // Tasks that succeeded in an earlier run are only walked through.
  for (std::size_t k : done) {
    start(k);
    finish(k, std::nullopt);
  }
  if (toDo.empty()) return;

  start(toDo.front());  // under way while its file is fetched or read
  FileOutcome failure;
  const std::shared_ptr<const TCP9100File> file = prepareFile(toDo.front(), stop, kinds, &failure);
  runSideBySide(toDo.size(), file ? parallelDownloads_ : 1, stop, [&](std::size_t i) {
    const std::size_t k = toDo[i];
    start(k);
    if (!file) return finish(k, failure);
    if (!sender_) return finish(k, FileOutcome::deviceDosntResponse());
    QString destination;
    {
      std::lock_guard<std::mutex> guard(lock_);
      destination = plan().tasks()[k].destination;
    }
    // Refused before the sender: no session, no trap registration, no connection.
    const auto device = cgi_.devices.connectable(destination);
    if (!device) return finish(k, FileOutcome::deviceDosntResponse());
    finish(k, sender_->send(device->toString(), *file, stop));
  });
}

std::shared_ptr<const TCP9100File> DSMJob::prepareFile(std::size_t k, const Zarvo::StopToken& stop,
                                                       Kinds kinds, FileOutcome* failure) {
  std::optional<PageRequest> fetch;
  std::optional<AddPlan::LocalFile> local;
  {
    std::lock_guard<std::mutex> guard(lock_);
    if (kinds.transfer && kinds.transfer->needsFetch(k)) fetch = kinds.transfer->fetchRequest(k);
    if (kinds.add && kinds.add->needsRead(k)) local = kinds.add->localFile(k);
  }
  if (fetch) {
    QByteArray body;
    bool kept = post(*fetch, stop, &body);
    if (kept) {
      std::lock_guard<std::mutex> guard(lock_);
      kept = kinds.transfer->takeFetched(k, std::move(body));
    }
    if (!kept) {
      *failure = FileOutcome::deviceDosntResponse();
      return nullptr;
    }
  }
  if (local) {
    // A file that cannot be read is never sent: an empty form would overwrite the device's file.
    QByteArray content;
    if (!local->read(&content)) {
      *failure = FileOutcome::unknownFileType();
      return nullptr;
    }
    std::lock_guard<std::mutex> guard(lock_);
    kinds.add->takeRead(k, std::move(content));
  }
  FileRecord record;
  {
    std::lock_guard<std::mutex> guard(lock_);
    record = plan().recordOf(k);  // shares the content's bytes, does not copy them
  }
  std::shared_ptr<const TCP9100File> file = downloadableFile(record);
  if (!file) *failure = FileOutcome::unknownFileType();
  return file;
}

void DSMJob::runDelete(const Zarvo::StopToken& stop, DeletePlan& deletion) {
  PageRequest request;
  {
    std::lock_guard<std::mutex> guard(lock_);
    deletion.beginRun();
    deletion.startAll();
    request = deletion.request();
  }
  // One request for every file. A delete does not look at the cancel flag before it starts,
  // but a cancel (or shutdown) cuts its wait for the device short.
  const bool ok = post(request, stop, nullptr);
  {
    std::lock_guard<std::mutex> guard(lock_);
    // A success after a failed run must not keep the failure's text beside Result true.
    deletion.endAll(ok ? FileOutcome::completed() : FileOutcome::deviceDosntResponse());
  }
  finishRun();
}

void DSMJob::finishRun() {
  const bool threadStopped = stopRequested();
  std::lock_guard<std::mutex> guard(lock_);
  // A cancel that cut a wait short (or came during the last task) ends the run as canceled; the
  // thread's stop (shutdown) takes precedence and leaves the request for a later run.
  (void)plan().finishRun([&] { return !threadStopped && cancelRequested_.exchange(false); });
}

}  // namespace Zarvo::dsm
