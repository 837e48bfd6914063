#include "plugin/ZarvoPluginDSM.h"

#include <curl/curl.h>

#include <QFileInfo>
#include <limits>
#include <vector>

#include "framework/Log.h"
#include "plugin/Audit.h"
#include "plugin/DeviceFileList.h"
#include "plugin/TrapDestRegistration.h"

namespace Zarvo::dsm {

namespace {

// libcurl's flags value 3: every subsystem (SSL and Win32 socket set-up).
constexpr long kCurlGlobalAll = 3;

// The production settings: upload directories as configured (a missing one is reported once
// here), else the defaults, "uploads" created in the working folder.
Configuration withUploadDirectories(const Configuration& configuration) {
  Configuration c = configuration;
  if (c.uploadDirectories.isEmpty()) {
    c.uploadDirectories = UploadRoots::defaultDirectories();
  } else {
    for (const QString& d : c.uploadDirectories) {
      if (!QFileInfo(d).isDir()) ZLOG("err") << "UploadDirectory is no directory: " << d;
    }
  }
  return c;
}

DeviceCgiSettings withDevices(DeviceCgiSettings cgi, const Configuration& configuration) {
  cgi.devices = DeviceAddressPolicy(configuration.deviceNetworks);
  return cgi;
}

// In the working folder, beside the store.
const QString kTrapRowJournalFile = QStringLiteral("TrapDestinations.journal");

}  // namespace

ZarvoPluginDSM::CurlGlobal::CurlGlobal() { curl_global_init(kCurlGlobalAll); }
ZarvoPluginDSM::CurlGlobal::~CurlGlobal() { curl_global_cleanup(); }

ZarvoPluginDSM::ZarvoPluginDSM(Zarvo::ServiceClient& services, const Configuration& configuration)
    : ZarvoPluginDSM(services, ServerFileStore::serverStoreDirectory(),
                     withUploadDirectories(configuration)) {
  journalTrapRows(kTrapRowJournalFile);
}

ZarvoPluginDSM::ZarvoPluginDSM(Zarvo::ServiceClient& services, const QString& storeDirectory,
                               const QString& deviceEnterpriseArc,
                               const TCP9100Sender::Limits& senderLimits, DeviceCgiSettings cgi,
                               int parallelDownloads)
    : ZarvoPluginDSM(
          services, storeDirectory,
          [&deviceEnterpriseArc, parallelDownloads] {
            Configuration c;
            c.deviceEnterpriseArc = deviceEnterpriseArc;
            c.parallelDownloads = parallelDownloads;
            return c;
          }(),
          senderLimits, std::move(cgi)) {}

ZarvoPluginDSM::ZarvoPluginDSM(Zarvo::ServiceClient& services, const QString& storeDirectory,
                               const Configuration& configuration,
                               const TCP9100Sender::Limits& senderLimits, DeviceCgiSettings cgi)
    : services_(services),
      store_(storeDirectory, configuration.uploadDirectories.isEmpty()
                                 ? UploadRoots::temporaryFolder()
                                 : UploadRoots(configuration.uploadDirectories)),
      sender_(TCP9100Sender::kDevicePort, senderLimits, trapRegistrations(),
              DeviceAddressPolicy(configuration.deviceNetworks)),
      trapIds_(DeviceTrapIds::forArc(configuration.deviceEnterpriseArc)),
      jobSender_(&sender_),
      cgi_(withDevices(std::move(cgi), configuration)),
      parallelDownloads_(configuration.parallelDownloads),
      trapSources_(services, configuration.trapSources) {
  registerHandlers();
}

ZarvoPluginDSM::ZarvoPluginDSM(Zarvo::ServiceClient& services, const QString& storeDirectory,
                               DeviceSender* sender, DeviceCgiSettings cgi, int parallelDownloads)
    : services_(services),
      store_(storeDirectory),
      sender_(trapRegistrations()),
      trapIds_(DeviceTrapIds::forArc(kDefaultDeviceEnterpriseArc)),
      jobSender_(sender),
      cgi_(std::move(cgi)),
      parallelDownloads_(parallelDownloads),
      trapSources_(services, std::nullopt) {
  registerHandlers();
}

ZarvoPluginDSM::~ZarvoPluginDSM() {
  stopAllWork();
  restorer_.reset();
  std::map<int, std::shared_ptr<DSMJob>> jobs;
  {
    std::lock_guard<std::mutex> guard(mutex_);
    jobs.swap(operations_);
  }
  jobs.clear();  // each job's last reference joins its run; the sender and curl outlive them
}

void ZarvoPluginDSM::aboutToStop() { stopAllWork(); }

bool ZarvoPluginDSM::admitsCaller(const QString& command, const QHostAddress& caller) {
  if (command != QLatin1String("SNMPTrap")) return true;
  return trapSources_.admits(caller);
}

TrapRegistrationFactory ZarvoPluginDSM::trapRegistrations() {
  // The journal is looked up per download: it is set after the sender is made.
  return [this](const QString& address) -> std::unique_ptr<TrapRegistration> {
    return std::make_unique<TrapDestRegistration>(services_, address, journal_.get());
  };
}

void ZarvoPluginDSM::journalTrapRows(const QString& path, TrapRowRestorer::Limits restore) {
  journal_ = std::make_unique<TrapRowJournal>(path);
  restoreLimits_ = restore;
}

void ZarvoPluginDSM::start() {
  if (!journal_ || journal_->leftOvers().isEmpty()) return;
  restorer_ = std::make_unique<TrapRowRestorer>(services_, *journal_, restoreLimits_);
  if (!restorer_->start()) {
    ZLOG("err") << "Error starting the restore of the trap destinations an earlier run left; "
                   "each is restored when its device is next used";
    restorer_.reset();
  }
}

void ZarvoPluginDSM::stopAllWork() {
  if (restorer_) restorer_->requestStop();
  {
    std::lock_guard<std::mutex> guard(mutex_);
    // Ask all first, so the jobs wind down together and shutdown lasts as long as the slowest.
    for (const auto& entry : operations_) entry.second->retire();
  }
  sender_.stopAll();
}

void ZarvoPluginDSM::registerHandlers() {
  // In the order of the handler table.
  registerHandler(QStringLiteral("DSMGetFileList"), &ZarvoPluginDSM::DSMGetFileList);
  registerHandler(QStringLiteral("DSMCopyFile"), &ZarvoPluginDSM::DSMCopyFile);
  registerHandler(QStringLiteral("DSMMoveFile"), &ZarvoPluginDSM::DSMMoveFile);
  registerHandler(QStringLiteral("DSMAddFile"), &ZarvoPluginDSM::DSMAddFile);
  registerHandler(QStringLiteral("DSMDeleteFile"), &ZarvoPluginDSM::DSMDeleteFile);
  registerHandler(QStringLiteral("DSMGetOperationList"), &ZarvoPluginDSM::DSMGetOperationList);
  registerHandler(QStringLiteral("DSMDetailsOperation"), &ZarvoPluginDSM::DSMDetailsOperation);
  registerHandler(QStringLiteral("DSMClearCompletedOperation"),
                  &ZarvoPluginDSM::DSMClearCompletedOperation);
  registerHandler(QStringLiteral("DSMCancelOperation"), &ZarvoPluginDSM::DSMCancelOperation);
  registerHandler(QStringLiteral("DSMRetryOperation"), &ZarvoPluginDSM::DSMRetryOperation);
  registerHandler(QStringLiteral("SNMPTrap"), &ZarvoPluginDSM::SNMPTrap);
  registerHandler(QStringLiteral("DSMServerGetFileList"), &ZarvoPluginDSM::DSMServerGetFileList);
  registerHandler(QStringLiteral("DSMServerAddFile"), &ZarvoPluginDSM::DSMServerAddFile);
  registerHandler(QStringLiteral("DSMServerDeleteFile"), &ZarvoPluginDSM::DSMServerDeleteFile);
  registerHandler(QStringLiteral("DSMServerSetFileId"), &ZarvoPluginDSM::DSMServerSetFileId);
}

std::unique_ptr<ZarvoPluginDSM::GetFileListResponse> ZarvoPluginDSM::DSMGetFileList(
    GetFileListRequest& request) {
  return listDeviceFiles(services_, request.get_DeviceID(), cgi_.devices);
}

// ---------------------------------------------------------------------------------------------
// File jobs and the operation registry

void ZarvoPluginDSM::createOperation(std::shared_ptr<DSMJob> job) {
  std::lock_guard<std::mutex> guard(mutex_);
  const int id = nextOperationId_++;
  operations_.emplace(id, job);
  job->setOperationId(id);
  // Before the run starts, so it comes before the run's end line.
  ZLOG("info") << audit::operationStarted(id, job->type(), job->sourceText(),
                                          job->destinationText(), job->fileCount(), false);
  job->startRun();  // starting a thread does not wait for anything
}

std::shared_ptr<DSMJob> ZarvoPluginDSM::operation(std::uint32_t id) {
  std::lock_guard<std::mutex> guard(mutex_);
  if (id > std::uint32_t(std::numeric_limits<int>::max())) return nullptr;
  auto it = operations_.find(int(id));
  return it == operations_.end() ? nullptr : it->second;
}

namespace {

// A job of more tasks than a job may have is refused before anything of it is built: its
// requests are small (100 files to 5,000 devices fit in 170 KB), its tasks and details are not.
template <class Response, class Request>
std::unique_ptr<Response> refusedAsTooLarge(const Request& request) {
  const std::size_t tasks = taskCount(request);
  if (tasks <= kMaxJobTasks) return nullptr;
  auto response = std::make_unique<Response>();
  const Zarvo::Failure failure = Zarvo::Failure::wrongRequest(
      QStringLiteral("the job would have %1 tasks (one per file and device), more than the "
                     "%2 a job may have")
          .arg(tasks)
          .arg(kMaxJobTasks));
  response->setResult(failure.result(), failure.details);
  return response;
}

}  // namespace

// The jobs are built (uploads and stored files read) before the mutex is taken: the registry
// waits for no file system.
std::unique_ptr<ZarvoPluginDSM::CopyFileResponse> ZarvoPluginDSM::DSMCopyFile(
    CopyFileRequest& request) {
  if (auto refused = refusedAsTooLarge<CopyFileResponse>(request)) return refused;
  createOperation(makeJob(TransferPlan(request)));
  return std::make_unique<CopyFileResponse>();
}

std::unique_ptr<ZarvoPluginDSM::MoveFileResponse> ZarvoPluginDSM::DSMMoveFile(
    MoveFileRequest& request) {
  if (auto refused = refusedAsTooLarge<MoveFileResponse>(request)) return refused;
  createOperation(makeJob(TransferPlan(request)));
  return std::make_unique<MoveFileResponse>();
}

std::unique_ptr<ZarvoPluginDSM::AddFileResponse> ZarvoPluginDSM::DSMAddFile(
    AddFileRequest& request) {
  if (auto refused = refusedAsTooLarge<AddFileResponse>(request)) return refused;
  if (request.size_LargeFile() != 0 || request.size_FileName() != 0) {
    createOperation(makeJob(AddPlan(request, store_)));
  }
  return std::make_unique<AddFileResponse>();
}

std::unique_ptr<ZarvoPluginDSM::DeleteFileResponse> ZarvoPluginDSM::DSMDeleteFile(
    DeleteFileRequest& request) {
  if (auto refused = refusedAsTooLarge<DeleteFileResponse>(request)) return refused;
  if (request.size_File() != 0) createOperation(makeJob(DeletePlan(request)));
  return std::make_unique<DeleteFileResponse>();
}

std::unique_ptr<ZarvoPluginDSM::GetOperationListResponse> ZarvoPluginDSM::DSMGetOperationList(
    GetOperationListRequest&) {
  auto response = std::make_unique<GetOperationListResponse>();
  std::lock_guard<std::mutex> guard(mutex_);
  for (const auto& [id, job] : operations_) {
    (void)response->append_Operation();
    auto& op = response->back_Operation();
    const DSMJob::State state = job->state();
    (void)op.set_ID(std::uint32_t(id));
    (void)op.set_Type(static_cast<int>(job->type()));
    (void)op.set_Status(static_cast<int>(state.status));
    (void)op.set_Progress(std::uint32_t(state.progress));
    (void)op.set_Source(job->sourceText());
    (void)op.set_Destination(job->destinationText());
  }
  return response;
}

std::unique_ptr<ZarvoPluginDSM::DetailsOperationResponse> ZarvoPluginDSM::DSMDetailsOperation(
    DetailsOperationRequest& request) {
  auto response = std::make_unique<DetailsOperationResponse>();
  // A shared reference keeps the job alive without holding the registry while it is read.
  const std::shared_ptr<DSMJob> job = operation(request.get_OperationID());
  if (!job) return response;
  (void)response->set_Type(static_cast<int>(job->type()));
  (void)response->set_Status(static_cast<int>(job->status()));
  (void)response->set_Source(job->sourceText());
  (void)response->set_Destination(job->destinationText());
  const auto orDash = [](const QString& address) {
    return address.isEmpty() ? std::u16string(u"-") : address.toStdU16String();
  };
  job->forEachTask([&](const Task& task, const FileRecord& record) {
    (void)response->append_File();
    auto& file = response->back_File();
    (void)file.set_FileName(record.name.toStdU16String());
    (void)file.set_FileSize(record.size);
    (void)file.set_FileType(record.type.toStdU16String());
    (void)file.set_Source(orDash(task.source));
    (void)file.set_Destination(orDash(task.destination));
    const FileOutcome shown = task.shown();
    (void)file.set_Result(shown.succeeded);
    (void)file.set_Details(shown.text.toStdU16String());
  });
  return response;
}

std::unique_ptr<ZarvoPluginDSM::ClearCompletedOperationResponse>
ZarvoPluginDSM::DSMClearCompletedOperation(ClearCompletedOperationRequest&) {
  std::vector<std::shared_ptr<DSMJob>> removed;
  {
    std::lock_guard<std::mutex> guard(mutex_);
    for (auto it = operations_.begin(); it != operations_.end();) {
      const DSMJob& job = *it->second;
      // A job a retry has just restarted counts as running, whatever its last run wrote.
      if (!job.retryPending() && job.status() != JobStatus::kInProgress) {
        removed.push_back(std::move(it->second));
        it = operations_.erase(it);
      } else {
        ++it;
      }
    }
  }
  // Destroying a job joins its thread: done here, after the mutex, so no other handler waits.
  removed.clear();
  return std::make_unique<ClearCompletedOperationResponse>();
}

std::unique_ptr<ZarvoPluginDSM::CancelOperationResponse> ZarvoPluginDSM::DSMCancelOperation(
    CancelOperationRequest& request) {
  // Outside the mutex: the cancel runs the stop callbacks of the job's waits.
  if (const std::shared_ptr<DSMJob> job = operation(request.get_OperationID())) job->cancel();
  return std::make_unique<CancelOperationResponse>();
}

std::unique_ptr<ZarvoPluginDSM::RetryOperationResponse> ZarvoPluginDSM::DSMRetryOperation(
    RetryOperationRequest& request) {
  std::shared_ptr<DSMJob> job;
  {
    std::lock_guard<std::mutex> guard(mutex_);
    const std::uint32_t id = request.get_OperationID();
    auto it = id <= std::uint32_t(std::numeric_limits<int>::max()) ? operations_.find(int(id))
                                                                   : operations_.end();
    if (it == operations_.end()) return std::make_unique<RetryOperationResponse>();
    job = it->second;
    job->prepareRetry();  // IN_PROGRESS from now on, and not cleared
  }
  // Waiting for a running run happens without the registry's mutex, so list, details, cancel and
  // clear are answered meanwhile.
  job->restart();
  return std::make_unique<RetryOperationResponse>();
}

// ---------------------------------------------------------------------------------------------
// Device notifications

std::unique_ptr<ZarvoPluginDSM::SNMPTrapResponse> ZarvoPluginDSM::SNMPTrap(
    SNMPTrapRequest& request) {
  // A confirmation for a device without a download under way is dropped by the sender.
  if (const auto status = downloadStatusOf(request, trapIds_)) {
    sender_.notify(status->address, status->ok, status->text);
  }
  // Every trap is answered alike, recognised or not: the service does not act on the answer.
  auto response = std::make_unique<SNMPTrapResponse>();
  (void)response->set_Result(0);
  (void)response->set_Details(u"OK");
  return response;
}

// ---------------------------------------------------------------------------------------------
// The server-side store

std::unique_ptr<ZarvoPluginDSM::ServerGetFileListResponse> ZarvoPluginDSM::DSMServerGetFileList(
    ServerGetFileListRequest&) {
  auto response = std::make_unique<ServerGetFileListResponse>();
  for (const ServerFileStore::Entry& e : store_.list()) {
    (void)response->append_File();
    auto& file = response->back_File();
    (void)file.set_FileName(e.name.toStdU16String());
    (void)file.set_FileSize(e.size);
    (void)file.set_FileType(e.type.toStdU16String());
    (void)file.set_FileID(e.id.toStdU16String());
    (void)file.set_FileDate(e.date);
  }
  return response;
}

std::unique_ptr<ZarvoPluginDSM::ServerAddFileResponse> ZarvoPluginDSM::DSMServerAddFile(
    ServerAddFileRequest& request) {
  // A copy that fails (unreadable upload, invalid or existing name) is skipped; the rest go on.
  for (std::size_t i = 0; i < request.size_LargeFile(); ++i) {
    const auto& upload = request.get_LargeFile(i);
    const QString path = QString::fromStdU16String(upload.get_value());
    const QString name =
        ServerFileStore::lastComponent(QString::fromStdU16String(upload.get_filename()));
    ZLOG("info") << audit::storeAdded(name, path, store_.add(path, name));
  }
  return std::make_unique<ServerAddFileResponse>();
}

std::unique_ptr<ZarvoPluginDSM::ServerDeleteFileResponse> ZarvoPluginDSM::DSMServerDeleteFile(
    ServerDeleteFileRequest& request) {
  for (std::size_t i = 0; i < request.size_File(); ++i) {
    const QString name = QString::fromStdU16String(request.get_File(i).get_FileName());
    ZLOG("info") << audit::storeDeleted(name, store_.remove(name));
  }
  return std::make_unique<ServerDeleteFileResponse>();
}

std::unique_ptr<ZarvoPluginDSM::ServerSetFileIdResponse> ZarvoPluginDSM::DSMServerSetFileId(
    ServerSetFileIdRequest& request) {
  const QString name = QString::fromStdU16String(request.get_FileName());
  const QString id = QString::fromStdU16String(request.get_FileID());
  ZLOG("info") << audit::storeIdSet(name, id, store_.setFileId(name, id));
  return std::make_unique<ServerSetFileIdResponse>();
}

}  // namespace Zarvo::dsm
