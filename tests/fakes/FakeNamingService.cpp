// FakeNamingService: blocking POSIX sockets polled in short slices, so the destructor always
// stops the thread within a slice whatever the client does.
#include "tests/fakes/FakeNamingService.h"

#include "tests/fakes/LoopbackSocket.h"

#include <arpa/inet.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <QRegularExpression>
#include <chrono>
#include <cstdio>
#include <cstdlib>

namespace testing_orx {
namespace {

constexpr int kSliceMs = 20;
// A client silent for this long is dropped, and no answer lasts longer (keeps loops bounded).
constexpr auto kIdleLimit = std::chrono::seconds(60);

bool sendAll(int fd, const char* data, qsizetype size) {
  qsizetype sent = 0;
  while (sent < size) {
    // MSG_NOSIGNAL: a client that gave up must not kill the test binary with SIGPIPE.
    const ssize_t n = ::send(fd, data + sent, size_t(size - sent), MSG_NOSIGNAL);
    if (n <= 0) return false;
    sent += n;
  }
  return true;
}

QString escaped(QString text) {
  return text.replace('&', "&amp;").replace('<', "&lt;").replace('>', "&gt;");
}

qsizetype contentLengthOf(const QByteArray& head) {
  static const QRegularExpression field(QStringLiteral("\r\nContent-Length:\\s*(\\d+)"));
  const auto m = field.match(QString::fromLatin1(head));
  return m.hasMatch() ? m.captured(1).toLongLong() : 0;
}

}  // namespace

QByteArray httpResponse(const QByteArray& body, bool withLength) {
  QByteArray head = "HTTP/1.1 200 OK\r\n";
  if (withLength) head += "Content-Length:" + QByteArray::number(body.size()) + "\r\n";
  return head + "\r\n" + body;
}

QByteArray responsePacket(int result, const QString& details,
                          const QList<QPair<QString, QString>>& extra) {
  QString xml = QStringLiteral(
                    "<?xml version=\"1.0\" encoding=\"UTF-8\"?><OrxResponse><Result>%1"
                    "</Result><Details>%2</Details>")
                    .arg(result)
                    .arg(escaped(details));
  for (const auto& e : extra) xml += QStringLiteral("<%1>%2</%1>").arg(e.first, escaped(e.second));
  return (xml + QStringLiteral("</OrxResponse>")).toUtf8();
}

QStringList elementTexts(const QByteArray& xml, const QString& name) {
  const QRegularExpression element(
      QStringLiteral("<%1\\s*(?:/>|>(.*?)</%1\\s*>)").arg(QRegularExpression::escape(name)),
      QRegularExpression::DotMatchesEverythingOption);
  QStringList texts;
  for (auto it = element.globalMatch(QString::fromUtf8(xml)); it.hasNext();) {
    QString text = it.next().captured(1);
    text.replace("&lt;", "<").replace("&gt;", ">").replace("&quot;", "\"").replace("&apos;", "'");
    texts << text.replace("&amp;", "&");
  }
  return texts;
}

FakeNamingService::FakeNamingService() {
  listenFd_ = testing_net::listenOnLoopback(64, port_);
  thread_ = std::thread([this] { serve(); });
}

FakeNamingService::~FakeNamingService() {
  stop_ = true;
  thread_.join();
  ::close(listenFd_);
}

QUrl FakeNamingService::url() const {
  return QUrl(QStringLiteral("http://127.0.0.1:%1/").arg(port_));
}

void FakeNamingService::setServiceUrl(const QString& command, const QString& url) {
  std::lock_guard<std::mutex> lock(mutex_);
  table_[command] = url;
}

void FakeNamingService::setRegisterResult(int result) {
  std::lock_guard<std::mutex> lock(mutex_);
  registerResult_ = result;
}

void FakeNamingService::setReply(const QString& command, const Reply& reply) {
  std::lock_guard<std::mutex> lock(mutex_);
  replies_[command] = reply;
}

QList<Received> FakeNamingService::requests() const {
  std::lock_guard<std::mutex> lock(mutex_);
  return requests_;
}

int FakeNamingService::count(const QByteArray& path) const {
  int n = 0;
  for (const Received& r : requests()) n += r.path == path ? 1 : 0;
  return n;
}

void FakeNamingService::serve() {
  while (!stop_) {
    const int fd = testing_net::acceptWithin(listenFd_, kSliceMs);
    if (fd < 0) continue;
    ++connections_;
    handle(fd);
    ::close(fd);
  }
}

Reply FakeNamingService::answerFor(const Received& request) {
  const QString command = QString::fromLatin1(request.path).remove('/');
  std::lock_guard<std::mutex> lock(mutex_);
  requests_.append(request);
  if (command == QLatin1String("NSFindService")) {
    const QStringList asked = elementTexts(request.body, QStringLiteral("Command"));
    const QString name = asked.isEmpty() ? QString() : asked.first();
    if (!table_.contains(name)) {
      return {httpResponse(responsePacket(2, QStringLiteral("Service not found: ") + name))};
    }
    return {httpResponse(responsePacket(0, QStringLiteral("OK"),
                                        {{QStringLiteral("ServiceURL"), table_.value(name)}}))};
  }
  if (command == QLatin1String("NSRegisterService")) {
    return {httpResponse(responsePacket(
        registerResult_, registerResult_ == 0 ? QStringLiteral("OK") : QStringLiteral("Refused")))};
  }
  if (replies_.contains(command)) return replies_.value(command);
  return {httpResponse(responsePacket(2, QStringLiteral("Can't handle command: ") + command))};
}

void FakeNamingService::handle(int fd) {
  QByteArray data;
  qsizetype wanted = -1;  // total request size once the head is known
  auto lastByte = std::chrono::steady_clock::now();
  while (!stop_ && (wanted < 0 || data.size() < wanted)) {
    if (std::chrono::steady_clock::now() - lastByte > kIdleLimit) return;
    pollfd p{fd, POLLIN, 0};
    if (::poll(&p, 1, kSliceMs) <= 0) continue;
    char buf[16384];
    const ssize_t n = ::recv(fd, buf, sizeof buf, 0);
    if (n <= 0) return;  // the client hung up before its request was whole
    data.append(buf, qsizetype(n));
    lastByte = std::chrono::steady_clock::now();
    if (wanted < 0) {
      const qsizetype end = data.indexOf("\r\n\r\n");
      if (end >= 0) wanted = end + 4 + contentLengthOf(data.left(end + 4));
    }
  }
  if (stop_) return;

  Received request;
  const qsizetype end = data.indexOf("\r\n\r\n") + 4;
  request.head = data.left(end);
  request.body = data.mid(end);
  const QList<QByteArray> start = data.left(data.indexOf("\r\n")).split(' ');
  if (start.size() == 3) request.path = start[1];
  const Reply reply = answerFor(request);

  const auto until = std::chrono::steady_clock::now() + kIdleLimit;
  if (reply.silent) {
    // Hold the line without a word until the client hangs up (or the test ends).
    while (!stop_ && std::chrono::steady_clock::now() < until) {
      pollfd p{fd, POLLIN, 0};
      if (::poll(&p, 1, kSliceMs) <= 0) continue;
      char buf[4096];
      if (::recv(fd, buf, sizeof buf, 0) <= 0) return;
    }
    return;
  }
  if (reply.trickleMs <= 0) {
    sendAll(fd, reply.raw.constData(), reply.raw.size());
    return;
  }
  for (qsizetype i = 0; i < reply.raw.size() && !stop_; ++i) {
    if (std::chrono::steady_clock::now() > until) return;
    if (!sendAll(fd, reply.raw.constData() + i, 1)) return;  // the client gave up
    std::this_thread::sleep_for(std::chrono::milliseconds(reply.trickleMs));
  }
}

}  // namespace testing_orx
