#include "tests/fakes/HttpProbe.h"

#include <arpa/inet.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <QList>
#include <QString>
#include <chrono>

namespace testing_http {

int Answer::status() const {
  const QList<QByteArray> parts = head.left(head.indexOf("\r\n")).split(' ');
  return parts.size() >= 2 ? parts[1].toInt() : 0;
}

QByteArray post(const QByteArray& path, const QByteArray& body) {
  return "POST " + path + " HTTP/1.1\r\nContent-Length: " + QByteArray::number(body.size()) +
         "\r\n\r\n" + body;
}

QString fromUtf16Le(const QByteArray& bytes) {
  QString s;
  for (qsizetype i = 0; i + 1 < bytes.size(); i += 2) {
    s.append(QChar(char16_t(uchar(bytes[i]) | (uchar(bytes[i + 1]) << 8))));
  }
  return s;
}

Answer exchange(quint16 port, const QByteArray& request, int timeoutMs) {
  return exchange(nullptr, "127.0.0.1", port, request, timeoutMs);
}

Answer exchange(const char* source, const char* destination, quint16 port,
                const QByteArray& request, int timeoutMs) {
  using Clock = std::chrono::steady_clock;
  const auto deadline = Clock::now() + std::chrono::milliseconds(timeoutMs);
  auto left = [&] {
    return int(std::max<qint64>(
        0, std::chrono::duration_cast<std::chrono::milliseconds>(deadline - Clock::now()).count()));
  };
  Answer answer;
  const int fd = ::socket(AF_INET, SOCK_STREAM, 0);
  if (fd < 0) return answer;
  struct Closer {
    int fd;
    ~Closer() { ::close(fd); }
  } closer{fd};
  if (source) {
    sockaddr_in local{};
    local.sin_family = AF_INET;
    if (::inet_pton(AF_INET, source, &local.sin_addr) != 1 ||
        ::bind(fd, reinterpret_cast<sockaddr*>(&local), sizeof local) != 0) {
      return answer;
    }
  }
  sockaddr_in addr{};
  addr.sin_family = AF_INET;
  addr.sin_port = htons(port);
  if (::inet_pton(AF_INET, destination, &addr.sin_addr) != 1) return answer;
  if (::connect(fd, reinterpret_cast<sockaddr*>(&addr), sizeof addr) != 0) return answer;
  answer.connected = true;
  qsizetype sent = 0;
  while (sent < request.size()) {
    pollfd p{fd, POLLOUT, 0};
    if (::poll(&p, 1, left()) <= 0) return answer;
    const ssize_t n =
        ::send(fd, request.constData() + sent, size_t(request.size() - sent), MSG_NOSIGNAL);
    if (n <= 0) break;  // the server may answer (400) before reading everything
    sent += n;
  }
  QByteArray in;
  qsizetype headEnd = -1;
  qint64 length = -1;
  for (;;) {
    if (headEnd < 0) {
      headEnd = in.indexOf("\r\n\r\n");
      if (headEnd >= 0) {
        answer.head = in.left(headEnd + 4);
        const qsizetype at = answer.head.indexOf("Content-Length:");
        if (at >= 0) {
          length = answer.head.mid(at + 15, answer.head.indexOf("\r\n", at) - at - 15)
                       .trimmed()
                       .toLongLong();
        } else {
          answer.ok = true;  // a head without body
          return answer;
        }
      }
    }
    if (headEnd >= 0 && in.size() - (headEnd + 4) >= length) {
      answer.body = in.mid(headEnd + 4, length);
      answer.ok = true;
      return answer;
    }
    pollfd p{fd, POLLIN, 0};
    if (::poll(&p, 1, left()) <= 0) return answer;
    char buf[65536];
    const ssize_t n = ::recv(fd, buf, sizeof buf, 0);
    if (n <= 0) {
      if (headEnd < 0 && !in.isEmpty()) answer.head = in;
      return answer;
    }
    in.append(buf, n);
  }
}

}  // namespace testing_http
