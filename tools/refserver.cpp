// A minimal blocking HTTP server, one thread per connection, used as the yardstick of the host's
// load benchmark: whatever rate it reaches on a machine is what a connection-per-request server
// of this shape can do there, so the host is judged against it rather than against a number.
//
// Per connection: read the head to the empty line and then Content-Length body bytes, write a
// fixed small 200 answer, wait for the peer to close, close. Threads get a small explicit stack
// so that thread creation costs stay out of the comparison.
//
// Usage: refserver [--port N] [--lifetime-seconds S] [--stack-kib K]
// Listens on 127.0.0.1 only and prints "port N" on stdout once listening. Ends on SIGTERM or
// SIGINT, or when the lifetime (default 900 s) is over, so a forgotten instance cannot linger.
#include <arpa/inet.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <poll.h>
#include <pthread.h>
#include <sys/socket.h>
#include <sys/time.h>
#include <unistd.h>

#include <atomic>
#include <cctype>
#include <cerrno>
#include <chrono>
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <string_view>

namespace {

std::atomic<bool> stopping{false};
std::atomic<int> liveConnections{0};
constexpr int kMaxConnections = 2048;  // beyond this a connection is refused by closing it
constexpr int kReadTimeoutSeconds = 30;
constexpr size_t kMaxHead = 64 * 1024;
constexpr long kMaxBody = 16 * 1024 * 1024;

const std::string& answer() {
  static const std::string body =
      "<?xml version=\"1.0\" encoding=\"UTF-8\"?><OrxResponse><Result>0</Result>"
      "<Details>OK</Details></OrxResponse>";
  static const std::string whole =
      "HTTP/1.1 200 OK\r\nContent-Length: " + std::to_string(body.size()) + "\r\n\r\n" + body;
  return whole;
}

// Content-Length of a complete head, or -1 when absent or not a number.
long contentLength(std::string_view head) {
  static constexpr std::string_view kName = "content-length:";
  size_t lineStart = head.find("\r\n");
  while (lineStart != std::string_view::npos && lineStart + 2 < head.size()) {
    lineStart += 2;
    const size_t lineEnd = head.find("\r\n", lineStart);
    const std::string_view line = head.substr(lineStart, lineEnd - lineStart);
    if (line.size() > kName.size()) {
      bool match = true;
      for (size_t i = 0; i < kName.size() && match; ++i) {
        match = char(std::tolower(static_cast<unsigned char>(line[i]))) == kName[i];
      }
      if (match) {
        const std::string value(line.substr(kName.size()));
        char* end = nullptr;
        const long n = std::strtol(value.c_str(), &end, 10);
        return end == value.c_str() || n < 0 ? -1 : n;
      }
    }
    lineStart = lineEnd;
  }
  return -1;
}

bool writeAll(int fd, const char* p, size_t n) {
  while (n > 0) {
    const ssize_t w = ::send(fd, p, n, MSG_NOSIGNAL);
    if (w < 0 && errno == EINTR) continue;
    if (w <= 0) return false;
    p += w;
    n -= size_t(w);
  }
  return true;
}

// Reads one request; false when the peer failed to send a complete one.
bool readRequest(int fd) {
  std::string data;
  char buf[4096];
  size_t headEnd = std::string::npos;
  while (headEnd == std::string::npos) {
    const ssize_t r = ::recv(fd, buf, sizeof buf, 0);
    if (r < 0 && errno == EINTR) continue;
    if (r <= 0) return false;
    data.append(buf, size_t(r));
    headEnd = data.find("\r\n\r\n");
    if (headEnd == std::string::npos && data.size() > kMaxHead) return false;
  }
  const long length = contentLength(std::string_view(data).substr(0, headEnd + 2));
  if (length < 0 || length > kMaxBody) return false;
  size_t have = data.size() - (headEnd + 4);
  while (have < size_t(length)) {
    const ssize_t r = ::recv(fd, buf, sizeof buf, 0);
    if (r < 0 && errno == EINTR) continue;
    if (r <= 0) return false;
    have += size_t(r);
  }
  return true;
}

void* serve(void* arg) {
  const int fd = int(reinterpret_cast<intptr_t>(arg));
  if (readRequest(fd)) {
    (void)writeAll(fd, answer().data(), answer().size());
  } else {
    static const char kBad[] = "HTTP/1.1 400 Bad request\r\n\r\n";
    (void)writeAll(fd, kBad, sizeof kBad - 1);
  }
  // One request per connection: the peer closes first, so this side avoids TIME_WAIT.
  char sink[512];
  for (;;) {
    const ssize_t r = ::recv(fd, sink, sizeof sink, 0);
    if (r < 0 && errno == EINTR) continue;
    if (r <= 0) break;
  }
  ::close(fd);
  liveConnections.fetch_sub(1);
  return nullptr;
}

void onSignal(int) { stopping.store(true); }

}  // namespace

int main(int argc, char** argv) {
  int port = 0;
  long lifetime = 900;
  long stackKiB = 64;
  for (int i = 1; i + 1 < argc; i += 2) {
    const std::string_view opt = argv[i];
    const long value = std::strtol(argv[i + 1], nullptr, 10);
    if (opt == "--port") port = int(value);
    else if (opt == "--lifetime-seconds") lifetime = value;
    else if (opt == "--stack-kib") stackKiB = value;
    else {
      std::fprintf(stderr, "usage: refserver [--port N] [--lifetime-seconds S] [--stack-kib K]\n");
      return 2;
    }
  }
  if (port < 0 || port > 65535 || lifetime <= 0 || stackKiB < 16) {
    std::fprintf(stderr, "refserver: bad option value\n");
    return 2;
  }

  struct sigaction sa {};
  sa.sa_handler = onSignal;  // no SA_RESTART: poll() must return to see the flag
  sigaction(SIGTERM, &sa, nullptr);
  sigaction(SIGINT, &sa, nullptr);
  std::signal(SIGPIPE, SIG_IGN);

  const int server = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
  const int one = 1;
  setsockopt(server, SOL_SOCKET, SO_REUSEADDR, &one, sizeof one);
  sockaddr_in addr{};
  addr.sin_family = AF_INET;
  addr.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  addr.sin_port = htons(uint16_t(port));
  if (::bind(server, reinterpret_cast<sockaddr*>(&addr), sizeof addr) != 0 ||
      ::listen(server, 1024) != 0) {
    std::perror("refserver: listen");
    return 1;
  }
  socklen_t len = sizeof addr;
  getsockname(server, reinterpret_cast<sockaddr*>(&addr), &len);
  std::printf("port %d\n", ntohs(addr.sin_port));
  std::fflush(stdout);

  pthread_attr_t attr;
  pthread_attr_init(&attr);
  pthread_attr_setdetachstate(&attr, PTHREAD_CREATE_DETACHED);
  pthread_attr_setstacksize(&attr, size_t(stackKiB) * 1024);
  const timeval readTimeout{kReadTimeoutSeconds, 0};

  const auto end = std::chrono::steady_clock::now() + std::chrono::seconds(lifetime);
  while (!stopping.load() && std::chrono::steady_clock::now() < end) {
    pollfd p{server, POLLIN, 0};
    if (::poll(&p, 1, 200) <= 0) continue;  // wakes regularly to see the flag and the lifetime
    const int fd = ::accept4(server, nullptr, nullptr, SOCK_CLOEXEC);
    if (fd < 0) continue;
    setsockopt(fd, SOL_SOCKET, SO_RCVTIMEO, &readTimeout, sizeof readTimeout);
    setsockopt(fd, IPPROTO_TCP, TCP_NODELAY, &one, sizeof one);
    if (liveConnections.fetch_add(1) >= kMaxConnections) {
      liveConnections.fetch_sub(1);
      ::close(fd);
      continue;
    }
    pthread_t t;
    if (pthread_create(&t, &attr, serve, reinterpret_cast<void*>(intptr_t(fd))) != 0) {
      liveConnections.fetch_sub(1);
      ::close(fd);
    }
  }
  ::close(server);
  // Connections still open are cut by the process exit; their peers see a reset.
  return 0;
}
