// FakeHttpServer: blocking POSIX sockets polled in short slices, so the destructor can always
// stop the thread within a slice whatever the client does.
#include "tests/fakes/FakeHttpServer.h"

#include <arpa/inet.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <chrono>
#include <cstdio>
#include <cstdlib>

#include "tests/fakes/LoopbackSocket.h"

namespace testing_http {
namespace {

constexpr int kSliceMs = 20;
// A client that sends nothing for this long is dropped (keeps every loop bounded).
constexpr auto kIdleLimit = std::chrono::seconds(60);

// Position just past the head's blank line, or -1 while it is incomplete.
qsizetype headEnd(const QByteArray& data) {
  const qsizetype at = data.indexOf("\r\n\r\n");
  return at < 0 ? -1 : at + 4;
}

void sendAll(int fd, const QByteArray& data) {
  qsizetype sent = 0;
  while (sent < data.size()) {
    // MSG_NOSIGNAL: a client that gave up must not kill the test binary with SIGPIPE.
    const ssize_t n = ::send(fd, data.constData() + sent, size_t(data.size() - sent), MSG_NOSIGNAL);
    if (n <= 0) return;
    sent += n;
  }
}

QByteArray reasonFor(int status) {
  switch (status) {
    case 200:
      return "OK";
    case 404:
      return "Not Found";
    case 500:
      return "Internal Server Error";
    default:
      return "Status";
  }
}

}  // namespace

FakeHttpServer::FakeHttpServer() {
  listenFd_ = testing_net::listenOnLoopback(8, port_);
  thread_ = std::thread([this] { serve(); });
}

FakeHttpServer::~FakeHttpServer() {
  stop_ = true;
  thread_.join();
  ::close(listenFd_);
}

QUrl FakeHttpServer::url(const QString& page) const {
  return QUrl(QStringLiteral("http://127.0.0.1:%1/%2").arg(port_).arg(page));
}

void FakeHttpServer::setReply(const Reply& reply) {
  std::lock_guard<std::mutex> lock(mutex_);
  reply_ = reply;
}

QList<QByteArray> FakeHttpServer::requests() const {
  std::lock_guard<std::mutex> lock(mutex_);
  return requests_;
}

void FakeHttpServer::serve() {
  while (!stop_) {
    const int fd = testing_net::acceptWithin(listenFd_, kSliceMs);
    if (fd < 0) continue;
    handle(fd);
    ::close(fd);
  }
}

void FakeHttpServer::handle(int fd) {
  const testing_net::RawRequest raw = testing_net::readRequest(fd, stop_, kIdleLimit);
  Reply reply;
  {
    std::lock_guard<std::mutex> lock(mutex_);
    if (!raw.data.isEmpty()) requests_.append(raw.data);
    reply = reply_;
  }
  if (stop_ || !raw.complete) return;

  if (!reply.answer) {
    testing_net::holdSilently(fd, stop_);  // until the client hangs up (or the test ends)
    return;
  }

  QByteArray head = "HTTP/1.1 " + QByteArray::number(reply.status) + ' ' + reasonFor(reply.status) +
                    "\r\nConnection: close\r\n";
  if (reply.sendContentLength) {
    head += "Content-Length: " + QByteArray::number(reply.body.size()) + "\r\n";
  }
  sendAll(fd, head + "\r\n" + reply.body);
  ::shutdown(fd, SHUT_WR);
}

QList<QByteArray> ParsedRequest::values(const QByteArray& name) const {
  QList<QByteArray> out;
  for (const auto& f : fields) {
    if (f.first.compare(name, Qt::CaseInsensitive) == 0) out.append(f.second);
  }
  return out;
}

ParsedRequest parseRequest(const QByteArray& raw) {
  ParsedRequest r;
  const qsizetype end = headEnd(raw);
  if (end < 0) return r;
  const QList<QByteArray> lines = raw.left(end - 4).split('\n');
  const QList<QByteArray> start = lines.first().trimmed().split(' ');
  if (start.size() != 3) return r;
  r.method = start[0];
  r.target = start[1];
  for (qsizetype i = 1; i < lines.size(); ++i) {
    QByteArray line = lines[i];
    if (line.endsWith('\r')) line.chop(1);
    const qsizetype colon = line.indexOf(':');
    if (colon <= 0) return r;
    r.fields.append({line.left(colon), line.mid(colon + 1).trimmed()});
  }
  r.body = raw.mid(end);
  r.valid = true;
  return r;
}

QList<QByteArray> multipartParts(const ParsedRequest& request) {
  const QList<QByteArray> types = request.values("Content-Type");
  if (types.size() != 1) return {};
  const QByteArray marker = "boundary=";
  const qsizetype at = types.first().indexOf(marker);
  if (!types.first().startsWith("multipart/form-data;") || at < 0) return {};
  const QByteArray delimiter = "--" + types.first().mid(at + marker.size());

  // body = delimiter CRLF part (CRLF delimiter CRLF part)* CRLF delimiter "--" CRLF
  const QByteArray& body = request.body;
  if (!body.startsWith(delimiter + "\r\n")) return {};
  QList<QByteArray> parts;
  qsizetype pos = delimiter.size() + 2;
  const QByteArray between = "\r\n" + delimiter;
  while (true) {
    const qsizetype next = body.indexOf(between, pos);
    if (next < 0) return {};
    parts.append(body.mid(pos, next - pos));
    const qsizetype after = next + between.size();
    if (body.mid(after) == "--\r\n") return parts;
    if (body.mid(after, 2) != "\r\n") return {};
    pos = after + 2;
  }
}

}  // namespace testing_http
