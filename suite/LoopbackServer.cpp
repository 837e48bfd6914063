#include "suite/LoopbackServer.h"

#include <arpa/inet.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>

#include "suite/FleetConfig.h"

namespace Zarvo::suite {

namespace io {

namespace {
constexpr std::chrono::milliseconds kSlice{50};  // how often a wait looks at the stop flag

// Waits for `events` on fd until `deadline`; false on timeout or stop.
bool waitFor(int fd, short events, Clock::time_point deadline, const std::atomic<bool>& stop) {
  while (!stop.load()) {
    const auto left =
        std::chrono::duration_cast<std::chrono::milliseconds>(deadline - Clock::now());
    if (left.count() <= 0) return false;
    pollfd p{fd, events, 0};
    const int n = ::poll(&p, 1, int(std::min(left, kSlice).count()));
    if (n > 0) return true;
    if (n < 0 && errno != EINTR) return false;
  }
  return false;
}
}  // namespace

QByteArray readSome(int fd, std::chrono::milliseconds wait, const std::atomic<bool>& stop,
                    qsizetype max, bool* closed) {
  *closed = false;
  if (!waitFor(fd, POLLIN, Clock::now() + wait, stop)) return QByteArray();
  QByteArray buffer(qMin<qsizetype>(max, 256 * 1024), Qt::Uninitialized);
  const ssize_t n = ::recv(fd, buffer.data(), size_t(buffer.size()), 0);
  if (n <= 0) {
    *closed = true;  // orderly end, or a reset: either way nothing more comes
    return QByteArray();
  }
  buffer.truncate(n);
  return buffer;
}

bool writeAll(int fd, const QByteArray& bytes, std::chrono::milliseconds wait,
              const std::atomic<bool>& stop) {
  qsizetype done = 0;
  while (done < bytes.size()) {
    if (!waitFor(fd, POLLOUT, Clock::now() + wait, stop)) return false;
    const ssize_t n = ::send(fd, bytes.constData() + done, size_t(bytes.size() - done),
                             MSG_NOSIGNAL | MSG_DONTWAIT);
    if (n < 0 && (errno == EAGAIN || errno == EINTR)) continue;
    if (n <= 0) return false;
    done += n;
  }
  return true;
}

bool pause(std::chrono::milliseconds duration, const std::atomic<bool>& stop) {
  const auto deadline = Clock::now() + duration;
  while (!stop.load()) {
    const auto left = deadline - Clock::now();
    if (left <= Clock::duration::zero()) return true;
    std::this_thread::sleep_for(std::min<Clock::duration>(left, kSlice));
  }
  return false;
}

void abortiveClose(int fd) {
  linger l{1, 0};
  ::setsockopt(fd, SOL_SOCKET, SO_LINGER, &l, sizeof l);
  ::close(fd);
}

}  // namespace io

LoopbackServer::LoopbackServer(Handler handler) : handler_(std::move(handler)) {}

LoopbackServer::~LoopbackServer() { close(); }

bool LoopbackServer::listen(const QString& address, quint16 port, QString* error) {
  close();
  if (!isLoopbackAddress(address)) {
    *error = QStringLiteral("refusing to bind %1: not in 127.0.0.0/8").arg(address);
    return false;
  }
  const int fd = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
  if (fd < 0) {
    *error = QString::fromLocal8Bit(std::strerror(errno));
    return false;
  }
  const int yes = 1;
  ::setsockopt(fd, SOL_SOCKET, SO_REUSEADDR, &yes, sizeof yes);
  sockaddr_in a{};
  a.sin_family = AF_INET;
  a.sin_port = htons(port);
  ::inet_pton(AF_INET, address.toLatin1().constData(), &a.sin_addr);
  if (::bind(fd, reinterpret_cast<sockaddr*>(&a), sizeof a) != 0 || ::listen(fd, 64) != 0) {
    *error = QStringLiteral("cannot listen on %1:%2: %3")
                 .arg(address)
                 .arg(port)
                 .arg(QString::fromLocal8Bit(std::strerror(errno)));
    ::close(fd);
    return false;
  }
  socklen_t length = sizeof a;
  ::getsockname(fd, reinterpret_cast<sockaddr*>(&a), &length);
  port_ = ntohs(a.sin_port);
  listenFd_ = fd;
  stop_ = false;
  acceptThread_ = std::thread([this] { acceptLoop(); });
  return true;
}

void LoopbackServer::close() {
  stop_ = true;
  if (acceptThread_.joinable()) acceptThread_.join();
  if (listenFd_ >= 0) ::close(listenFd_);
  listenFd_ = -1;
  reap(true);
}

void LoopbackServer::acceptLoop() {
  while (!stop_.load()) {
    pollfd p{listenFd_, POLLIN, 0};
    if (::poll(&p, 1, 50) <= 0) {
      reap(false);
      continue;
    }
    const int fd = ::accept4(listenFd_, nullptr, nullptr, SOCK_CLOEXEC);
    if (fd < 0) continue;
    auto done = std::make_shared<std::atomic<bool>>(false);
    std::lock_guard<std::mutex> lock(mutex_);
    connections_.push_back({std::thread([this, fd, done] {
                              if (!handler_(fd, stop_)) ::close(fd);
                              *done = true;
                            }),
                            done});
  }
}

void LoopbackServer::reap(bool all) {
  std::list<Connection> finished;
  {
    std::lock_guard<std::mutex> lock(mutex_);
    for (auto it = connections_.begin(); it != connections_.end();) {
      if (all || it->done->load()) {
        finished.splice(finished.end(), connections_, it++);
      } else {
        ++it;
      }
    }
  }
  for (Connection& c : finished) c.thread.join();
}

}  // namespace Zarvo::suite
