#include "suite/SnmpEngine.h"

#include <poll.h>
#include <sys/eventfd.h>
#include <unistd.h>

#include <cerrno>
#include <future>

#include "suite/NetSnmpPdu.h"
// After the library's own headers, which it needs.
#include <net-snmp/library/large_fd_set.h>

namespace Zarvo::suite::snmp {

namespace {
// How often the retries and time-outs of requests in flight are looked at. The library's own
// per-request time-out is much longer (a second by default), so this only rounds it up a little.
constexpr std::chrono::milliseconds kClientTick{10};
// The longest the loop sleeps with nothing to do; it wakes at once for work anyway.
constexpr std::chrono::milliseconds kIdleWait{1000};

netsnmp_large_fd_set* fdSet(void* p) { return static_cast<netsnmp_large_fd_set*>(p); }
}  // namespace

SnmpEngine::SnmpEngine() {
  initialiseNetSnmp();
  wakeFd_ = ::eventfd(0, EFD_CLOEXEC | EFD_NONBLOCK);
  auto* set = new netsnmp_large_fd_set;
  readSetSize_ = 1024;
  netsnmp_large_fd_set_init(set, readSetSize_);
  readSet_ = set;
  std::promise<void> started;
  thread_ = std::thread([this, &started] {
    loopId_ = std::this_thread::get_id();
    started.set_value();
    run();
  });
  started.get_future().wait();
}

SnmpEngine::~SnmpEngine() {
  stop();
  if (wakeFd_ >= 0) ::close(wakeFd_);
  netsnmp_large_fd_set_cleanup(fdSet(readSet_));
  delete fdSet(readSet_);
}

bool SnmpEngine::post(std::function<void()> task) {
  {
    std::lock_guard<std::mutex> lock(mutex_);
    if (stopping_) return false;
    tasks_.push_back(std::move(task));
  }
  wake();
  return true;
}

bool SnmpEngine::call(const std::function<void()>& task) {
  if (isLoopThread()) {
    // Already where the task must run: waiting for the loop would wait for ourselves.
    task();
    return true;
  }
  auto done = std::make_shared<std::promise<bool>>();
  std::future<bool> result = done->get_future();
  // The promise is kept by the queued task; a task dropped at stop breaks it, which reads as
  // "not run".
  if (!post([task, done] {
        task();
        done->set_value(true);
      })) {
    return false;
  }
  done.reset();
  try {
    return result.get();
  } catch (const std::future_error&) {
    return false;
  }
}

void SnmpEngine::stop() {
  {
    std::lock_guard<std::mutex> lock(mutex_);
    stopping_ = true;
  }
  wake();
  if (isLoopThread()) return;  // the loop ends after this task; the owner joins it
  std::lock_guard<std::mutex> lock(joinMutex_);
  if (thread_.joinable()) thread_.join();
}

void SnmpEngine::wake() {
  const quint64 one = 1;
  if (wakeFd_ >= 0) (void)!::write(wakeFd_, &one, sizeof one);
}

void SnmpEngine::watch(int fd, std::function<void()> onReadable) {
  watched_[fd] = std::move(onReadable);
}

void SnmpEngine::unwatch(int fd) { watched_.erase(fd); }

SnmpEngine::TimerId SnmpEngine::after(std::chrono::milliseconds delay, std::function<void()> task) {
  const TimerId id = nextTimer_++;
  timers_.emplace(Clock::now() + delay, Timer{id, std::move(task)});
  return id;
}

void SnmpEngine::cancel(TimerId timer) {
  for (auto it = timers_.begin(); it != timers_.end(); ++it) {
    if (it->second.id == timer) {
      timers_.erase(it);
      return;
    }
  }
}

void SnmpEngine::addSession(void* session, bool client) { sessions_[session] = Session{client}; }

void SnmpEngine::closeLater(void* session) {
  if (sessions_.erase(session) == 0) {
    // Never registered (a session that failed half-way): still ours to close.
  }
  closing_.push_back(session);
}

void SnmpEngine::runTasks() {
  std::deque<std::function<void()>> tasks;
  {
    std::lock_guard<std::mutex> lock(mutex_);
    tasks.swap(tasks_);
  }
  for (auto& t : tasks) t();
}

void SnmpEngine::runTimers() {
  const auto now = Clock::now();
  while (!timers_.empty() && timers_.begin()->first <= now) {
    std::function<void()> task = std::move(timers_.begin()->second.task);
    timers_.erase(timers_.begin());
    task();
  }
}

void SnmpEngine::readSession(void* session, int fd) {
  auto* set = fdSet(readSet_);
  if (fd >= readSetSize_) {
    readSetSize_ = fd + 1024;
    netsnmp_large_fd_set_resize(set, readSetSize_);
  }
  NETSNMP_LARGE_FD_ZERO(set);
  NETSNMP_LARGE_FD_SET(fd, set);
  snmp_sess_read2(session, set);
}

void SnmpEngine::run() {
  std::vector<pollfd> polled;
  std::vector<std::pair<void*, int>> sessionFds;
  while (true) {
    {
      std::lock_guard<std::mutex> lock(mutex_);
      if (stopping_) break;
    }
    for (void* s : closing_) snmp_sess_close(s);
    closing_.clear();

    polled.clear();
    sessionFds.clear();
    polled.push_back({wakeFd_, POLLIN, 0});
    for (const auto& [fd, handler] : watched_) polled.push_back({fd, POLLIN, 0});
    const std::size_t firstSession = polled.size();
    bool clients = false;
    for (const auto& [session, info] : sessions_) {
      netsnmp_transport* t = snmp_sess_transport(session);
      if (!t || t->sock < 0) continue;
      polled.push_back({t->sock, POLLIN, 0});
      sessionFds.emplace_back(session, t->sock);
      clients = clients || info.client;
    }
    auto wait = kIdleWait;
    if (clients) wait = kClientTick;
    if (!timers_.empty()) {
      const auto untilTimer = std::chrono::duration_cast<std::chrono::milliseconds>(
          timers_.begin()->first - Clock::now() + std::chrono::microseconds(999));
      wait = std::max(std::chrono::milliseconds(0), std::min(wait, untilTimer));
    }
    const int n = ::poll(polled.data(), polled.size(), int(wait.count()));
    if (n < 0 && errno != EINTR) break;

    if (polled[0].revents & POLLIN) {
      quint64 count = 0;
      (void)!::read(wakeFd_, &count, sizeof count);
    }
    runTasks();
    for (std::size_t i = 1; n > 0 && i < firstSession; ++i) {
      if (!(polled[i].revents & (POLLIN | POLLERR | POLLHUP))) continue;
      // A handler may have unwatched this descriptor (or another) meanwhile.
      const auto it = watched_.find(polled[i].fd);
      if (it != watched_.end()) {
        std::function<void()> handler = it->second;
        handler();
      }
    }
    for (std::size_t i = firstSession; n > 0 && i < polled.size(); ++i) {
      if (!(polled[i].revents & (POLLIN | POLLERR | POLLHUP))) continue;
      const auto& [session, fd] = sessionFds[i - firstSession];
      if (sessions_.count(session)) readSession(session, fd);
    }
    std::vector<void*> clientSessions;
    for (const auto& [session, info] : sessions_) {
      if (info.client) clientSessions.push_back(session);
    }
    for (void* s : clientSessions) {
      if (sessions_.count(s)) snmp_sess_timeout(s);
    }
    runTimers();
  }
  // Stopped: whatever was queued is dropped (its callers learn it through call()), and every
  // session still here is closed.
  {
    std::lock_guard<std::mutex> lock(mutex_);
    tasks_.clear();
  }
  for (void* s : closing_) snmp_sess_close(s);
  closing_.clear();
  for (const auto& [session, info] : sessions_) snmp_sess_close(session);
  sessions_.clear();
  watched_.clear();
  timers_.clear();
}

}  // namespace Zarvo::suite::snmp
