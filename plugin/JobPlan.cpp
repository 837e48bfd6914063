// Job plans: building from requests, the run steps, progress and the final status.
#include "plugin/JobPlan.h"

#include <QSet>
#include <QStringList>
#include <cstdint>
#include <set>
#include <utility>

#include "plugin/FileContent.h"
#include "plugin/ServerFileStore.h"
#include "plugin/TCP9100File.h"

namespace Zarvo::dsm {

namespace {

const QString kGetFilesPage = QStringLiteral("DSMGetFiles.cgi");
const QString kDeleteFilesPage = QStringLiteral("DSMDeletefiles.cgi");

QString qs(const std::u16string& s) { return QString::fromStdU16String(s); }

// An add job's record takes what it read: size, kind and font name come from the bytes.
void takeBytes(FileRecord& r, QByteArray content, bool readable) {
  r.content = std::move(content);
  r.size = quint32(r.content.size());
  r.contentKnown = readable;
  r.unreadAtBuild = !readable;
  r.fontName.clear();
  r.type = fileKindText(fileKindOfContent(r.content, &r.fontName));
}

// The record of one `File` element of a copy, move or delete request (the same fields in three
// namespaces): name, size, type and ID as the request gives them; content comes later.
template <class FileElement>
FileRecord recordOfElement(const FileElement& f) {
  FileRecord r;
  r.name = qs(f.get_FileName());
  r.size = f.get_FileSize();
  r.type = qs(f.get_FileType());
  r.fontName = r.name;
  r.fileId = f.get_FileStorageFileID();
  return r;
}

// A job may name 100,000 destinations: a set, not a search of the list, finds the repeats.
std::u16string joinDistinct(const QStringList& addresses) {
  QStringList distinct;
  QSet<QString> seen;
  for (const QString& a : addresses) {
    if (!a.isEmpty() && !seen.contains(a)) {
      seen.insert(a);
      distinct.append(a);
    }
  }
  return distinct.isEmpty() ? std::u16string(u"-")
                            : distinct.join(QLatin1Char(';')).toStdU16String();
}

}  // namespace

// ---------------------------------------------------------------------------------------------
// JobPlan

int JobPlan::progress() const {
  if (status_ == JobStatus::kCompleted) return 100;
  if (tasks_.empty()) return 0;
  const auto halves = std::uint64_t(2 * ended_ + started_);
  return int((halves * 100 / tasks_.size()) / 2);
}

bool JobPlan::allSucceeded() const {
  for (const Task& t : tasks_) {
    if (!t.succeeded()) return false;
  }
  return true;
}

void JobPlan::beginRun() {
  status_ = JobStatus::kInProgress;
  for (Task& t : tasks_) t.phase = TaskPhase::kPending;
  started_ = 0;
  ended_ = 0;
}

void JobPlan::startTask(std::size_t task) {
  Task& t = tasks_.at(task);
  if (t.phase != TaskPhase::kPending) return;
  t.phase = TaskPhase::kStarted;
  ++started_;
}

void JobPlan::setOutcome(std::size_t task, FileOutcome outcome) {
  tasks_.at(task).outcome = std::move(outcome);
}

void JobPlan::endTask(std::size_t task) {
  Task& t = tasks_.at(task);
  if (t.phase == TaskPhase::kEnded) return;
  if (t.phase == TaskPhase::kStarted) --started_;
  t.phase = TaskPhase::kEnded;
  ++ended_;
}

std::vector<std::vector<std::size_t>> JobPlan::runGroups(bool oneAtATime) const {
  std::vector<std::vector<std::size_t>> groups;
  if (oneAtATime) {
    for (std::size_t k = 0; k < tasks_.size(); ++k) groups.push_back({k});
    return groups;
  }
  std::set<QString> seen;
  for (const Task& t : tasks_) {
    if (seen.insert(t.fileName).second) groups.push_back(tasksOf(t.fileName));
  }
  return groups;
}

void JobPlan::releaseFilesEndingIn(const std::vector<std::size_t>& group) {
  for (std::size_t k : group) {
    const QString& name = tasks_.at(k).fileName;
    if (tasksOf(name).back() == k) releaseContent(files_.at(name));
  }
}

void JobPlan::releaseContent(FileRecord& record) {
  record.content = QByteArray();
  record.contentKnown = false;
  record.unreadAtBuild = false;  // a later run reads it again
}

void JobPlan::releaseContents() {
  for (auto& entry : files_) releaseContent(entry.second);
}

void JobPlan::addRecord(FileRecord record) {
  const QString name = record.name;
  files_.emplace(name, std::move(record));
}

void JobPlan::addTask(const QString& fileName, const QString& destination, const QString& source) {
  Task t;
  t.fileName = fileName;
  t.destination = destination;
  t.source = source;
  tasks_.push_back(std::move(t));
}

void JobPlan::finishBuilding() {
  QStringList sources;
  QStringList destinations;
  for (std::size_t k = 0; k < tasks_.size(); ++k) {
    const Task& t = tasks_[k];
    sources.append(t.source);
    destinations.append(t.destination);
    tasksByFile_[t.fileName].push_back(k);
  }
  sourceText_ = joinDistinct(sources);
  destinationText_ = joinDistinct(destinations);
}

void JobPlan::appendFileFields(const FileRecord& record, HTTPClient::Form* form) {
  form->append({QStringLiteral("FileName"), record.name});
  form->append({QStringLiteral("FileType"), QString::number(fileKindCgiNumber(record.kind()))});
  form->append({QStringLiteral("FontMacroId"), QString::number(record.fileId)});
}

// ---------------------------------------------------------------------------------------------
// AddPlan

AddPlan::AddPlan(const Request& request, const ServerFileStore& store)
    : JobPlan(JobType::kAdd), store_(store) {
  const QString device = qs(request.get_DeviceIP());
  std::map<QString, QByteArray> read;
  for (std::size_t i = 0; i < request.size_LargeFile(); ++i) {
    const auto& upload = request.get_LargeFile(i);
    const QString userName = qs(upload.get_filename());
    if (userName.isEmpty()) continue;
    const QString path = qs(upload.get_value());
    QByteArray content;
    // An upload that cannot be read (missing, not a regular file, or outside the upload
    // directories) is a task that fails unsent: the job must not show it completed. Uploads
    // naming one path are read once and share their bytes.
    auto known = read.find(path);
    bool readable = known != read.end();
    if (readable) {
      content = known->second;
    } else {
      readable = store.readUpload(path, &content) == UploadRoots::Outcome::kRead;
      if (readable) read.emplace(path, content);
    }
    if (!readable) content.clear();
    FileRecord r;
    r.name = ServerFileStore::lastComponent(userName);
    r.origin = FileRecord::Origin::kUpload;
    r.uploadPath = path;
    takeBytes(r, std::move(content), readable);
    const QString name = r.name;
    addRecord(std::move(r));
    addTask(name, device, QString());
  }
  for (std::size_t i = 0; i < request.size_FileName(); ++i) {
    const QString name = qs(request.get_FileName(i));
    if (files_.count(name) == 0) {
      FileRecord r;
      r.name = name;
      r.origin = FileRecord::Origin::kStore;
      QByteArray content;
      const bool readable = store.read(name, &content);
      if (!readable) content.clear();
      takeBytes(r, std::move(content), readable);
      addRecord(std::move(r));
    }
    addTask(name, device, QString());
  }
  finishBuilding();
}

bool AddPlan::LocalFile::read(QByteArray* content) const {
  if (origin == FileRecord::Origin::kUpload) {
    return store.readUpload(path, content) == UploadRoots::Outcome::kRead;
  }
  return store.read(path, content);
}

AddPlan::LocalFile AddPlan::localFile(std::size_t task) const {
  const FileRecord& r = recordOf(task);
  return LocalFile{r.origin, r.origin == FileRecord::Origin::kUpload ? r.uploadPath : r.name,
                   store_};
}

void AddPlan::takeRead(std::size_t task, QByteArray content) {
  takeBytes(files_.at(tasks_.at(task).fileName), std::move(content), true);
}

// ---------------------------------------------------------------------------------------------
// TransferPlan

TransferPlan::TransferPlan(const CopyRequest& request) : TransferPlan(JobType::kCopy, request) {}

TransferPlan::TransferPlan(const MoveRequest& request) : TransferPlan(JobType::kMove, request) {}

// Copy and move requests have the same tree in two namespaces.
template <class Request>
TransferPlan::TransferPlan(JobType type, const Request& request) : JobPlan(type) {
  const auto& source = request.get_Source();
  for (std::size_t i = 0; i < source.size_File(); ++i)
    addRecord(recordOfElement(source.get_File(i)));
  const QString from = qs(source.get_DeviceIP());
  const auto& destinations = request.get_Destinations();
  for (std::size_t d = 0; d < destinations.size_DeviceIP(); ++d) {
    const QString to = qs(destinations.get_DeviceIP(d));
    for (const auto& entry : files_) addTask(entry.first, to, from);
  }
  finishBuilding();
}

PageRequest TransferPlan::fetchRequest(std::size_t task) const {
  PageRequest r{tasks_.at(task).source, kGetFilesPage, {}};
  appendFileFields(recordOf(task), &r.form);
  return r;
}

bool TransferPlan::takeFetched(std::size_t task, QByteArray body) {
  FileRecord& record = files_.at(tasks_.at(task).fileName);
  if (body.isEmpty() && record.size != 0) return false;
  record.content = std::move(body);
  record.contentKnown = true;
  return true;
}

std::optional<PageRequest> TransferPlan::sourceDeleteAfter(std::size_t task) const {
  if (!deletesSource()) return std::nullopt;
  const Task& current = tasks_.at(task);
  for (std::size_t k : tasksOf(current.fileName)) {
    const Task& t = tasks_[k];
    if (!t.succeeded()) return std::nullopt;  // a destination has not taken it (yet)
    if (t.destination.trimmed() == current.source.trimmed()) return std::nullopt;
  }
  PageRequest r{current.source, kDeleteFilesPage, {}};
  appendFileFields(recordOf(task), &r.form);
  return r;
}

// ---------------------------------------------------------------------------------------------
// DeletePlan

DeletePlan::DeletePlan(const Request& request)
    : JobPlan(JobType::kDelete), deviceAddress_(qs(request.get_DeviceIP())) {
  for (std::size_t i = 0; i < request.size_File(); ++i) {
    FileRecord r = recordOfElement(request.get_File(i));
    const QString name = r.name;
    addRecord(std::move(r));
    addTask(name, QString(), deviceAddress_);
  }
  finishBuilding();
}

PageRequest DeletePlan::request() const {
  PageRequest r{deviceAddress_, kDeleteFilesPage, {}};
  for (const auto& entry : files_) appendFileFields(entry.second, &r.form);
  return r;
}

void DeletePlan::startAll() {
  for (std::size_t k = 0; k < tasks_.size(); ++k) startTask(k);
}

void DeletePlan::endAll(const FileOutcome& outcome) {
  for (std::size_t k = 0; k < tasks_.size(); ++k) {
    setOutcome(k, outcome);
    endTask(k);
  }
}

// ---------------------------------------------------------------------------------------------

std::unique_ptr<TCP9100File> downloadableFile(const FileRecord& record) {
  if (!record.contentKnown) return nullptr;
  try {
    switch (record.kind()) {
      case FileKind::kPsFont:
        return std::make_unique<TCP9100FilePSFont>(record.fontName, record.content);
      case FileKind::kPsForm:
        return std::make_unique<TCP9100FilePSForm>(record.name, record.content);
      case FileKind::kPclFont:
        return std::make_unique<TCP9100FilePCLFont>(record.content);
      case FileKind::kPclMacro:
        return std::make_unique<TCP9100FilePCLMacro>(record.content);
      case FileKind::kOther:
        break;
    }
  } catch (const TCP9100FilePSFont::Binary2AsciiError&) {
  } catch (const TCP9100File::BadName&) {
  }
  return nullptr;
}

namespace {

template <class Transfer>
std::size_t transferTaskCount(const Transfer& request) {
  std::set<std::u16string> names;
  const auto& source = request.get_Source();
  for (std::size_t i = 0; i < source.size_File(); ++i)
    names.insert(source.get_File(i).get_FileName());
  return names.size() * request.get_Destinations().size_DeviceIP();
}

}  // namespace

std::size_t taskCount(const DSMAddFile_Request::c_OrxRequest& request) {
  std::size_t n = request.size_FileName();
  for (std::size_t i = 0; i < request.size_LargeFile(); ++i) {
    if (!request.get_LargeFile(i).get_filename().empty()) ++n;
  }
  return n;
}

std::size_t taskCount(const DSMCopyFile_Request::c_OrxRequest& request) {
  return transferTaskCount(request);
}

std::size_t taskCount(const DSMMoveFile_Request::c_OrxRequest& request) {
  return transferTaskCount(request);
}

std::size_t taskCount(const DSMDeleteFile_Request::c_OrxRequest& request) {
  return request.size_File();
}

}  // namespace Zarvo::dsm
