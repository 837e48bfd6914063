// File jobs: building from requests, the runs, and their stop and retry plumbing.
#include "plugin/DSMJob.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <QFile>
#include <QStringList>
#include <exception>

#include "framework/Log.h"
#include "plugin/FileContent.h"
#include "plugin/ServerFileStore.h"
#include "plugin/TCP9100File.h"

#if defined(__GLIBCXX__)
#include <cxxabi.h>
#endif

namespace {

const QString kGetFilesPage = QStringLiteral("DSMGetFiles.cgi");
const QString kDeleteFilesPage = QStringLiteral("DSMDeletefiles.cgi");

// Reads an upload the front end placed on a local path. Only a regular file of at most the
// store's size limit counts: a FIFO would block the handler and a device node never ends.
bool readUpload(const QString& path, QByteArray* content) {
  const int fd = ::open(QFile::encodeName(path).constData(), O_RDONLY | O_NONBLOCK | O_CLOEXEC);
  if (fd < 0) return false;
  struct Closer {
    int fd;
    ~Closer() { ::close(fd); }
  } closer{fd};
  struct stat info {};
  if (::fstat(fd, &info) != 0 || !S_ISREG(info.st_mode)) return false;
  if (info.st_size > ServerFileStore::kMaxFileSize) return false;
  QByteArray bytes;
  bytes.resize(qsizetype(info.st_size));
  qsizetype done = 0;
  while (done < bytes.size()) {
    const ssize_t n = ::read(fd, bytes.data() + done, size_t(bytes.size() - done));
    if (n < 0) return false;
    if (n == 0) break;  // the file shrank meanwhile: take what is there
    done += n;
  }
  bytes.truncate(done);
  *content = std::move(bytes);
  return true;
}

// Type and font name of an add job's file, decided by its bytes.
void describe(FileRecord* record) {
  const PclFileInfo pcl = inspectPclFile(record->content);
  if (pcl.kind == kPclFont) {
    record->type = QStringLiteral("pclFont");
  } else if (pcl.kind == kPclMacro) {
    record->type = QStringLiteral("pclMacro");
  } else if (const auto font = postScriptFontName(record->content); font.first) {
    record->type = QStringLiteral("psFont");
    record->fontName = font.second;
  } else {
    record->type = QStringLiteral("psForm");
  }
}

std::u16string joinDistinct(const QStringList& addresses) {
  QStringList distinct;
  for (const QString& a : addresses) {
    if (!a.isEmpty() && !distinct.contains(a)) distinct.append(a);
  }
  return distinct.isEmpty() ? std::u16string(u"-")
                            : distinct.join(QLatin1Char(';')).toStdU16String();
}

QString qs(const std::u16string& s) { return QString::fromStdU16String(s); }

// The record of one `File` element of a copy, move or delete request (the same fields in three
// namespaces): name, size, type and ID as the request gives them; content comes later.
template <class FileElement>
FileRecord recordOf(const FileElement& f) {
  FileRecord r;
  r.name = qs(f.get_FileName());
  r.size = f.get_FileSize();
  r.type = qs(f.get_FileType());
  r.fontName = r.name;
  r.fileId = f.get_FileStorageFileID();
  return r;
}

// Copy and move requests have the same tree in two namespaces.
template <class Request>
void buildTransfer(const Request& request, std::map<QString, FileRecord>* files,
                   std::vector<Task>* tasks) {
  const auto& source = request.get_Source();
  for (std::size_t i = 0; i < source.size_File(); ++i) {
    FileRecord r = recordOf(source.get_File(i));
    files->emplace(r.name, std::move(r));  // keeps the first record of a name
  }
  const QString from = qs(source.get_DeviceIP());
  const auto& destinations = request.get_Destinations();
  for (std::size_t d = 0; d < destinations.size_DeviceIP(); ++d) {
    const QString to = qs(destinations.get_DeviceIP(d));
    for (const auto& entry : *files) tasks->push_back(Task{entry.first, to, from});
  }
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

int DSMJob::fileTypeCode(const QString& type) {
  if (type == QLatin1String("psFont")) return 1;
  if (type == QLatin1String("psForm")) return 2;
  if (type == QLatin1String("pclFont")) return 3;
  if (type == QLatin1String("pclMacro")) return 4;
  return 0;
}

DSMJob::DSMJob(int type, DeviceSender* sender, DeviceCgiSettings cgi)
    : sender_(sender), type_(type), cgi_(std::move(cgi)) {}

DSMJob::~DSMJob() = default;

int DSMJob::status() const {
  std::lock_guard<std::mutex> guard(lock_);
  return status_;
}

void DSMJob::setStatus(int status) {
  std::lock_guard<std::mutex> guard(lock_);
  status_ = status;
}

int DSMJob::progress() const {
  std::lock_guard<std::mutex> guard(lock_);
  return progress_;
}

void DSMJob::setProgress(int progress) {
  std::lock_guard<std::mutex> guard(lock_);
  progress_ = progress;
}

DSMJob::State DSMJob::state() const {
  std::lock_guard<std::mutex> guard(lock_);
  return State{status_, progress_};
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
  status_ = kInProgress;
  progress_ = 0;
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
    status_ = kInProgress;
    progress_ = 0;
  }
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
    try {
      work(runStop.token());
#if defined(__GLIBCXX__)
    } catch (abi::__forced_unwind&) {
      throw;  // thread cancellation must unwind
#endif
    } catch (const std::exception& e) {
      ZLOG("err") << "File job ended by an exception: " << e.what();
      setStatus(kFailed);
    } catch (...) {
      ZLOG("err") << "File job ended by an exception of unknown type";
      setStatus(kFailed);
    }
  }
  std::lock_guard<std::mutex> guard(runStopMutex_);
  runStop_.reset();
}

void DSMJob::addRecord(FileRecord record) {
  const QString name = record.name;
  files_.emplace(name, std::move(record));
}

void DSMJob::addTask(const QString& fileName, const QString& destination, const QString& source) {
  tasks_.push_back(Task{fileName, destination, source});
}

void DSMJob::finishBuilding() {
  QStringList sources;
  QStringList destinations;
  for (const Task& t : tasks_) {
    sources.append(t.source);
    destinations.append(t.destination);
  }
  sourceText_ = joinDistinct(sources);
  destinationText_ = joinDistinct(destinations);
}

void DSMJob::appendFileFields(const FileRecord& record, HTTPClient::Form* form) {
  form->append({QStringLiteral("FileName"), record.name});
  form->append({QStringLiteral("FileType"), QString::number(fileTypeCode(record.type))});
  form->append({QStringLiteral("FontMacroId"), QString::number(record.fileId)});
}

bool DSMJob::postToDevice(const QString& address, const QString& page, const HTTPClient::Form& form,
                          const Zarvo::StopToken& stop, QByteArray* body) const {
  try {
    QByteArray answer = HTTPClient::post(
        cgi_.url(address, page), form, [&stop] { return stop.stopRequested(); }, cgi_.limits);
    if (body) *body = std::move(answer);
    return true;
  } catch (const HTTPClient::HTTPClientError&) {
    return false;
  }
}

bool DSMJob::fetchContent(const QString& fileName, const QString& source,
                          const Zarvo::StopToken& stop) {
  const FileRecord& record = files_.at(fileName);  // name, type and ID never change
  HTTPClient::Form form;
  appendFileFields(record, &form);
  QByteArray body;
  if (!postToDevice(source, kGetFilesPage, form, stop, &body)) return false;
  // A page that answers nothing for a file that has bytes failed: sending its empty answer
  // would overwrite the file on every destination (and a move would then delete the source).
  if (body.isEmpty() && record.size != 0) return false;
  std::lock_guard<std::mutex> guard(lock_);
  FileRecord& r = files_.at(fileName);
  r.content = std::move(body);
  r.contentKnown = true;
  return true;
}

std::unique_ptr<TCP9100File> DSMJob::makeFile(const FileRecord& record) {
  try {
    if (record.type == QLatin1String("psFont")) {
      return std::make_unique<TCP9100FilePSFont>(record.fontName, record.content);
    }
    if (record.type == QLatin1String("psForm")) {
      return std::make_unique<TCP9100FilePSForm>(record.name, record.content);
    }
    if (record.type == QLatin1String("pclFont")) {
      return std::make_unique<TCP9100FilePCLFont>(record.content);
    }
    if (record.type == QLatin1String("pclMacro")) {
      return std::make_unique<TCP9100FilePCLMacro>(record.content);
    }
  } catch (const TCP9100FilePSFont::Binary2AsciiError&) {
  } catch (const TCP9100File::BadName&) {
  }
  return nullptr;
}

void DSMJob::deleteSourceIfDone(const QString& fileName, const QString& source,
                                const Zarvo::StopToken& stop) {
  {
    std::lock_guard<std::mutex> guard(lock_);
    for (const Task& t : tasks_) {
      if (t.fileName != fileName) continue;
      if (!t.succeeded) return;  // a destination has not taken it (yet)
      // Moving a file onto its own device: the download replaced it; deleting the source now
      // would remove the only copy.
      if (t.destination.trimmed() == source.trimmed()) return;
    }
  }
  HTTPClient::Form form;
  appendFileFields(files_.at(fileName), &form);
  (void)postToDevice(source, kDeleteFilesPage, form, stop, nullptr);  // outcome ignored
}

void DSMJob::runTransfers(const Zarvo::StopToken& stop, bool fetch, bool deleteSource) {
  {
    std::lock_guard<std::mutex> guard(lock_);
    status_ = kInProgress;
    progress_ = 0;
  }
  const int n = int(tasks_.size());
  for (int k = 0; k < n; ++k) {
    if (stopRequested()) break;  // the thread's stop: the evaluation makes it FAILED
    if (cancelRequested_.exchange(false)) {
      setStatus(kCanceled);  // progress keeps its last value
      return;
    }
    setProgress(((2 * k + 1) * 100 / n) / 2);

    // Addresses and names are fixed once built; only results and contents change, under lock.
    const Task& task = tasks_[std::size_t(k)];
    bool alreadyDone;
    {
      std::lock_guard<std::mutex> guard(lock_);
      alreadyDone = task.succeeded;
    }
    bool reachedSourceDelete = true;
    if (!alreadyDone) {
      FileOutcome outcome;
      if (fetch && !files_.at(task.fileName).contentKnown &&
          !fetchContent(task.fileName, task.source, stop)) {
        outcome = FileOutcome::deviceDosntResponse();
        reachedSourceDelete = false;
      } else {
        const FileRecord& record = files_.at(task.fileName);
        std::unique_ptr<TCP9100File> file = record.readable ? makeFile(record) : nullptr;
        if (!file) {
          outcome = FileOutcome::unknownFileType();
        } else if (!sender_) {
          outcome = FileOutcome::deviceDosntResponse();
        } else {
          outcome = sender_->send(task.destination, *file, stop);
        }
      }
      std::lock_guard<std::mutex> guard(lock_);
      Task& t = tasks_[std::size_t(k)];
      t.succeeded = outcome.succeeded;
      t.resultText = outcome.text;
    }
    if (deleteSource && reachedSourceDelete) deleteSourceIfDone(task.fileName, task.source, stop);
    setProgress(((2 * k + 2) * 100 / n) / 2);
  }
  evaluate();
}

void DSMJob::evaluate() {
  std::lock_guard<std::mutex> guard(lock_);
  bool allSucceeded = true;
  for (const Task& t : tasks_) allSucceeded = allSucceeded && t.succeeded;
  if (allSucceeded) {
    progress_ = 100;
    status_ = kCompleted;
    // Nothing is left to send; a retry only walks the tasks (and a move repeats its deletes,
    // which need no content).
    for (auto& entry : files_) {
      entry.second.content = QByteArray();
      entry.second.contentKnown = false;
    }
    return;
  }
  // A cancel that cut a wait short (or came during the last task) ends the run as canceled;
  // the thread's stop (shutdown) takes precedence and leaves the request for a later run.
  if (!stopRequested() && cancelRequested_.exchange(false)) {
    status_ = kCanceled;
  } else {
    status_ = kFailed;
  }
}

// ---------------------------------------------------------------------------------------------
// DSMJobAdd

DSMJobAdd::DSMJobAdd(DeviceSender* sender, const Request& request, const ServerFileStore& store,
                     DeviceCgiSettings cgi)
    : DSMJob(kAdd, sender, std::move(cgi)) {
  const QString device = qs(request.get_DeviceIP());
  for (std::size_t i = 0; i < request.size_LargeFile(); ++i) {
    const auto& upload = request.get_LargeFile(i);
    const QString userName = qs(upload.get_filename());
    if (userName.isEmpty()) continue;
    FileRecord r;
    if (!readUpload(qs(upload.get_value()), &r.content)) continue;  // left out of the job
    r.name = ServerFileStore::lastComponent(userName);
    r.size = quint32(r.content.size());
    r.contentKnown = true;
    describe(&r);
    const QString name = r.name;
    addRecord(std::move(r));
    addTask(name, device, QString());
  }
  for (std::size_t i = 0; i < request.size_FileName(); ++i) {
    FileRecord r;
    r.name = qs(request.get_FileName(i));
    r.readable = store.read(r.name, &r.content);
    if (!r.readable) r.content.clear();
    r.size = quint32(r.content.size());
    r.contentKnown = r.readable;
    describe(&r);
    const QString name = r.name;
    addRecord(std::move(r));
    addTask(name, device, QString());
  }
  finishBuilding();
}

void DSMJobAdd::work(const Zarvo::StopToken& stop) { runTransfers(stop, false, false); }

// ---------------------------------------------------------------------------------------------
// DSMJobCopy, DSMJobMove

DSMJobCopy::DSMJobCopy(DeviceSender* sender, const Request& request, DeviceCgiSettings cgi)
    : DSMJob(kCopy, sender, std::move(cgi)) {
  buildTransfer(request, &files_, &tasks_);
  finishBuilding();
}

void DSMJobCopy::work(const Zarvo::StopToken& stop) { runTransfers(stop, true, false); }

DSMJobMove::DSMJobMove(DeviceSender* sender, const Request& request, DeviceCgiSettings cgi)
    : DSMJob(kMove, sender, std::move(cgi)) {
  buildTransfer(request, &files_, &tasks_);
  finishBuilding();
}

void DSMJobMove::work(const Zarvo::StopToken& stop) { runTransfers(stop, true, true); }

// ---------------------------------------------------------------------------------------------
// DSMJobDelete

DSMJobDelete::DSMJobDelete(DeviceSender* sender, const Request& request, DeviceCgiSettings cgi)
    : DSMJob(kDelete, sender, std::move(cgi)), deviceAddress_(qs(request.get_DeviceIP())) {
  for (std::size_t i = 0; i < request.size_File(); ++i) {
    FileRecord r = recordOf(request.get_File(i));
    const QString name = r.name;
    addRecord(std::move(r));
    addTask(name, QString(), deviceAddress_);  // a repeated name: one record, one task each
  }
  finishBuilding();
}

void DSMJobDelete::work(const Zarvo::StopToken& stop) {
  {
    std::lock_guard<std::mutex> guard(lock_);
    status_ = kInProgress;
    progress_ = 50;
  }
  HTTPClient::Form form;
  for (const auto& entry : files_) appendFileFields(entry.second, &form);
  // One request for every file. A delete does not look at the cancel flag before it starts,
  // but a cancel (or shutdown) cuts its wait for the device short.
  const bool ok = postToDevice(deviceAddress_, kDeleteFilesPage, form, stop, nullptr);
  std::lock_guard<std::mutex> guard(lock_);
  for (Task& t : tasks_) {
    t.succeeded = ok;
    // A success after a failed run must not keep the failure's text beside Result true.
    t.resultText = (ok ? FileOutcome::completed() : FileOutcome::deviceDosntResponse()).text;
  }
  if (ok) {
    status_ = kCompleted;
  } else if (!stopRequested() && cancelRequested_.exchange(false)) {
    status_ = kCanceled;
  } else {
    status_ = kFailed;
  }
  progress_ = 100;
}
