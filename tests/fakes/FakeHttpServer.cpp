#include "tests/fakes/FakeHttpServer.h"

#include <sys/socket.h>

#include <QMap>
#include <chrono>
#include <cstdio>
#include <cstdlib>

#include "tests/fakes/LoopbackSocket.h"

namespace testing_http {
namespace {

// A client silent for this long is dropped, and no answer lasts longer (keeps loops bounded).
constexpr auto kIdleLimit = std::chrono::seconds(60);

QByteArray reasonFor(int status) {
  static const QMap<int, QByteArray> kReasons{
      {200, "OK"}, {404, "Not Found"}, {500, "Internal Server Error"}};
  return kReasons.value(status, "Status");
}

}  // namespace

QByteArray httpResponse(const QByteArray& body, bool withLength, int status) {
  QByteArray head = "HTTP/1.1 " + QByteArray::number(status) + ' ' + reasonFor(status) + "\r\n";
  if (withLength) head += "Content-Length:" + QByteArray::number(body.size()) + "\r\n";
  return head + "\r\n" + body;
}

FakeHttpServer::FakeHttpServer(Responder responder)
    : responder_(std::move(responder)),
      server_(hub_, [this](int fd, const std::atomic<bool>& stop) { return handle(fd, stop); }) {
  QString error;
  if (!server_.listen(QStringLiteral("127.0.0.1"), 0, &error)) {
    std::fprintf(stderr, "FakeHttpServer: %s\n", qPrintable(error));
    std::abort();
  }
}

FakeHttpServer::~FakeHttpServer() { server_.close(); }

QUrl FakeHttpServer::url(const QString& page) const {
  return QUrl(QStringLiteral("http://127.0.0.1:%1/%2").arg(port()).arg(page));
}

void FakeHttpServer::setReply(const QString& command, const Reply& reply) {
  std::lock_guard<std::mutex> lock(mutex_);
  replies_[command] = reply;
}

void FakeHttpServer::clearReply(const QString& command) {
  std::lock_guard<std::mutex> lock(mutex_);
  replies_.remove(command);
}

QList<Received> FakeHttpServer::requests() const {
  std::lock_guard<std::mutex> lock(mutex_);
  return requests_;
}

QList<QByteArray> FakeHttpServer::bodies(const QString& command) const {
  QList<QByteArray> out;
  for (const Received& r : requests()) {
    if (r.command() == command) out << r.body;
  }
  return out;
}

int FakeHttpServer::count(const QByteArray& path) const {
  int n = 0;
  for (const Received& r : requests()) n += r.path == path ? 1 : 0;
  return n;
}

bool FakeHttpServer::waitForRequests(const QString& command, int n, int ms) const {
  std::unique_lock<std::mutex> lock(mutex_);
  return changed_.wait_for(lock, std::chrono::milliseconds(ms), [&] {
    int seen = 0;
    for (const Received& r : requests_) seen += r.command() == command ? 1 : 0;
    return seen >= n;
  });
}

bool FakeHttpServer::handle(int fd, const std::atomic<bool>& stop) {
  ++connections_;
  const testing_net::RawRequest raw = testing_net::readRequest(fd, stop, kIdleLimit);
  if (stop || !raw.complete) return false;  // the client hung up before its request was whole
  const Received request{raw.target(), raw.head(), raw.body()};
  Reply reply;
  bool scripted = true;
  {
    std::lock_guard<std::mutex> lock(mutex_);
    requests_.append(request);
    changed_.notify_all();
    if (replies_.contains(request.command())) {
      reply = replies_.value(request.command());
    } else if (replies_.contains(QString())) {
      reply = replies_.value(QString());
    } else {
      scripted = false;
    }
  }
  if (!scripted) reply = responder_ ? responder_(request) : Reply{httpResponse("")};
  sendReply(fd, reply, stop);
  return false;
}

void sendReply(int fd, const Reply& reply, const std::atomic<bool>& stop) {
  using std::chrono::milliseconds;
  if (reply.silent) {
    testing_net::holdSilently(fd, stop, kIdleLimit);
    return;
  }
  if (reply.trickleMs <= 0) {
    (void)Zarvo::suite::io::writeAll(fd, reply.raw, kIdleLimit, stop);
    ::shutdown(fd, SHUT_WR);
    return;
  }
  for (qsizetype i = 0; i < reply.raw.size(); ++i) {
    if (!Zarvo::suite::io::writeAll(fd, reply.raw.mid(i, 1), kIdleLimit, stop)) return;
    if (!Zarvo::suite::io::pause(milliseconds(reply.trickleMs), stop)) return;
  }
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
  const qsizetype blank = raw.indexOf("\r\n\r\n");
  if (blank < 0) return r;
  const QList<QByteArray> lines = raw.left(blank).split('\n');
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
  r.body = raw.mid(blank + 4);
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
