#include "suite/SimDevice.h"

#include <unistd.h>

#include <QDir>
#include <QSaveFile>
#include <QUrl>

#include "framework/Log.h"
#include "suite/PrinterAgent.h"

namespace Zarvo::suite {

using std::chrono::milliseconds;

namespace {

constexpr qsizetype kMaxHead = 16 * 1024;
constexpr qint64 kMaxPageBody = 16 * 1024 * 1024;

}  // namespace

SimDevice::SimDevice(DeviceSetup setup, QString filesDir, QString enterpriseArc, int confirmDelayMs,
                     TrapSink* sink, ConnectionHub& hub, DeviceLimits limits,
                     snmp::PrinterSnmpContext* snmp)
    : setup_(std::move(setup)),
      filesDir_(std::move(filesDir)),
      enterpriseArc_(std::move(enterpriseArc)),
      confirmDelayMs_(confirmDelayMs),
      sink_(sink),
      hub_(hub),
      limits_(limits),
      snmp_(snmp),
      state_(setup_.address, setup_.files, setup_.trapDests),
      fault_(setup_.fault) {
  if (snmp_) {
    agent_ = std::make_unique<snmp::PrinterAgent>(
        *snmp_, setup_, state_, [this] { return fault().kind == FaultKind::Mute; });
  }
}

SimDevice::~SimDevice() { stop(); }

quint16 SimDevice::snmpPort() const { return agent_ ? agent_->port() : 0; }

QString SimDevice::directory() const { return QDir(filesDir_).filePath(setup_.address); }

bool SimDevice::start(QString* error) {
  QDir dir(directory());
  // Only the device's own directory, named after its validated address, is ever cleared.
  if (dir.exists()) dir.removeRecursively();
  if (!QDir().mkpath(directory())) {
    *error = QStringLiteral("cannot create %1").arg(directory());
    return false;
  }
  for (const StoredFile& f : files()) writeToDisk(f);
  // SNMP stays up whatever the print port does: a refusing printer still answers its tables.
  if (agent_ && !agent_->start(error)) return false;
  if (fault().kind == FaultKind::Refuse) return true;
  return openPorts(error);
}

void SimDevice::stop() {
  closePorts();
  if (agent_) agent_->stop();
}

void SimDevice::closePorts() {
  QMutexLocker lock(&portsMutex_);
  print_.reset();
  web_.reset();
}

bool SimDevice::openPorts(QString* error) {
  QMutexLocker lock(&portsMutex_);
  if (print_ && web_) return true;
  auto print = std::make_unique<LoopbackServer>(
      hub_, [this](int fd, const std::atomic<bool>& stop) { return servePrint(fd, stop); });
  auto web = std::make_unique<LoopbackServer>(
      hub_, [this](int fd, const std::atomic<bool>& stop) { return serveWeb(fd, stop); });
  // Once bound, a device keeps its ports across a "refuse": peers were told where it is.
  const quint16 printPort = printPort_.load(), webPort = webPort_.load();
  if (!print->listen(setup_.address, printPort ? printPort : setup_.printPort, error) ||
      !web->listen(setup_.address, webPort ? webPort : setup_.webPort, error)) {
    return false;
  }
  printPort_ = print->port();
  webPort_ = web->port();
  print_ = std::move(print);
  web_ = std::move(web);
  return true;
}

bool SimDevice::setFault(const Fault& fault, QString* error) {
  {
    QMutexLocker lock(&mutex_);
    fault_ = fault;
  }
  if (fault.kind == FaultKind::Refuse) {
    closePorts();
    return true;
  }
  return openPorts(error);
}

Fault SimDevice::fault() const {
  QMutexLocker lock(&mutex_);
  return fault_;
}

int SimDevice::completedDownloads() const {
  QMutexLocker lock(&mutex_);
  return completed_;
}

SimDevice::StoredFile SimDevice::store(const PjlDownload& d) {
  std::optional<StoredFile> replaced;
  const StoredFile file = state_.store(d, &replaced);
  if (replaced) removeFromDisk(*replaced);
  writeToDisk(file);
  return file;
}

QString SimDevice::pathOf(const StoredFile& file) const {
  // Names come from the network: percent-encoding keeps "/" and ".." inside the directory.
  const QString safe = QString::fromLatin1(QUrl::toPercentEncoding(file.name, " "));
  return QDir(directory())
      .filePath(file.kind + '/' + (safe.startsWith('.') ? "%2E" + safe.mid(1) : safe));
}

void SimDevice::writeToDisk(const StoredFile& file) const {
  const QString path = pathOf(file);
  QDir().mkpath(QFileInfo(path).absolutePath());
  QSaveFile out(path);
  if (!out.open(QIODevice::WriteOnly) || out.write(file.content) != file.content.size() ||
      !out.commit()) {
    ZLOG("err") << "Device " << address() << ": cannot write " << path;
  }
}

void SimDevice::removeFromDisk(const StoredFile& file) const { QFile::remove(pathOf(file)); }

void SimDevice::sendStatusTrap(const QString& status) {
  const QList<TrapDestSetup> rows = state_.trapDests();
  if (status == QLatin1String("completed")) {
    QMutexLocker lock(&mutex_);
    ++completed_;
  }
  for (const TrapDestSetup& row : rows) {
    if (row.status != QLatin1String("valid")) continue;
    if (!isLoopbackAddress(row.addr)) {
      // The fleet sends nowhere but loopback, whatever a peer wrote into the table.
      ZLOG("warning") << "Device " << address() << ": trap destination " << row.addr
                      << " is not a loopback address; trap not sent";
      continue;
    }
    if (agent_) {
      const quint16 port = row.port ? row.port : snmp_->trapPort.load();
      agent_->sendTrap(row.addr, port, row.community.toUtf8(),
                       {{snmp_->layout.statusVariable, snmp::Value::string(status.toUtf8())}});
      continue;
    }
    DeviceTrap trap;
    trap.hostIp = address();
    trap.destination = row.addr;
    trap.community = row.community;
    trap.enterprise = enterpriseArc_ + QLatin1String(kTrapSuffix);
    trap.variables.append({enterpriseArc_ + QLatin1String(kStatusSuffix), status});
    trap.port = row.port;
    sink_->sendTrap(trap);
  }
}

bool SimDevice::servePrint(int fd, const std::atomic<bool>& stop) {
  const Fault f = fault();
  const milliseconds delay(f.delayMs);
  if (f.kind == FaultKind::Slow && !io::pause(delay, stop)) return false;
  QByteArray stream;
  bool closed = false;
  qint64 dropAt = -1;
  while (!closed && !stop.load()) {
    const QByteArray chunk = io::readSome(fd, limits_.ioWait, stop, 64 * 1024, &closed);
    if (chunk.isEmpty() && !closed) break;  // the sender went quiet: take what came
    stream += chunk;
    if (stream.size() > limits_.maxDownload) break;
    if (f.kind == FaultKind::Drop) {
      if (dropAt < 0) {
        const qint64 size = announcedPjlSize(stream);
        if (size >= 0) dropAt = qMax<qint64>(1, size / 2) + 64;  // past the header, mid-content
      }
      if (dropAt >= 0 && stream.size() >= dropAt) {
        ZLOG("info") << "Device " << address() << ": dropping the download after " << stream.size()
                     << " bytes";
        io::abortiveClose(fd);
        return true;
      }
    }
  }
  ::close(fd);  // the sender waits for the close; the traps follow on this thread
  if (stop.load() || f.kind == FaultKind::Silent) return true;

  PjlDownload download;
  PjlError error;
  QString status = QStringLiteral("completed");
  if (stream.size() > limits_.maxDownload) {
    status = QStringLiteral("TooLarge");
  } else if (!parsePjlDownload(stream, &download, &error)) {
    ZLOG("info") << "Device " << address() << ": download refused, " << error.reason;
    status = error.status;
  } else if (f.kind == FaultKind::Fail) {
    status = f.status;
  }
  if (f.kind == FaultKind::Slow && !io::pause(delay, stop)) return true;
  sendStatusTrap(QStringLiteral("processing"));
  if (status == QLatin1String("completed")) {
    const StoredFile stored = store(download);
    ZLOG("info") << "Device " << address() << ": stored " << stored.kind << " \"" << stored.name
                 << "\" (" << stored.content.size() << " bytes)";
  }
  if (!io::pause(milliseconds(confirmDelayMs_), stop)) return true;
  if (f.kind == FaultKind::Slow && !io::pause(delay, stop)) return true;
  sendStatusTrap(status);
  return true;
}

bool SimDevice::serveWeb(int fd, const std::atomic<bool>& stop) {
  QByteArray data;
  qsizetype headEnd = -1;
  bool closed = false;
  while (headEnd < 0 && !closed) {
    const QByteArray chunk = io::readSome(fd, limits_.ioWait, stop, kMaxHead, &closed);
    if (chunk.isEmpty() && !closed) return false;  // silent peer: give up
    data += chunk;
    headEnd = data.indexOf("\r\n\r\n");
    if (headEnd < 0 && data.size() > kMaxHead) {
      io::writeAll(fd, httpAnswer(400, "head too large\n", "text/plain"), limits_.ioWait, stop);
      return false;
    }
  }
  if (headEnd < 0) return false;
  HttpRequest request;
  if (!parseHttpHead(data.left(headEnd + 2), &request)) {
    io::writeAll(fd, httpAnswer(400, "malformed request\n", "text/plain"), limits_.ioWait, stop);
    return false;
  }
  bool lengthOk = true;
  const qint64 length = request.field("Content-Length").isEmpty()
                            ? 0
                            : request.field("Content-Length").toLongLong(&lengthOk);
  if (!lengthOk || length < 0 || length > kMaxPageBody) {
    io::writeAll(fd, httpAnswer(413, "body refused\n", "text/plain"), limits_.ioWait, stop);
    return false;
  }
  if (request.field("Expect").compare("100-continue", Qt::CaseInsensitive) == 0) {
    io::writeAll(fd, "HTTP/1.1 100 Continue\r\n\r\n", limits_.ioWait, stop);
  }
  request.body = data.mid(headEnd + 4);
  while (request.body.size() < length && !closed) {
    const QByteArray chunk =
        io::readSome(fd, limits_.ioWait, stop, length - request.body.size(), &closed);
    if (chunk.isEmpty() && !closed) return false;
    request.body += chunk;
  }
  if (request.body.size() < length) return false;
  request.body.truncate(length);

  const Fault f = fault();
  switch (f.kind) {
    case FaultKind::Silent: {
      // Holds the line without a word until the client gives up (bounded all the same).
      const auto until = io::Clock::now() + limits_.silentHold;
      while (!closed && !stop.load() && io::Clock::now() < until) {
        io::readSome(fd, milliseconds(200), stop, 4096, &closed);
      }
      return false;
    }
    case FaultKind::Slow:
      if (!io::pause(milliseconds(f.delayMs), stop)) return false;
      break;
    case FaultKind::Fail:
      io::writeAll(fd, httpAnswer(500, f.status.toUtf8() + "\n", "text/plain"), limits_.ioWait,
                   stop);
      return false;
    default:
      break;
  }
  const QByteArray answer = answerPage(request);
  if (f.kind == FaultKind::Drop) {
    io::writeAll(fd, answer.left(answer.size() - qMax<qsizetype>(1, (answer.size() - 1) / 2)),
                 limits_.ioWait, stop);
    io::abortiveClose(fd);
    return true;
  }
  io::writeAll(fd, answer, limits_.ioWait, stop);
  return false;
}

QByteArray SimDevice::answerPage(const HttpRequest& request) {
  QList<StoredFile> removed;
  const QByteArray answer = state_.answerPage(request, &removed);
  for (const StoredFile& f : removed) removeFromDisk(f);
  return answer;
}

}  // namespace Zarvo::suite
