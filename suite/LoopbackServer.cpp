#include "suite/LoopbackServer.h"

#include <arpa/inet.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/eventfd.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
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

struct ConnectionHub::Port {
  int fd = -1;
  Handler handler;
  std::atomic<bool> stop{false};
  int active = 0;  // connections waiting or running; under the hub's mutex
};

ConnectionHub::ConnectionHub(int maxWorkers) : maxWorkers_(std::max(1, maxWorkers)) {
  wakeFd_ = ::eventfd(0, EFD_CLOEXEC | EFD_NONBLOCK);
  acceptThread_ = std::thread([this] { acceptLoop(); });
}

ConnectionHub::~ConnectionHub() {
  {
    std::lock_guard<std::mutex> lock(mutex_);
    stopping_ = true;
    changed_.notify_all();
  }
  wake();
  acceptThread_.join();
  std::list<std::thread> threads;
  {
    std::unique_lock<std::mutex> lock(mutex_);
    changed_.wait(lock, [&] { return workers_ == 0; });
    threads.swap(threads_);
    for (const Job& job : waiting_) ::close(job.fd);
    waiting_.clear();
  }
  for (std::thread& t : threads) t.join();
  ::close(wakeFd_);
}

void ConnectionHub::wake() {
  const quint64 one = 1;
  (void)!::write(wakeFd_, &one, sizeof one);
}

int ConnectionHub::workers() const {
  std::lock_guard<std::mutex> lock(mutex_);
  return workers_;
}

int ConnectionHub::peakWorkers() const {
  std::lock_guard<std::mutex> lock(mutex_);
  return peak_;
}

std::shared_ptr<ConnectionHub::Port> ConnectionHub::add(int fd, Handler handler) {
  auto port = std::make_shared<Port>();
  port->fd = fd;
  port->handler = std::move(handler);
  {
    std::lock_guard<std::mutex> lock(mutex_);
    ports_.push_back(port);
    ++generation_;
  }
  wake();
  return port;
}

void ConnectionHub::remove(const std::shared_ptr<Port>& port) {
  std::unique_lock<std::mutex> lock(mutex_);
  port->stop = true;
  ports_.erase(std::remove(ports_.begin(), ports_.end(), port), ports_.end());
  const quint64 target = ++generation_;
  lock.unlock();
  wake();
  lock.lock();
  // The accepting thread polls with the new list (or has ended), and the port's connections are
  // over: their handlers watch the stop flag, so this wait is bounded.
  changed_.wait(lock,
                [&] { return (stopping_ || seenGeneration_ >= target) && port->active == 0; });
}

void ConnectionHub::dispatch(Job job) {
  // Under mutex_.
  if (job.port->stop.load() || qsizetype(waiting_.size()) >= kMaxWaiting) {
    ::close(job.fd);
    return;
  }
  ++job.port->active;
  waiting_.push_back(std::move(job));
  if (idle_ > 0) {
    changed_.notify_all();
    return;
  }
  if (workers_ >= maxWorkers_) return;  // it waits for the next free thread
  // Threads that ended since the last start are joined here, so the list stays small. They
  // gave up the mutex for good when they went on the list, so each join is at once.
  for (const std::thread::id id : ended_) {
    for (auto it = threads_.begin(); it != threads_.end(); ++it) {
      if (it->get_id() == id) {
        it->join();
        threads_.erase(it);
        break;
      }
    }
  }
  ended_.clear();
  ++workers_;
  peak_ = std::max(peak_, workers_);
  threads_.emplace_back([this] { workerLoop(); });
}

void ConnectionHub::workerLoop() {
  std::unique_lock<std::mutex> lock(mutex_);
  while (true) {
    if (waiting_.empty() && !stopping_) {
      ++idle_;
      const bool woke =
          changed_.wait_for(lock, kIdleExit, [&] { return !waiting_.empty() || stopping_; });
      --idle_;
      if (!woke) break;
    }
    if (waiting_.empty()) break;  // stopping
    Job job = std::move(waiting_.front());
    waiting_.pop_front();
    lock.unlock();
    if (job.port->stop.load() || !job.port->handler(job.fd, job.port->stop)) ::close(job.fd);
    lock.lock();
    --job.port->active;
    changed_.notify_all();
  }
  --workers_;
  ended_.push_back(std::this_thread::get_id());
  changed_.notify_all();
}

void ConnectionHub::acceptLoop() {
  std::vector<std::shared_ptr<Port>> ports;
  std::vector<pollfd> polled;
  while (true) {
    {
      std::lock_guard<std::mutex> lock(mutex_);
      if (stopping_) break;
      ports = ports_;
      seenGeneration_ = generation_;
      changed_.notify_all();
    }
    polled.clear();
    polled.push_back({wakeFd_, POLLIN, 0});
    for (const auto& p : ports) polled.push_back({p->fd, POLLIN, 0});
    if (::poll(polled.data(), polled.size(), 1000) <= 0) continue;
    if (polled[0].revents & POLLIN) {
      quint64 count = 0;
      (void)!::read(wakeFd_, &count, sizeof count);
    }
    for (std::size_t i = 1; i < polled.size(); ++i) {
      if (!(polled[i].revents & POLLIN)) continue;
      const std::shared_ptr<Port>& port = ports[i - 1];
      // Everything the backlog holds, so one wake-up serves a burst of connections.
      while (true) {
        const int fd = ::accept4(port->fd, nullptr, nullptr, SOCK_CLOEXEC);
        if (fd < 0) break;
        std::lock_guard<std::mutex> lock(mutex_);
        dispatch(Job{port, fd});
      }
    }
  }
}

LoopbackServer::LoopbackServer(ConnectionHub& hub, Handler handler)
    : hub_(hub), handler_(std::move(handler)) {}

LoopbackServer::~LoopbackServer() { close(); }

bool LoopbackServer::listen(const QString& address, quint16 port, QString* error) {
  close();
  if (!isLoopbackAddress(address)) {
    *error = QStringLiteral("refusing to bind %1: not in 127.0.0.0/8").arg(address);
    return false;
  }
  const int fd = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC | SOCK_NONBLOCK, 0);
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
  if (::bind(fd, reinterpret_cast<sockaddr*>(&a), sizeof a) != 0 || ::listen(fd, 128) != 0) {
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
  registered_ = hub_.add(fd, handler_);
  return true;
}

void LoopbackServer::close() {
  if (registered_) hub_.remove(registered_);
  registered_.reset();
  if (listenFd_ >= 0) ::close(listenFd_);
  listenFd_ = -1;
}

}  // namespace Zarvo::suite
