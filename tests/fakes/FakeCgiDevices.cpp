// FakeCgiDevices: blocking POSIX sockets polled in short slices, so the destructor always ends
// every connection thread within a slice whatever the client does.
#include "tests/fakes/FakeCgiDevices.h"

#include <arpa/inet.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <chrono>
#include <cstdio>
#include <cstdlib>

#include "tests/fakes/FakeHttpServer.h"
#include "tests/fakes/LoopbackSocket.h"

namespace testing_devices {
namespace {

constexpr int kSliceMs = 20;
constexpr auto kIdleLimit = std::chrono::seconds(60);  // a silent client is dropped after this

// Binds address:port and listens; -1 when the port is taken on that address.
int bindListener(const QString& address, quint16 port) {
  const int fd = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
  if (fd < 0) return -1;
  const int on = 1;
  ::setsockopt(fd, SOL_SOCKET, SO_REUSEADDR, &on, sizeof on);
  sockaddr_in addr{};
  addr.sin_family = AF_INET;
  addr.sin_port = htons(port);
  if (::inet_pton(AF_INET, address.toLatin1().constData(), &addr.sin_addr) != 1 ||
      (ntohl(addr.sin_addr.s_addr) >> 24) != 127) {
    std::fprintf(stderr, "FakeCgiDevices: %s is not a loopback address\n", qPrintable(address));
    std::abort();
  }
  if (::bind(fd, reinterpret_cast<sockaddr*>(&addr), sizeof addr) != 0 || ::listen(fd, 16) != 0) {
    ::close(fd);
    return -1;
  }
  return fd;
}

quint16 boundPort(int fd) {
  sockaddr_in addr{};
  socklen_t len = sizeof addr;
  ::getsockname(fd, reinterpret_cast<sockaddr*>(&addr), &len);
  return ntohs(addr.sin_port);
}

void sendAll(int fd, const QByteArray& data) {
  qsizetype sent = 0;
  while (sent < data.size()) {
    const ssize_t n = ::send(fd, data.constData() + sent, size_t(data.size() - sent), MSG_NOSIGNAL);
    if (n <= 0) return;
    sent += n;
  }
}

// (name, value) of one multipart part: `Content-Disposition: form-data; name="X"` CRLF CRLF value.
QPair<QString, QByteArray> field(const QByteArray& part) {
  const qsizetype blank = part.indexOf("\r\n\r\n");
  const QByteArray head = blank < 0 ? part : part.left(blank);
  const QByteArray marker = "name=\"";
  const qsizetype at = head.indexOf(marker);
  const qsizetype end = at < 0 ? -1 : head.indexOf('"', at + marker.size());
  const QString name =
      end < 0 ? QString()
              : QString::fromLatin1(head.mid(at + marker.size(), end - at - marker.size()));
  return {name, blank < 0 ? QByteArray() : part.mid(blank + 4)};
}

}  // namespace

FakeCgiDevices::FakeCgiDevices(const QStringList& addresses, quint16 port) {
  // With port 0 the first address picks a free port and the others must get the same one; a
  // port taken elsewhere on another address means starting over.
  for (int attempt = 0; attempt < 50 && listeners_.size() != std::size_t(addresses.size());
       ++attempt) {
    for (auto& l : listeners_) ::close(l.first);
    listeners_.clear();
    quint16 chosen = port;
    for (const QString& address : addresses) {
      const int fd = bindListener(address, chosen);
      if (fd < 0) break;
      if (chosen == 0) chosen = boundPort(fd);
      listeners_.emplace_back(fd, address);
    }
    port_ = chosen;
  }
  if (listeners_.size() != std::size_t(addresses.size())) {
    std::perror("FakeCgiDevices: cannot bind every address on one port");
    std::abort();
  }
  for (const QString& address : addresses) {
    states_[address] = std::make_unique<Zarvo::suite::DeviceState>(address);
  }
  acceptor_ = std::thread([this] { serve(); });
}

FakeCgiDevices::~FakeCgiDevices() {
  stop_ = true;
  acceptor_.join();
  std::vector<std::thread> connections;
  {
    std::lock_guard<std::mutex> lock(mutex_);
    connections.swap(connections_);
  }
  for (auto& t : connections) t.join();
  for (auto& l : listeners_) ::close(l.first);
}

Zarvo::suite::DeviceState& FakeCgiDevices::state(const QString& device) {
  const auto it = states_.find(device);
  if (it == states_.end()) {
    std::fprintf(stderr, "FakeCgiDevices: no device %s\n", qPrintable(device));
    std::abort();
  }
  return *it->second;
}

void FakeCgiDevices::putFile(const QString& device, const QString& name, const QByteArray& bytes,
                             const QString& kind) {
  Zarvo::suite::DeviceState& held = state(device);
  std::lock_guard<std::mutex> lock(mutex_);
  if (kind.isEmpty()) {
    kindless_[device][name] = bytes;
    return;
  }
  kindless_[device].remove(name);
  held.put({name, kind, 0, QStringLiteral("nonvolatile"), bytes});
}

bool FakeCgiDevices::hasFile(const QString& device, const QString& name) const {
  const auto it = states_.find(device);
  if (it == states_.end()) return false;
  {
    std::lock_guard<std::mutex> lock(mutex_);
    if (kindless_.value(device).contains(name)) return true;
  }
  for (const Zarvo::suite::StoredFile& f : it->second->files()) {
    if (f.name == name) return true;
  }
  return false;
}

void FakeCgiDevices::setReply(const QString& device, const QString& page, const CgiReply& reply) {
  std::lock_guard<std::mutex> lock(mutex_);
  replies_[{device, page}] = reply;
}

void FakeCgiDevices::clearReply(const QString& device, const QString& page) {
  std::lock_guard<std::mutex> lock(mutex_);
  replies_.remove({device, page});
}

QList<CgiRequest> FakeCgiDevices::requests() const {
  std::lock_guard<std::mutex> lock(mutex_);
  return requests_;
}

QList<CgiRequest> FakeCgiDevices::requests(const QString& device, const QString& page) const {
  QList<CgiRequest> out;
  for (const CgiRequest& r : requests()) {
    if (r.device == device && r.page == page) out.append(r);
  }
  return out;
}

int FakeCgiDevices::held() const {
  std::lock_guard<std::mutex> lock(mutex_);
  return held_;
}

bool FakeCgiDevices::waitForHeld(int n, int ms) const {
  std::unique_lock<std::mutex> lock(mutex_);
  return changed_.wait_for(lock, std::chrono::milliseconds(ms), [&] { return held_ >= n; });
}

void FakeCgiDevices::serve() {
  std::vector<pollfd> polls;
  for (const auto& l : listeners_) polls.push_back(pollfd{l.first, POLLIN, 0});
  while (!stop_) {
    if (::poll(polls.data(), polls.size(), kSliceMs) <= 0) continue;
    for (std::size_t i = 0; i < polls.size(); ++i) {
      if (!(polls[i].revents & POLLIN)) continue;
      const int fd = ::accept4(polls[i].fd, nullptr, nullptr, SOCK_CLOEXEC);
      if (fd < 0) continue;
      const QString device = listeners_[i].second;
      std::lock_guard<std::mutex> lock(mutex_);
      connections_.emplace_back([this, fd, device] {
        handle(fd, device);
        ::close(fd);
      });
    }
  }
}

void FakeCgiDevices::giveKinds(const CgiRequest& request) {
  QMap<QString, QByteArray>& kindless = kindless_[request.device];
  const auto& f = request.fields;
  // The pages take triples (FileName, FileType, FontMacroId).
  for (qsizetype i = 0; i + 1 < f.size(); ++i) {
    const QString name = QString::fromLatin1(f[i].second);
    if (f[i].first != QLatin1String("FileName") || f[i + 1].first != QLatin1String("FileType") ||
        !kindless.contains(name)) {
      continue;
    }
    const QString kind = Zarvo::suite::kindFromCode(f[i + 1].second.toInt());
    if (kind.isEmpty()) continue;  // no kind named: the device has no such file
    const quint32 id = i + 2 < f.size() && f[i + 2].first == QLatin1String("FontMacroId")
                           ? f[i + 2].second.toUInt()
                           : 0;
    states_.at(request.device)
        ->put({name, kind, id, QStringLiteral("nonvolatile"), kindless.take(name)});
  }
}

void FakeCgiDevices::handle(int fd, QString device) {
  const testing_net::RawRequest raw = testing_net::readRequest(fd, stop_, kIdleLimit);
  if (stop_ || !raw.complete) return;
  const testing_http::ParsedRequest parsed = testing_http::parseRequest(raw.data);
  CgiRequest request;
  request.device = device;
  request.page = QString::fromLatin1(parsed.target).mid(1);
  for (const QByteArray& part : testing_http::multipartParts(parsed)) {
    request.fields.append(field(part));
  }
  CgiReply reply;
  bool scripted = false;
  {
    std::lock_guard<std::mutex> lock(mutex_);
    requests_.append(request);
    changed_.notify_all();
    const auto it = replies_.find({request.device, request.page});
    scripted = it != replies_.end();
    if (scripted) {
      reply = *it;
    } else {
      giveKinds(request);
    }
  }
  if (!scripted) {
    // The printer model answers, from the request as a device reads it.
    Zarvo::suite::HttpRequest http;
    QByteArray answer = Zarvo::suite::httpAnswer(400, "malformed request\n", "text/plain");
    if (Zarvo::suite::parseHttpHead(raw.head(), &http)) {
      http.body = raw.body();
      answer = states_.at(device)->answerPage(http);
    }
    sendAll(fd, answer);
    ::shutdown(fd, SHUT_WR);
    return;
  }

  if (!reply.answer) {
    {
      std::lock_guard<std::mutex> lock(mutex_);
      ++held_;
      changed_.notify_all();
    }
    testing_net::holdSilently(fd, stop_);  // until the client hangs up (or the test ends)
    std::lock_guard<std::mutex> lock(mutex_);
    --held_;
    changed_.notify_all();
    return;
  }
  const QByteArray head =
      "HTTP/1.1 " + QByteArray::number(reply.status) + (reply.status == 200 ? " OK" : " Error") +
      "\r\nConnection: close\r\nContent-Length: " + QByteArray::number(reply.body.size()) +
      "\r\n\r\n";
  sendAll(fd, head + reply.body);
  ::shutdown(fd, SHUT_WR);
}

}  // namespace testing_devices
