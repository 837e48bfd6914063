#include "framework/OrxServiceClient.h"

#include <arpa/inet.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <exception>
#include <memory>
#include <utility>

#include "NSFindService_Request.h"
#include "NSFindService_Response.h"
#include "framework/LMXPacket.h"
#include "framework/Log.h"
#include "framework/ServiceClient.h"
#include "framework/Thread.h"
#include "http/BoundedSocket.h"

namespace Zarvo {

namespace {

using std::chrono::milliseconds;

// Closes the descriptor on every path out.
class SocketFd {
 public:
  explicit SocketFd(int fd) : fd_(fd) {}
  ~SocketFd() {
    if (fd_ >= 0) ::close(fd_);
  }
  SocketFd(const SocketFd&) = delete;
  SocketFd& operator=(const SocketFd&) = delete;
  int get() const { return fd_; }

 private:
  int fd_;
};

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

OrxServiceClient::OrxServiceClient() = default;

OrxServiceClient::OrxServiceClient(const Limits& limits) : limits_(limits) {}

OrxServiceClient::Answer OrxServiceClient::call(Zarvo::Packet& request, bool wait) {
  using Zarvo::Failure;
  // Failures reach only a caller that waits for an answer.
  auto failed = [wait](const Failure& failure) {
    Answer answer;
    if (wait) answer.packet = std::make_unique<Zarvo::ResponsePacket>(failure);
    return answer;
  };
  QByteArray bytes;
  QString command;
  try {
    request.toByteArray(bytes);
    command = request.command();
  } catch (const Zarvo::WrongPacketFormat& e) {
    // Answered here rather than escaping into the caller's thread, where nothing would catch it.
    return failed(Failure::wrongRequest(e.message()));
  }
  try {
    return {nullptr, SendRequest(bytes, command, wait)};
  } catch (const ConnectionError&) {
    return failed(Failure::connectionFailed());
  } catch (const UnknownCommand&) {
    return failed(Failure::noServiceFor(command));
  } catch (const CommunicationError&) {
    return failed(Failure::communicationFailed());
  }
}

void OrxServiceClient::setNamingServiceUrl(const QUrl& url) {
  std::lock_guard<std::mutex> lock(mutex_);
  namingServiceUrl_ = url;
}

void OrxServiceClient::setNamingClient(Zarvo::ServiceClient* client) {
  std::lock_guard<std::mutex> lock(mutex_);
  namingClient_ = client;
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

void OrxServiceClient::setPause(Pause pause) {
  std::lock_guard<std::mutex> lock(mutex_);
  pause_ = std::move(pause);
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
  Zarvo::ServiceClient* through = this;
  {
    std::lock_guard<std::mutex> lock(mutex_);
    if (namingClient_) through = namingClient_;
  }
  const std::unique_ptr<FindResponse> response = through->callService<FindResponse>(request, true);
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
  const Zarvo::StopToken stop = Zarvo::Thread::currentStopToken();
  for (int attempt = 1;; ++attempt) {
    std::exception_ptr failure;
    try {
      // Every attempt after the first asks afresh: the service may have moved.
      const QUrl url = findServiceUrl(command, attempt != 1);
      return exchange(bytes, url, command, wait);
    } catch (const ConnectionError&) {
      if (attempt >= kAttempts) throw;
      failure = std::current_exception();
    } catch (const UnknownCommand&) {
      if (attempt >= kAttempts) throw;
      failure = std::current_exception();
    }
    const milliseconds delay = limits().retryDelay;
    ZLOG("err") << "SendRequest retry in "
                << std::chrono::duration_cast<std::chrono::seconds>(delay).count() << "sec.";
    // A thread asked to stop (shutdown, a cancelled job) gives up now instead of retrying.
    Pause pause;
    {
      std::lock_guard<std::mutex> lock(mutex_);
      pause = pause_;
    }
    if (pause ? pause(delay, stop) : stop.sleepFor(delay)) std::rethrow_exception(failure);
  }
}

QByteArray OrxServiceClient::exchange(const QByteArray& bytes, const QUrl& url,
                                      const QString& command, bool wait) {
  const Limits limits = this->limits();
  ++connectionAttempts_;
  Zarvo::BoundedSocket socket;
  const QString host = url.host();
  if (host.isEmpty() || !socket.connectTo(host, quint16(url.port(80)), limits.connectWait)) {
    throw ConnectionError();
  }

  HTTPRequestHeader head(QStringLiteral("GET"), command);
  head.setValue(kContentLength, QString::number(bytes.size()));
  // Head and body in one write: two small writes would wait on the peer's delayed ACK.
  if (!socket.writeAll(head.toByteArray() + bytes, limits.writeWait)) throw CommunicationError();
  if (!wait) return QByteArray();

  const QDeadlineTimer total(limits.readTotal);
  auto receive = [&](char* buffer, qint64 size) {
    const qint64 n =
        socket.readSome(buffer, size, Zarvo::BoundedSocket::nextWait(total, limits.readWait));
    if (n <= 0) throw CommunicationError();  // nothing in time, the peer closed, or an error
    return qsizetype(n);
  };

  char buffer[16 * 1024];
  HTTPResponseParser parser(limits.head);
  QByteArray body;
  while (parser.state() != HTTPParser::Complete) {
    const qsizetype n = receive(buffer, qint64(sizeof buffer));
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
    const qint64 wanted = std::min<qint64>(qint64(sizeof buffer), length - qint64(body.size()));
    body.append(buffer, receive(buffer, wanted));
  }
  return body;
}

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
