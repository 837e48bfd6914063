#include "service/ControlSocket.h"

#include <fcntl.h>
#include <poll.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/un.h>
#include <unistd.h>

#include <QDeadlineTimer>
#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <cerrno>
#include <cstring>

namespace Zarvo {

namespace {

constexpr int kMaxLine = 32;  // a control code and a line end; anything longer is not ours

QString errnoText(int error) { return QString::fromLocal8Bit(std::strerror(error)); }

bool fillAddress(const QString& path, sockaddr_un* address) {
  const QByteArray bytes = QFile::encodeName(path);
  if (bytes.isEmpty() || size_t(bytes.size()) >= sizeof address->sun_path) return false;
  std::memset(address, 0, sizeof *address);
  address->sun_family = AF_UNIX;
  std::memcpy(address->sun_path, bytes.constData(), size_t(bytes.size()));
  return true;
}

// Reads until a line end, end of stream or `deadline`; false when no full line arrived.
bool readLine(int fd, const QDeadlineTimer& deadline, QByteArray* line) {
  while (!line->contains('\n') && line->size() < kMaxLine) {
    pollfd p{fd, POLLIN, 0};
    const int ready = ::poll(&p, 1, int(qMax<qint64>(0, deadline.remainingTime())));
    if (ready < 0 && errno == EINTR) continue;
    if (ready <= 0) return false;
    char buf[kMaxLine];
    const ssize_t n = ::read(fd, buf, sizeof buf);
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0) break;
    line->append(buf, n);
  }
  const qsizetype end = line->indexOf('\n');
  if (end < 0) return false;
  line->truncate(end);
  return true;
}

bool writeAll(int fd, const QByteArray& bytes) {
  qsizetype done = 0;
  while (done < bytes.size()) {
    const ssize_t n =
        ::send(fd, bytes.constData() + done, size_t(bytes.size() - done), MSG_NOSIGNAL);
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0) return false;
    done += n;
  }
  return true;
}

}  // namespace

QString controlSocketPath(const QString& runtimeDirectory) {
  return runtimeDirectory + QStringLiteral("/control");
}

bool sendControl(const QString& socketPath, int code, int timeoutMs, QString* error) {
  sockaddr_un address;
  if (!fillAddress(socketPath, &address)) {
    *error = QStringLiteral("control socket path too long: %1").arg(socketPath);
    return false;
  }
  const int fd = ::socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0);
  if (fd < 0) {
    *error = errnoText(errno);
    return false;
  }
  // A local stream connect either succeeds or fails at once; only the answer is waited for.
  if (::connect(fd, reinterpret_cast<sockaddr*>(&address), sizeof address) != 0) {
    const int e = errno;
    ::close(fd);
    *error =
        e == ENOENT || e == ECONNREFUSED
            ? QStringLiteral("the service does not listen on %1 (%2)").arg(socketPath, errnoText(e))
            : QStringLiteral("%1: %2").arg(socketPath, errnoText(e));
    return false;
  }
  const QDeadlineTimer deadline(timeoutMs);
  QByteArray answer;
  const bool sent = writeAll(fd, QByteArray::number(code) + '\n');
  const bool answered = sent && readLine(fd, deadline, &answer);
  ::close(fd);
  if (!answered) {
    *error = sent ? QStringLiteral("the service did not answer within %1 ms").arg(timeoutMs)
                  : QStringLiteral("the service closed its control socket");
    return false;
  }
  if (answer != "ok") {
    *error = QStringLiteral("the service refused control %1").arg(code);
    return false;
  }
  return true;
}

ControlListener::~ControlListener() {
  if (fd_ < 0) return;
  ::close(fd_);
  ::unlink(QFile::encodeName(path_).constData());
}

bool ControlListener::listen(const QString& socketPath, QString* error) {
  sockaddr_un address;
  if (!fillAddress(socketPath, &address)) {
    *error = QStringLiteral("control socket path too long: %1").arg(socketPath);
    return false;
  }
  const QString directory = QFileInfo(socketPath).absolutePath();
  const bool existed = QFileInfo::exists(directory);
  if (!QDir().mkpath(directory)) {
    *error = QStringLiteral("cannot create %1").arg(directory);
    return false;
  }
  // systemd makes the runtime directory owner-only; one made here is made the same way.
  if (!existed)
    QFile::setPermissions(directory,
                          QFileDevice::ReadOwner | QFileDevice::WriteOwner | QFileDevice::ExeOwner);
  const int fd = ::socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC | SOCK_NONBLOCK, 0);
  if (fd < 0) {
    *error = errnoText(errno);
    return false;
  }
  // A socket file left by a run that was killed would make bind fail.
  ::unlink(address.sun_path);
  const mode_t oldMask = ::umask(0077);  // the socket is born owner-only, no window
  const bool bound = ::bind(fd, reinterpret_cast<sockaddr*>(&address), sizeof address) == 0;
  const int bindError = errno;
  ::umask(oldMask);
  if (!bound || ::listen(fd, 8) != 0) {
    *error = QStringLiteral("%1: %2").arg(socketPath, errnoText(bound ? errno : bindError));
    ::close(fd);
    return false;
  }
  fd_ = fd;
  path_ = socketPath;
  return true;
}

ControlListener::Request ControlListener::accept(int readWaitMs) {
  Request request;
  const int fd = ::accept4(fd_, nullptr, nullptr, SOCK_CLOEXEC);
  if (fd < 0) return request;
  // Only the service's own user (root for an installed service) may control it; the socket's
  // mode says the same, this holds even if the directory was made by someone else.
  ucred peer{};
  socklen_t size = sizeof peer;
  if (::getsockopt(fd, SOL_SOCKET, SO_PEERCRED, &peer, &size) != 0 ||
      (peer.uid != 0 && peer.uid != ::geteuid())) {
    ::close(fd);
    return request;
  }
  request.fd = fd;
  QByteArray line;
  if (readLine(fd, QDeadlineTimer(readWaitMs), &line)) {
    bool ok = false;
    const int code = line.trimmed().toInt(&ok);
    if (ok) request.code = code;
  }
  return request;
}

void ControlListener::reply(Request& request, bool ok) {
  if (request.fd < 0) return;
  writeAll(request.fd, ok ? QByteArray("ok\n") : QByteArray("refused\n"));
  ::close(request.fd);
  request.fd = -1;
}

}  // namespace Zarvo
