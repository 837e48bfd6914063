#include "tests/fakes/LoopbackSocket.h"

#include <arpa/inet.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <QList>
#include <cstdio>
#include <cstdlib>

namespace testing_net {

int listenOnLoopback(int backlog, quint16& port) {
  const int fd = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
  sockaddr_in addr{};
  addr.sin_family = AF_INET;
  addr.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  socklen_t len = sizeof addr;
  if (fd < 0 || ::bind(fd, reinterpret_cast<sockaddr*>(&addr), sizeof addr) != 0 ||
      ::listen(fd, backlog) != 0 ||
      ::getsockname(fd, reinterpret_cast<sockaddr*>(&addr), &len) != 0) {
    std::perror("listenOnLoopback");
    std::abort();
  }
  port = ntohs(addr.sin_port);
  return fd;
}

int acceptWithin(int listenFd, int ms) {
  pollfd p{listenFd, POLLIN, 0};
  if (::poll(&p, 1, ms) <= 0) return -1;
  return ::accept4(listenFd, nullptr, nullptr, SOCK_CLOEXEC);
}

namespace {

constexpr int kSliceMs = 20;  // how often a waiting reader looks at the stop flag

// The value of the Content-Length field of `head`, 0 when there is none.
qsizetype contentLengthOf(const QByteArray& head) {
  for (const QByteArray& line : head.split('\n')) {
    const qsizetype colon = line.indexOf(':');
    if (colon < 0 || line.left(colon).trimmed().toLower() != "content-length") continue;
    return line.mid(colon + 1).trimmed().toLongLong();
  }
  return 0;
}

}  // namespace

QByteArray RawRequest::target() const {
  const QList<QByteArray> start = data.left(data.indexOf("\r\n")).split(' ');
  return start.size() == 3 ? start[1] : QByteArray();
}

RawRequest readRequest(int fd, const std::atomic<bool>& stop, std::chrono::milliseconds idleLimit) {
  RawRequest r;
  qsizetype wanted = -1;  // total request size once the head is known
  auto lastByte = std::chrono::steady_clock::now();
  while (!stop && (wanted < 0 || r.data.size() < wanted)) {
    if (std::chrono::steady_clock::now() - lastByte > idleLimit) return r;
    pollfd p{fd, POLLIN, 0};
    if (::poll(&p, 1, kSliceMs) <= 0) continue;
    char buf[65536];
    const ssize_t n = ::recv(fd, buf, sizeof buf, 0);
    if (n <= 0) {
      r.peerClosed = true;
      return r;
    }
    r.data.append(buf, qsizetype(n));
    lastByte = std::chrono::steady_clock::now();
    if (wanted < 0) {
      const qsizetype end = r.data.indexOf("\r\n\r\n");
      if (end >= 0) {
        r.headSize = end + 4;
        wanted = r.headSize + contentLengthOf(r.data.left(r.headSize));
      }
    }
  }
  r.complete = wanted >= 0 && r.data.size() >= wanted;
  return r;
}

bool sendAndClose(quint16 port, const QByteArray& bytes) {
  const int fd = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
  sockaddr_in a{};
  a.sin_family = AF_INET;
  a.sin_port = htons(port);
  a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  bool ok = ::connect(fd, reinterpret_cast<sockaddr*>(&a), sizeof a) == 0;
  for (qsizetype done = 0; ok && done < bytes.size();) {
    const ssize_t n =
        ::send(fd, bytes.constData() + done, size_t(bytes.size() - done), MSG_NOSIGNAL);
    ok = n > 0;
    done += n;
  }
  ::close(fd);
  return ok;
}

void holdSilently(int fd, const std::atomic<bool>& stop, std::chrono::milliseconds limit) {
  const auto until = std::chrono::steady_clock::now() + limit;
  while (!stop && std::chrono::steady_clock::now() < until) {
    pollfd p{fd, POLLIN, 0};
    if (::poll(&p, 1, kSliceMs) <= 0) continue;
    char buf[4096];
    if (::recv(fd, buf, sizeof buf, 0) <= 0) return;
  }
}

}  // namespace testing_net
