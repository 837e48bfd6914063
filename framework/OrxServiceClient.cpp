// OrxServiceClient over POSIX sockets: a non-blocking socket driven by poll(), so every wait has
// its own limit and the whole response read has a deadline, on any thread, without an event loop.
#include "framework/OrxServiceClient.h"

#include <arpa/inet.h>
#include <fcntl.h>
#include <netdb.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <climits>
#include <memory>
#include <thread>
#include <utility>

#include "NSFindService_Request.h"
#include "NSFindService_Response.h"
#include "framework/CallService.h"
#include "framework/LMXPacket.h"
#include "framework/Log.h"

namespace {

using Clock = std::chrono::steady_clock;
using std::chrono::milliseconds;

// Closes the descriptor on every path out of an exchange.
class SocketFd {
 public:
  explicit SocketFd(int fd) : fd_(fd) {}
  ~SocketFd() {
    if (fd_ >= 0) ::close(fd_);
  }
  SocketFd(const SocketFd&) = delete;
  SocketFd& operator=(const SocketFd&) = delete;
  int get() const { return fd_; }
  int release() { return std::exchange(fd_, -1); }

 private:
  int fd_;
};

int toPollMs(milliseconds wait) {
  return int(std::clamp<milliseconds::rep>(wait.count(), 0, INT_MAX));
}

// Rounded up, so a wait never ends before its deadline.
milliseconds remaining(Clock::time_point deadline) {
  return std::max(milliseconds(0), std::chrono::ceil<milliseconds>(deadline - Clock::now()));
}

// Waits until `events` are ready on fd or `wait` ends; false on time-out or poll failure.
// Signals do not shorten the wait.
bool waitFor(int fd, short events, milliseconds wait) {
  const Clock::time_point deadline = Clock::now() + wait;
  for (;;) {
    pollfd p{fd, events, 0};
    const int n = ::poll(&p, 1, toPollMs(remaining(deadline)));
    if (n > 0) return true;  // ready, or an error the next call reports
    if (n == 0) return false;
    if (errno != EINTR) return false;
    if (Clock::now() >= deadline) return false;
  }
}

// A connected non-blocking socket to host:port, trying each resolved address until `wait` ends.
int connectTo(const QString& host, int port, milliseconds wait) {
  const Clock::time_point deadline = Clock::now() + wait;
  addrinfo hints{};
  hints.ai_family = AF_UNSPEC;
  hints.ai_socktype = SOCK_STREAM;
  hints.ai_flags = AI_NUMERICSERV;
  addrinfo* found = nullptr;
  const QByteArray name = host.toUtf8();
  const QByteArray service = QByteArray::number(port);
  if (name.isEmpty() || ::getaddrinfo(name.constData(), service.constData(), &hints, &found) != 0) {
    return -1;
  }
  std::unique_ptr<addrinfo, void (*)(addrinfo*)> list(found, ::freeaddrinfo);
  for (const addrinfo* a = found; a && Clock::now() < deadline; a = a->ai_next) {
    SocketFd fd(
        ::socket(a->ai_family, a->ai_socktype | SOCK_NONBLOCK | SOCK_CLOEXEC, a->ai_protocol));
    if (fd.get() < 0) continue;
    if (::connect(fd.get(), a->ai_addr, a->ai_addrlen) != 0) {
      if (errno != EINPROGRESS) continue;
      if (!waitFor(fd.get(), POLLOUT, remaining(deadline))) continue;
      int error = 0;
      socklen_t length = sizeof error;
      if (::getsockopt(fd.get(), SOL_SOCKET, SO_ERROR, &error, &length) != 0 || error != 0) {
        continue;
      }
    }
    return fd.release();
  }
  return -1;
}

void sendAll(int fd, const QByteArray& data, milliseconds wait) {
  qsizetype sent = 0;
  while (sent < data.size()) {
    // MSG_NOSIGNAL: a peer that hung up must fail this exchange, not end the process.
    const ssize_t n = ::send(fd, data.constData() + sent, size_t(data.size() - sent), MSG_NOSIGNAL);
    if (n > 0) {
      sent += n;
      continue;
    }
    if (n < 0 && errno == EINTR) continue;
    if (n < 0 && (errno == EAGAIN || errno == EWOULDBLOCK) && waitFor(fd, POLLOUT, wait)) continue;
    throw OrxServiceClient::CommunicationError();
  }
}

// Reads what has arrived into `buffer`; waits at most `wait` for the first byte. Returns the
// count; throws when nothing came, the peer closed or the read failed.
qsizetype receiveSome(int fd, char* buffer, qsizetype size, milliseconds wait) {
  for (;;) {
    if (!waitFor(fd, POLLIN, wait)) throw OrxServiceClient::CommunicationError();
    const ssize_t n = ::recv(fd, buffer, size_t(size), 0);
    if (n > 0) return qsizetype(n);
    if (n < 0 && (errno == EINTR || errno == EAGAIN || errno == EWOULDBLOCK)) continue;
    throw OrxServiceClient::CommunicationError();
  }
}

bool isNamingServiceCommand(const QString& command) {
  return command == QLatin1String("NSRegisterService") ||
         command == QLatin1String("NSFindService") || command == QLatin1String("OrxGetVersion");
}

}  // namespace

OrxServiceClient* OrxServiceClient::instance() {
  static std::mutex creation;
  static OrxServiceClient* client = nullptr;  // kept until exit: threads may still call late
  std::lock_guard<std::mutex> lock(creation);
  if (!client) client = new OrxServiceClient();
  return client;
}

void OrxServiceClient::setNamingServiceUrl(const QUrl& url) {
  std::lock_guard<std::mutex> lock(mutex_);
  namingServiceUrl_ = url;
}

QUrl OrxServiceClient::namingServiceUrl() const {
  std::lock_guard<std::mutex> lock(mutex_);
  return namingServiceUrl_;
}

OrxServiceClient::Limits OrxServiceClient::limits() const {
  std::lock_guard<std::mutex> lock(mutex_);
  return limits_;
}

void OrxServiceClient::setLimits(const Limits& limits) {
  std::lock_guard<std::mutex> lock(mutex_);
  limits_ = limits;
}

QUrl OrxServiceClient::findServiceUrl(const QString& command, bool refresh) {
  if (isNamingServiceCommand(command)) return namingServiceUrl();
  if (!refresh) {
    std::lock_guard<std::mutex> lock(mutex_);
    auto it = cache_.find(command);
    if (it != cache_.end()) return QUrl(it->second);
  }
  Zarvo::LMXRequest<NSFindService_Request::c_OrxRequest> request;
  (void)request.set_Command(command.toStdU16String());
  using FindResponse = Zarvo::LMXResponse<NSFindService_Response::c_OrxResponse>;
  const std::unique_ptr<FindResponse> response =
      Zarvo::Application::callService<FindResponse>(request, true);
  if (!response || response->result() != 0) throw UnknownCommand();
  const QString url = QString::fromStdU16String(response->get_ServiceURL()).trimmed();
  // An empty answer names no service; caching it would only send the next call nowhere.
  if (url.isEmpty()) throw UnknownCommand();
  std::lock_guard<std::mutex> lock(mutex_);
  cache_[command] = url;
  return QUrl(url);
}

QByteArray OrxServiceClient::SendRequest(const QByteArray& bytes, const QString& command,
                                         bool wait) {
  for (int attempt = 1;; ++attempt) {
    try {
      // Every attempt after the first asks afresh: the service may have moved.
      const QUrl url = findServiceUrl(command, attempt != 1);
      return exchange(bytes, url, command, wait);
    } catch (const ConnectionError&) {
      if (attempt >= kAttempts) throw;
    } catch (const UnknownCommand&) {
      if (attempt >= kAttempts) throw;
    }
    const milliseconds delay = limits().retryDelay;
    ZLOG("err") << "SendRequest retry in "
                << std::chrono::duration_cast<std::chrono::seconds>(delay).count() << "sec.";
    std::this_thread::sleep_for(delay);
  }
}

QByteArray OrxServiceClient::exchange(const QByteArray& bytes, const QUrl& url,
                                      const QString& command, bool wait) {
  const Limits limits = this->limits();
  ++connectionAttempts_;
  SocketFd fd(connectTo(url.host(), url.port(80), limits.connectWait));
  if (fd.get() < 0) throw ConnectionError();

  HTTPRequestHeader head(QStringLiteral("GET"), command);
  head.setValue(kContentLength, QString::number(bytes.size()));
  // Head and body in one write: two small writes would wait on the peer's delayed ACK.
  sendAll(fd.get(), head.toByteArray() + bytes, limits.writeWait);
  if (!wait) return QByteArray();

  const Clock::time_point deadline = Clock::now() + limits.readTotal;
  auto nextWait = [&] {
    const milliseconds left = remaining(deadline);
    if (left.count() == 0) throw CommunicationError();
    return std::min(limits.readWait, left);
  };

  char buffer[16 * 1024];
  HTTPResponseParser parser(limits.head);
  QByteArray body;
  while (parser.state() != HTTPParser::Complete) {
    const qsizetype n = receiveSome(fd.get(), buffer, qsizetype(sizeof buffer), nextWait());
    qsizetype taken = 0;
    try {
      taken = parser.parse(buffer, n);
    } catch (const HTTPParser::ParsingError&) {
      throw CommunicationError();
    }
    if (parser.state() == HTTPParser::Failed) throw CommunicationError();
    if (parser.state() == HTTPParser::Complete) body.append(buffer + taken, n - taken);
  }

  if (!parser.hasValue(kContentLength)) return QByteArray();  // the caller reports the format
  const qint64 length = contentLength(parser);
  if (length < 0 || length > limits.maxBody) throw CommunicationError();
  if (body.size() > length) body.truncate(qsizetype(length));  // nothing follows a response
  // Grown as bytes arrive: an announced length alone does not buy memory.
  body.reserve(qsizetype(std::min<qint64>(length, qint64(1) << 20)));
  while (body.size() < length) {
    const qsizetype wanted =
        qsizetype(std::min<qint64>(qint64(sizeof buffer), length - qint64(body.size())));
    const qsizetype n = receiveSome(fd.get(), buffer, wanted, nextWait());
    body.append(buffer, n);
  }
  return body;
}

namespace Zarvo {

QString localAddressFor(const QString& host) {
  const QByteArray text = host.toLatin1();
  const in_addr_t target = ::inet_addr(text.constData());
  if (host.isEmpty() || target == INADDR_NONE) return QString();
  SocketFd fd(::socket(AF_INET, SOCK_DGRAM | SOCK_CLOEXEC, 0));
  if (fd.get() < 0) return QString();
  // Connecting a datagram socket sends nothing; it only makes the kernel choose the route
  // and with it the source address.
  sockaddr_in peer{};
  peer.sin_family = AF_INET;
  peer.sin_addr.s_addr = target;
  peer.sin_port = htons(9);
  if (::connect(fd.get(), reinterpret_cast<const sockaddr*>(&peer), sizeof peer) != 0) {
    return QString();
  }
  sockaddr_in local{};
  socklen_t length = sizeof local;
  if (::getsockname(fd.get(), reinterpret_cast<sockaddr*>(&local), &length) != 0) {
    return QString();
  }
  char dotted[INET_ADDRSTRLEN] = {};
  if (!::inet_ntop(AF_INET, &local.sin_addr, dotted, sizeof dotted)) return QString();
  return QString::fromLatin1(dotted);
}

}  // namespace Zarvo
