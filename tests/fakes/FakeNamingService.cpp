// FakeNamingService: blocking POSIX sockets polled in short slices, so the destructor always
// stops the thread within a slice whatever the client does.
#include "tests/fakes/FakeNamingService.h"

#include <arpa/inet.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <QRegularExpression>
#include <chrono>
#include <cstdio>
#include <cstdlib>

#include "tests/fakes/LoopbackSocket.h"

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
  const testing_net::RawRequest raw = testing_net::readRequest(fd, stop_, kIdleLimit);
  if (stop_ || !raw.complete) return;  // the client hung up before its request was whole

  Received request;
  request.head = raw.head();
  request.body = raw.body();
  request.path = raw.target();
  const Reply reply = answerFor(request);

  const auto until = std::chrono::steady_clock::now() + kIdleLimit;
  if (reply.silent) {
    testing_net::holdSilently(fd, stop_, kIdleLimit);
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
