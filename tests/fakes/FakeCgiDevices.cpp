#include "tests/fakes/FakeCgiDevices.h"

#include <chrono>
#include <cstdio>
#include <cstdlib>

#include "tests/fakes/LoopbackSocket.h"

namespace testing_devices {
namespace {

constexpr auto kIdleLimit = std::chrono::seconds(60);  // a silent client is dropped after this

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
  for (const QString& address : addresses) {
    states_[address] = std::make_unique<Zarvo::suite::DeviceState>(address);
  }
  // With port 0 the first address picks a free port and the others must get the same one; a
  // port taken elsewhere on another address means starting over.
  for (int attempt = 0; attempt < 50 && servers_.size() != std::size_t(addresses.size());
       ++attempt) {
    servers_.clear();
    quint16 chosen = port;
    for (const QString& address : addresses) {
      auto server = std::make_unique<Zarvo::suite::LoopbackServer>(
          hub_, [this, address](int fd, const std::atomic<bool>& stop) {
            return handle(fd, address, stop);
          });
      QString error;
      if (!server->listen(address, chosen, &error)) break;
      chosen = server->port();
      servers_.push_back(std::move(server));
    }
    port_ = chosen;
  }
  if (servers_.size() != std::size_t(addresses.size())) {
    std::fprintf(stderr, "FakeCgiDevices: cannot bind every address on one port\n");
    std::abort();
  }
}

FakeCgiDevices::~FakeCgiDevices() { servers_.clear(); }  // before the hub

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

void FakeCgiDevices::setReply(const QString& device, const QString& page,
                              const testing_http::Reply& reply) {
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

bool FakeCgiDevices::handle(int fd, const QString& device, const std::atomic<bool>& stop) {
  const testing_net::RawRequest raw = testing_net::readRequest(fd, stop, kIdleLimit);
  if (stop || !raw.complete) return false;
  const testing_http::ParsedRequest parsed = testing_http::parseRequest(raw.data);
  CgiRequest request;
  request.device = device;
  request.page = QString::fromLatin1(parsed.target).mid(1);
  for (const QByteArray& part : testing_http::multipartParts(parsed)) {
    request.fields.append(field(part));
  }
  testing_http::Reply reply;
  bool scripted = false;
  {
    std::lock_guard<std::mutex> lock(mutex_);
    requests_.append(request);
    changed_.notify_all();
    const auto it = replies_.find({request.device, request.page});
    scripted = it != replies_.end();
    if (scripted) {
      reply = *it;
      held_ += reply.silent ? 1 : 0;
    } else {
      giveKinds(request);
    }
  }
  if (!scripted) {
    // The printer model answers, from the request as a device reads it.
    Zarvo::suite::HttpRequest http;
    reply.raw = Zarvo::suite::httpAnswer(400, "malformed request\n", "text/plain");
    if (Zarvo::suite::parseHttpHead(raw.head(), &http)) {
      http.body = raw.body();
      reply.raw = states_.at(device)->answerPage(http);
    }
  }
  changed_.notify_all();
  testing_http::sendReply(fd, reply, stop);  // a silent one until the client hangs up
  if (reply.silent) {
    std::lock_guard<std::mutex> lock(mutex_);
    --held_;
    changed_.notify_all();
  }
  return false;
}

}  // namespace testing_devices
