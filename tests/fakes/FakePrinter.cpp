#include "tests/fakes/FakePrinter.h"

#include <arpa/inet.h>
#include <fcntl.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <vector>

namespace testing_printer {

namespace {

using namespace std::chrono_literals;
using Clock = std::chrono::steady_clock;

constexpr int kSliceMs = 20;  // how often a waiting thread looks at the stop flag
constexpr int kBacklog = 64;

sockaddr_in addressOf(const QString& host, quint16 port) {
  sockaddr_in addr{};
  addr.sin_family = AF_INET;
  addr.sin_port = htons(port);
  if (::inet_pton(AF_INET, host.toLatin1().constData(), &addr.sin_addr) != 1) {
    std::fprintf(stderr, "FakePrinter: not an IPv4 address: %s\n", host.toLatin1().constData());
    std::abort();
  }
  return addr;
}

bool readable(int fd, int ms) {
  pollfd p{fd, POLLIN, 0};
  return ::poll(&p, 1, ms) > 0;
}

}  // namespace

FakePrinter::FakePrinter(const QString& host, quint16 port) : host_(host), port_(port) {
  {
    std::lock_guard<std::mutex> lock(mutex_);
    applyListening();  // port_ is known when the constructor returns
  }
  acceptor_ = std::thread([this] { acceptLoop(); });
}

FakePrinter::~FakePrinter() {
  {
    std::lock_guard<std::mutex> lock(mutex_);
    stop_ = true;
  }
  changed_.notify_all();
  acceptor_.join();
  for (std::thread& t : servers_) t.join();
  for (int fd : fillers_) ::close(fd);
  if (listenFd_ >= 0) ::close(listenFd_);
}

void FakePrinter::take() {
  {
    std::lock_guard<std::mutex> lock(mutex_);
    mode_ = Mode::kTake;
    changed_.notify_all();
  }
  listenAgain();
}

void FakePrinter::slowly(qint64 chunk, std::chrono::milliseconds pause) {
  {
    std::lock_guard<std::mutex> lock(mutex_);
    mode_ = Mode::kSlow;
    chunk_ = chunk;
    pause_ = pause;
  }
  listenAgain();
}

void FakePrinter::stall() {
  {
    std::lock_guard<std::mutex> lock(mutex_);
    mode_ = Mode::kStall;
  }
  listenAgain();
}

void FakePrinter::dropAfter(qint64 bytes) {
  {
    std::lock_guard<std::mutex> lock(mutex_);
    mode_ = Mode::kDrop;
    dropAfter_ = bytes;
  }
  listenAgain();
}

void FakePrinter::listenAgain() {
  {
    std::lock_guard<std::mutex> lock(mutex_);
    if (wantListening_ && !wantUnanswered_) return;  // already taking connections: no wait
  }
  setListening(true, false);
}

void FakePrinter::refuse() { setListening(false, false); }
void FakePrinter::unanswered() { setListening(true, true); }

void FakePrinter::keepBytes(bool keep) {
  std::lock_guard<std::mutex> lock(mutex_);
  keep_ = keep;
}

void FakePrinter::storeInto(Zarvo::suite::DeviceState* state) {
  std::lock_guard<std::mutex> lock(mutex_);
  state_ = state;
}

void FakePrinter::onDownload(Callback callback) {
  std::lock_guard<std::mutex> lock(mutex_);
  callback_ = std::move(callback);
}

void FakePrinter::talkBack(const QByteArray& bytes, qint64 after) {
  std::lock_guard<std::mutex> lock(mutex_);
  talk_ = bytes;
  talkAfter_ = after;
}

void FakePrinter::onAccept(Callback callback) {
  std::lock_guard<std::mutex> lock(mutex_);
  acceptCallback_ = std::move(callback);
}

QList<FakePrinter::Download> FakePrinter::downloads() const {
  std::lock_guard<std::mutex> lock(mutex_);
  return downloads_;
}

bool FakePrinter::waitForDownloads(int count, std::chrono::milliseconds limit) const {
  std::unique_lock<std::mutex> lock(mutex_);
  return changed_.wait_for(lock, limit, [&] { return ended_ >= count; });
}

int FakePrinter::connections() const {
  std::lock_guard<std::mutex> lock(mutex_);
  return int(downloads_.size());
}

bool FakePrinter::waitForConnections(int count, std::chrono::milliseconds limit) const {
  std::unique_lock<std::mutex> lock(mutex_);
  return changed_.wait_for(lock, limit, [&] { return downloads_.size() >= count; });
}

void FakePrinter::setListening(bool listening, bool unanswered) {
  std::unique_lock<std::mutex> lock(mutex_);
  wantListening_ = listening;
  wantUnanswered_ = unanswered;
  const int generation = ++asked_;
  // The acceptor puts it in place within one slice; a test goes on only once it has.
  changed_.wait_for(lock, 5s, [&] { return applied_ >= generation || stop_; });
}

void FakePrinter::applyListening() {
  const bool wantFresh = wantListening_ && (listenFd_ < 0 || unanswered_ != wantUnanswered_);
  // Leaving "unanswered" drops the old socket with the fillers queued on it: they must never be
  // taken as downloads.
  if (listenFd_ >= 0 && (!wantListening_ || wantFresh)) {
    ::close(listenFd_);
    listenFd_ = -1;
    for (int fd : fillers_) ::close(fd);
    fillers_.clear();
    unanswered_ = false;
  }
  if (wantFresh) {
    const int fd = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    const int on = 1;
    sockaddr_in addr = addressOf(host_, port_);
    socklen_t len = sizeof addr;
    if (fd < 0 || ::setsockopt(fd, SOL_SOCKET, SO_REUSEADDR, &on, sizeof on) != 0 ||
        ::bind(fd, reinterpret_cast<sockaddr*>(&addr), sizeof addr) != 0 ||
        ::listen(fd, wantUnanswered_ ? 0 : kBacklog) != 0 ||
        ::getsockname(fd, reinterpret_cast<sockaddr*>(&addr), &len) != 0) {
      std::perror("FakePrinter: listen");
      std::abort();
    }
    port_ = ntohs(addr.sin_port);
    listenFd_ = fd;
    if (wantUnanswered_) {
      // A queue of length 0 still holds one connection; once it is full the system drops further
      // connection requests, and a sender's connect neither succeeds nor fails. Fill it with
      // connections of our own until one no longer completes.
      const sockaddr_in target = addressOf(host_, port_);
      for (int i = 0; i < 8; ++i) {
        const int c = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC | SOCK_NONBLOCK, 0);
        fillers_.append(c);
        (void)::connect(c, reinterpret_cast<const sockaddr*>(&target), sizeof target);
        pollfd p{c, POLLOUT, 0};
        if (::poll(&p, 1, 100) <= 0) break;  // this one hangs: the queue is full
      }
      unanswered_ = true;
    }
  }
  applied_ = asked_;
  changed_.notify_all();
}

void FakePrinter::acceptLoop() {
  for (;;) {
    int fd;
    {
      std::unique_lock<std::mutex> lock(mutex_);
      if (stop_) return;
      if (applied_ < asked_) applyListening();
      fd = listenFd_;
      if (fd < 0 || unanswered_) {
        changed_.wait_for(lock, std::chrono::milliseconds(kSliceMs));
        continue;
      }
    }
    if (!readable(fd, kSliceMs)) continue;
    const int connection = ::accept4(fd, nullptr, nullptr, SOCK_CLOEXEC);
    if (connection < 0) continue;
    std::lock_guard<std::mutex> lock(mutex_);
    Download d;
    d.index = int(downloads_.size());
    d.accepted = Clock::now();
    downloads_.append(d);
    changed_.notify_all();
    servers_.emplace_back([this, connection, index = d.index] { serve(connection, index); });
  }
}

void FakePrinter::serve(int fd, int index) {
  Mode mode;
  qint64 chunk, dropAfter;
  std::chrono::milliseconds pause;
  bool keep;
  Callback accepted;
  Download start;
  QByteArray talk;
  qint64 talkAfter = 0;
  {
    std::lock_guard<std::mutex> lock(mutex_);
    mode = mode_;
    chunk = chunk_;
    dropAfter = dropAfter_;
    pause = pause_;
    keep = keep_;
    accepted = acceptCallback_;
    start = downloads_[index];
    talk = talk_;
    talkAfter = talkAfter_;
  }
  if (accepted) accepted(start);
  const auto stopping = [this] {
    std::lock_guard<std::mutex> lock(mutex_);
    return stop_;
  };

  QByteArray bytes;
  qint64 size = 0;
  bool complete = false;
  std::vector<char> buffer(size_t(std::max<qint64>(1 << 16, mode == Mode::kSlow ? chunk : 0)));
  for (;;) {
    if (mode == Mode::kStall) {
      std::unique_lock<std::mutex> lock(mutex_);
      changed_.wait_for(lock, std::chrono::milliseconds(kSliceMs));
      if (stop_) break;
      if (mode_ != Mode::kStall) mode = Mode::kTake;  // set back: read from now on
      continue;
    }
    if (!readable(fd, kSliceMs)) {
      if (stopping()) break;
      continue;
    }
    qint64 want = qint64(buffer.size());
    if (mode == Mode::kSlow) want = std::min(want, chunk);
    if (mode == Mode::kDrop) want = std::min(want, dropAfter - size);
    const ssize_t n = want > 0 ? ::read(fd, buffer.data(), size_t(want)) : 0;
    if (n == 0 && want > 0) {
      complete = true;  // the sender closed: the download is whole
      break;
    }
    if (n < 0) {
      if (errno == EINTR || errno == EAGAIN) continue;
      break;
    }
    if (keep) bytes.append(buffer.data(), n);
    size += n;
    if (!talk.isEmpty() && size >= talkAfter) {
      (void)::send(fd, talk.constData(), size_t(talk.size()), MSG_NOSIGNAL);
      talk.clear();
    }
    if (mode == Mode::kDrop && size >= dropAfter) {
      // A reset, not a close: the device is gone, and the sender's next write must fail.
      const linger reset{1, 0};
      (void)::setsockopt(fd, SOL_SOCKET, SO_LINGER, &reset, sizeof reset);
      break;
    }
    if (mode == Mode::kSlow && pause.count() > 0) {  // the device's pace; the destructor ends it
      std::unique_lock<std::mutex> lock(mutex_);
      changed_.wait_for(lock, pause, [this] { return stop_; });
    }
  }
  QString status;
  if (complete) {
    Zarvo::suite::DeviceState* state;
    {
      std::lock_guard<std::mutex> lock(mutex_);
      state = state_;
    }
    if (state) {
      Zarvo::suite::PjlDownload download;
      Zarvo::suite::PjlError error;
      if (Zarvo::suite::parsePjlDownload(bytes, &download, &error)) {
        state->store(download);
        status = QStringLiteral("completed");
      } else {
        status = error.status;
      }
    }
  }
  Download done;
  Callback callback;
  {
    std::lock_guard<std::mutex> lock(mutex_);
    Download& d = downloads_[index];
    d.status = status;
    d.bytes = std::move(bytes);
    d.size = size;
    d.complete = complete;
    d.finished = Clock::now();
    if (complete && callback_) {
      done = d;
      callback = callback_;
    }
  }
  // Before the close, like a device that reports while its side is still open.
  if (callback) callback(done);
  ::close(fd);
  {
    std::lock_guard<std::mutex> lock(mutex_);
    ++ended_;
  }
  changed_.notify_all();
}

}  // namespace testing_printer
