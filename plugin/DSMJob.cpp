// The runner of file jobs: the run's work, and its stop and retry plumbing.
#include "plugin/DSMJob.h"

#include <exception>

#include "framework/Log.h"
#include "plugin/Audit.h"
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
  QUrl url;
  url.setScheme(QStringLiteral("http"));
  url.setHost(address.trimmed());
  if (port != 80) url.setPort(port);
  url.setPath(QLatin1Char('/') + page);
  return url;
}

// ---------------------------------------------------------------------------------------------
// DSMJob

DSMJob::DSMJob(DeviceSender* sender, AddPlan plan, DeviceCgiSettings cgi)
    : DSMJob(sender, Plan(std::move(plan)), std::move(cgi)) {}

DSMJob::DSMJob(DeviceSender* sender, TransferPlan plan, DeviceCgiSettings cgi)
    : DSMJob(sender, Plan(std::move(plan)), std::move(cgi)) {}

DSMJob::DSMJob(DeviceSender* sender, DeletePlan plan, DeviceCgiSettings cgi)
    : DSMJob(sender, Plan(std::move(plan)), std::move(cgi)) {}

DSMJob::DSMJob(DeviceSender* sender, Plan plan, DeviceCgiSettings cgi)
    : sender_(sender),
      cgi_(std::move(cgi)),
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
              runTasks(stop, &p);
            } else {
              runTasks(stop, nullptr);
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
  try {
    QByteArray answer = HTTPClient::post(
        cgi_.url(request.address, request.page), request.form,
        [&stop] { return stop.stopRequested(); }, cgi_.limits);
    if (body) *body = std::move(answer);
    return true;
  } catch (const HTTPClient::HTTPClientError&) {
    return false;
  }
}

// Only this thread changes what a task's work reads (names, addresses and types are fixed once
// built; contents change in this run only), so the work itself runs without the lock and the
// lock is held just to read and record.
void DSMJob::runTasks(const Zarvo::StopToken& stop, TransferPlan* transfer) {
  std::size_t n;
  {
    std::lock_guard<std::mutex> guard(lock_);
    plan().beginRun();
    n = plan().tasks().size();
  }
  for (std::size_t k = 0; k < n; ++k) {
    if (stopRequested()) break;  // the thread's stop: the evaluation makes it FAILED
    if (cancelRequested_.exchange(false)) {
      std::lock_guard<std::mutex> guard(lock_);
      plan().cancelRun();
      return;
    }
    bool alreadyDone;
    {
      std::lock_guard<std::mutex> guard(lock_);
      plan().startTask(k);
      alreadyDone = plan().tasks()[k].succeeded();
    }
    if (!alreadyDone) {
      FileOutcome outcome = carryOut(k, stop, transfer);
      std::lock_guard<std::mutex> guard(lock_);
      plan().setOutcome(k, std::move(outcome));
    }
    if (transfer && transfer->deletesSource()) {
      std::optional<PageRequest> remove;
      {
        std::lock_guard<std::mutex> guard(lock_);
        remove = transfer->sourceDeleteAfter(k);
      }
      if (remove) (void)post(*remove, stop, nullptr);  // outcome ignored
    }
    std::lock_guard<std::mutex> guard(lock_);
    plan().endTask(k);
  }
  finishRun();
}

FileOutcome DSMJob::carryOut(std::size_t k, const Zarvo::StopToken& stop, TransferPlan* transfer) {
  std::optional<PageRequest> fetch;
  QString destination;
  {
    std::lock_guard<std::mutex> guard(lock_);
    if (transfer && transfer->needsFetch(k)) fetch = transfer->fetchRequest(k);
    destination = plan().tasks()[k].destination;
  }
  if (fetch) {
    QByteArray body;
    bool kept = post(*fetch, stop, &body);
    if (kept) {
      std::lock_guard<std::mutex> guard(lock_);
      kept = transfer->takeFetched(k, std::move(body));
    }
    if (!kept) return FileOutcome::deviceDosntResponse();
  }
  FileRecord record;
  {
    std::lock_guard<std::mutex> guard(lock_);
    record = plan().recordOf(k);  // shares the content's bytes, does not copy them
  }
  const std::unique_ptr<TCP9100File> file = downloadableFile(record);
  if (!file) return FileOutcome::unknownFileType();
  if (!sender_) return FileOutcome::deviceDosntResponse();
  return sender_->send(destination, *file, stop);
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
