#include "plugin/TrapRowJournal.h"

#include <fcntl.h>
#include <unistd.h>

#include <QDateTime>
#include <QFile>
#include <QFileInfo>
#include <QUrl>
#include <cerrno>
#include <cstring>

#include "SNMPSetValues_Request.h"
#include "SNMPSetValues_Response.h"
#include "framework/LMXPacket.h"
#include "framework/Log.h"
#include "framework/ServiceClient.h"

namespace Zarvo::dsm {

namespace {

using SetValuesRequest = Zarvo::LMXRequest<SNMPSetValues_Request::c_OrxRequest>;
using SetValuesResponse = Zarvo::LMXResponse<SNMPSetValues_Response::c_OrxResponse>;

constexpr int kFields = 5;

QByteArray encodeLine(const TrapRow& row) {
  const QList<QByteArray> fields{
      QUrl::toPercentEncoding(row.device), QByteArray::number(row.index),
      QUrl::toPercentEncoding(row.address), QUrl::toPercentEncoding(row.community),
      QUrl::toPercentEncoding(row.status)};
  return fields.join('\t') + '\n';
}

// False for a line that is no row.
bool decodeLine(const QByteArray& line, TrapRow& row) {
  const QList<QByteArray> fields = line.split('\t');
  if (fields.size() != kFields) return false;
  const auto text = [](const QByteArray& f) {
    return QString::fromUtf8(QByteArray::fromPercentEncoding(f));
  };
  bool number = false;
  row.device = text(fields[0]);
  row.index = fields[1].toInt(&number);
  row.address = text(fields[2]);
  row.community = text(fields[3]);
  row.status = text(fields[4]);
  return number && row.index >= 0 && !row.device.isEmpty();
}

QString systemError() { return QString::fromLocal8Bit(std::strerror(errno)); }

// Makes a file's creation, rename or removal in `directory` last across a crash.
void syncDirectory(const QString& directory) {
  const int fd = ::open(QFile::encodeName(directory).constData(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
  if (fd < 0) return;
  (void)::fsync(fd);
  ::close(fd);
}

// Writes all of `bytes` to `fd` and flushes it to disk.
bool writeAndSync(int fd, const QByteArray& bytes) {
  qsizetype done = 0;
  while (done < bytes.size()) {
    const ssize_t n = ::write(fd, bytes.constData() + done, size_t(bytes.size() - done));
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0) return false;
    done += n;
  }
  return ::fsync(fd) == 0;
}

template <class Cell>
void setCell(Cell& cell, int row, const QString& value) {
  cell.set_Index(std::to_string(row));
  cell.set_Value(value.toStdU16String());
}

}  // namespace

bool restoreTrapRow(Zarvo::ServiceClient& services, const TrapRow& row) {
  SetValuesRequest request;
  request.append_Device();
  auto& device = request.back_Device();
  device.get_RequestParams().enable_IP().set_address(row.device.toStdU16String());
  auto& variables = device.get_RequestVariables();
  setCell(variables.get_staticTrapDestAddr(), row.index, row.address);
  setCell(variables.get_staticTrapDestCommunity(), row.index, row.community);
  setCell(variables.get_staticTrapDestStatus(), row.index, row.status);
  const auto answer = services.callService<SetValuesResponse>(request, true);
  return answer && answer->result() == 0;
}

TrapRowJournal::TrapRowJournal(QString path) : path_(std::move(path)) { load(); }

void TrapRowJournal::load() {
  QFile file(path_);
  if (!file.exists()) return;
  QList<TrapRow> rows;
  bool readable = file.open(QIODevice::ReadOnly);
  const QByteArray bytes = readable ? file.readAll() : QByteArray();
  readable = readable && file.error() == QFileDevice::NoError;
  file.close();
  QList<QByteArray> lines = bytes.split('\n');
  // What follows the last line end is a line whose write a crash cut off: its row was never
  // changed, since the change waits for the line to be on disk.
  const bool cutOff = !lines.last().isEmpty();
  lines.removeLast();
  for (const QByteArray& line : lines) {
    TrapRow row;
    if (!readable || !decodeLine(line, row)) {
      readable = false;
      break;
    }
    rows << row;
  }
  if (!readable) {
    const QString aside = path_ + QStringLiteral(".unreadable-") +
                          QDateTime::currentDateTime().toString(QStringLiteral("yyyyMMddHHmmss"));
    const bool moved = QFile::rename(path_, aside);
    ZLOG("err") << "Trap destination journal " << path_.toUtf8() << " is unreadable; "
                << (moved ? "moved aside to " + aside.toUtf8()
                          : QByteArray("could not be moved aside"))
                << ": the trap destinations it held are not restored";
    return;
  }
  for (const TrapRow& row : rows) {
    rows_[nextId_] = row;
    leftOver_.insert(nextId_++);
  }
  // Rows appended from now on must not run on from the cut-off line.
  if (cutOff) rewrite();
}

TrapRowJournal::Id TrapRowJournal::add(const TrapRow& row) {
  std::lock_guard<std::mutex> lock(mutex_);
  const bool created = !QFileInfo::exists(path_);
  const int fd = ::open(QFile::encodeName(path_).constData(),
                        O_WRONLY | O_APPEND | O_CREAT | O_CLOEXEC, 0600);
  const bool written = fd >= 0 && writeAndSync(fd, encodeLine(row));
  const QString why = written ? QString() : systemError();
  if (fd >= 0) ::close(fd);
  if (!written) {
    ZLOG("err") << "Trap destination journal " << path_.toUtf8() << " not written (" << why.toUtf8()
                << "): row " << row.index << " of device " << row.device.toUtf8()
                << " is not restored should the process end before it is given back";
    return 0;
  }
  if (created) syncDirectory(QFileInfo(path_).absolutePath());
  const Id id = nextId_++;
  rows_[id] = row;
  return id;
}

void TrapRowJournal::remove(Id id) {
  std::lock_guard<std::mutex> lock(mutex_);
  if (rows_.erase(id) == 0) return;
  leftOver_.erase(id);
  claimed_.erase(id);
  rewrite();
  unclaimed_.notify_all();
}

bool TrapRowJournal::rewrite() {
  const QString directory = QFileInfo(path_).absolutePath();
  if (rows_.empty()) {
    const bool gone = ::unlink(QFile::encodeName(path_).constData()) == 0 || errno == ENOENT;
    syncDirectory(directory);
    return gone;
  }
  QByteArray bytes;
  for (const auto& entry : rows_) bytes += encodeLine(entry.second);
  // A new file renamed over the old one: a crash leaves either the old rows or the new ones.
  const QString temporary = path_ + QStringLiteral(".new");
  const int fd = ::open(QFile::encodeName(temporary).constData(),
                        O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0600);
  bool done = fd >= 0 && writeAndSync(fd, bytes);
  if (fd >= 0) ::close(fd);
  done = done && ::rename(QFile::encodeName(temporary).constData(),
                          QFile::encodeName(path_).constData()) == 0;
  if (!done) {
    ZLOG("err") << "Trap destination journal " << path_.toUtf8()
                << " not rewritten: " << systemError().toUtf8();
    (void)::unlink(QFile::encodeName(temporary).constData());
    return false;
  }
  syncDirectory(directory);
  return true;
}

QList<TrapRowJournal::Entry> TrapRowJournal::leftOvers() const {
  std::lock_guard<std::mutex> lock(mutex_);
  QList<Entry> entries;
  for (Id id : leftOver_) {
    if (claimed_.count(id) == 0) entries.append({id, rows_.at(id)});
  }
  return entries;
}

bool TrapRowJournal::claim(Id id) {
  std::lock_guard<std::mutex> lock(mutex_);
  if (leftOver_.count(id) == 0 || claimed_.count(id) != 0) return false;
  claimed_.insert(id);
  return true;
}

void TrapRowJournal::unclaim(Id id) {
  std::lock_guard<std::mutex> lock(mutex_);
  claimed_.erase(id);
  unclaimed_.notify_all();
}

bool TrapRowJournal::settle(Zarvo::ServiceClient& services, const QString& device,
                            QDeadlineTimer deadline) {
  std::unique_lock<std::mutex> lock(mutex_);
  for (;;) {
    Id free = 0;
    bool busy = false;
    for (Id id : leftOver_) {
      if (rows_.at(id).device != device) continue;
      if (claimed_.count(id) != 0) {
        busy = true;
      } else {
        free = id;
        break;
      }
    }
    if (free != 0) {
      claimed_.insert(free);
      const TrapRow row = rows_.at(free);
      lock.unlock();
      const bool restored = restoreTrapRow(services, row);
      if (restored) {
        remove(free);
      } else {
        unclaim(free);
      }
      lock.lock();
      if (!restored) return false;
      continue;
    }
    if (!busy) return true;
    if (deadline.hasExpired()) return false;
    unclaimed_.wait_for(lock, std::chrono::milliseconds(deadline.remainingTime()));
  }
}

int TrapRowJournal::size() const {
  std::lock_guard<std::mutex> lock(mutex_);
  return int(rows_.size());
}

TrapRowRestorer::TrapRowRestorer(Zarvo::ServiceClient& services, TrapRowJournal& journal,
                                 Limits limits)
    : services_(services), journal_(journal), limits_(limits) {}

TrapRowRestorer::~TrapRowRestorer() {
  requestStop();
  wait();
}

void TrapRowRestorer::run() {
  const Zarvo::StopToken stop = stopToken();
  // One device at a time, its rows in journal order; one line per device.
  std::map<QString, QList<TrapRowJournal::Entry>> byDevice;
  for (const auto& entry : journal_.leftOvers()) byDevice[entry.row.device].append(entry);
  for (const auto& device : byDevice) {
    QStringList restored;
    QStringList failed;
    for (const auto& entry : device.second) {
      if (stop.stopRequested()) return;
      if (!journal_.claim(entry.id)) continue;  // a download to the device restored it first
      bool done = false;
      for (int attempt = 1; attempt <= limits_.attempts && !done; ++attempt) {
        if (attempt > 1 && stop.sleepFor(limits_.pause)) break;
        done = restoreTrapRow(services_, entry.row);
      }
      if (done) {
        journal_.remove(entry.id);
        restored << QString::number(entry.row.index);
      } else {
        journal_.unclaim(entry.id);
        failed << QString::number(entry.row.index);
      }
    }
    if (!restored.isEmpty()) {
      ZLOG("info") << "Trap destination table of device " << device.first.toUtf8()
                   << " restored (row " << restored.join(", ").toUtf8() << ")";
    }
    if (!failed.isEmpty()) {
      ZLOG("err") << "Trap destination table of device " << device.first.toUtf8()
                  << " not restored (row " << failed.join(", ").toUtf8()
                  << "); kept in the journal for the next start";
    }
  }
}

}  // namespace Zarvo::dsm
