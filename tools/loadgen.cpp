// Connection-per-request HTTP load generator: each of C client threads connects, sends one
// request, reads the head and Content-Length body bytes, closes, and starts over, for a fixed
// time. Prints one line of key=value results so a driver can parse it:
//   requests=N errors=E seconds=S rps=R p50_us=A p99_us=B max_us=M first_error="..."
// Latency is measured from before connect() to the last body byte.
//
// Usage: loadgen --port N [--host 127.0.0.1] [--concurrency C] [--seconds S]
//                [--warmup-ms W] [--path /Cmd] [--body TEXT] [--timeout-ms T] [--requests R]
// With --requests the run ends after R exchanges (or after S seconds, whichever comes first).
// Only loopback addresses are accepted: this program is for local benchmarks.
#include <arpa/inet.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <sys/socket.h>
#include <sys/time.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <cctype>
#include <cerrno>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <mutex>
#include <string>
#include <string_view>
#include <thread>
#include <vector>

namespace {

using Clock = std::chrono::steady_clock;

struct Options {
  std::string host = "127.0.0.1";
  int port = 0;
  int concurrency = 1;
  double seconds = 3.0;
  int warmupMs = 300;
  int timeoutMs = 10'000;
  std::string path = "/NoSuchCommand";
  std::string body = "<OrxRequest command=\"NoSuchCommand\"/>";
  long requests = 0;  // > 0: stop after this many exchanges in all
};

// Exchanges still to make when the run is bounded by a count.
std::atomic<long> remaining{0};

struct Totals {
  std::mutex mutex;
  std::vector<uint32_t> latenciesUs;
  long errors = 0;
  std::string firstError;
};

// Closes the descriptor on every way out of an exchange.
class Socket {
 public:
  Socket() : fd_(::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0)) {}
  ~Socket() {
    if (fd_ >= 0) ::close(fd_);
  }
  Socket(const Socket&) = delete;
  Socket& operator=(const Socket&) = delete;
  int fd() const { return fd_; }

 private:
  int fd_;
};

// Content-Length of a complete head, or -1 when absent or not a number.
long contentLength(std::string_view head) {
  static constexpr std::string_view kName = "content-length:";
  size_t pos = 0;
  while ((pos = head.find("\r\n", pos)) != std::string_view::npos) {
    pos += 2;
    const std::string_view line = head.substr(pos, head.find("\r\n", pos) - pos);
    if (line.size() <= kName.size()) continue;
    bool match = true;
    for (size_t i = 0; i < kName.size() && match; ++i) {
      match = char(std::tolower(static_cast<unsigned char>(line[i]))) == kName[i];
    }
    if (!match) continue;
    const std::string value(line.substr(kName.size()));
    char* end = nullptr;
    const long n = std::strtol(value.c_str(), &end, 10);
    return end == value.c_str() || n < 0 ? -1 : n;
  }
  return -1;
}

// One exchange on a fresh connection; an empty result means success, otherwise what failed.
std::string exchange(const sockaddr_in& addr, const std::string& request, int timeoutMs) {
  Socket s;
  if (s.fd() < 0) return std::string("socket: ") + std::strerror(errno);
  const timeval tv{timeoutMs / 1000, (timeoutMs % 1000) * 1000};
  setsockopt(s.fd(), SOL_SOCKET, SO_RCVTIMEO, &tv, sizeof tv);
  setsockopt(s.fd(), SOL_SOCKET, SO_SNDTIMEO, &tv, sizeof tv);
  const int one = 1;
  setsockopt(s.fd(), IPPROTO_TCP, TCP_NODELAY, &one, sizeof one);
  if (::connect(s.fd(), reinterpret_cast<const sockaddr*>(&addr), sizeof addr) != 0) {
    return std::string("connect: ") + std::strerror(errno);
  }
  size_t sent = 0;
  while (sent < request.size()) {
    const ssize_t w = ::send(s.fd(), request.data() + sent, request.size() - sent, MSG_NOSIGNAL);
    if (w < 0 && errno == EINTR) continue;
    if (w <= 0) return std::string("send: ") + std::strerror(errno);
    sent += size_t(w);
  }
  std::string data;
  char buf[4096];
  size_t headEnd = std::string::npos;
  long length = -1;
  for (;;) {
    if (headEnd == std::string::npos) {
      headEnd = data.find("\r\n\r\n");
      if (headEnd != std::string::npos) {
        if (data.compare(0, 13, "HTTP/1.1 200 ") != 0) {
          return "status: " + data.substr(0, data.find("\r\n"));
        }
        length = contentLength(std::string_view(data).substr(0, headEnd + 2));
        if (length < 0) return "head without Content-Length";
      } else if (data.size() > 64 * 1024) {
        return "head too long";
      }
    }
    if (headEnd != std::string::npos && data.size() - (headEnd + 4) >= size_t(length)) return {};
    const ssize_t r = ::recv(s.fd(), buf, sizeof buf, 0);
    if (r < 0 && errno == EINTR) continue;
    if (r < 0) return std::string("recv: ") + std::strerror(errno);
    if (r == 0) return "closed before the whole answer";
    data.append(buf, size_t(r));
  }
}

void client(const Options& o, const sockaddr_in& addr, const std::string& request,
            Clock::time_point measureFrom, Clock::time_point end, Totals& totals) {
  std::vector<uint32_t> latencies;
  latencies.reserve(1 << 16);
  long errors = 0;
  std::string firstError;
  for (Clock::time_point start = Clock::now(); start < end; start = Clock::now()) {
    if (o.requests > 0 && remaining.fetch_sub(1) <= 0) break;
    std::string error = exchange(addr, request, o.timeoutMs);
    // Errors count even in the warm-up: a server that fails early has still failed.
    if (!error.empty()) {
      if (errors++ == 0) firstError = std::move(error);
      continue;
    }
    if (start < measureFrom) continue;  // warm-up: caches and thread stacks settle
    const auto us = std::chrono::duration_cast<std::chrono::microseconds>(Clock::now() - start);
    latencies.push_back(uint32_t(std::min<int64_t>(us.count(), UINT32_MAX)));
  }
  std::lock_guard<std::mutex> lock(totals.mutex);
  totals.latenciesUs.insert(totals.latenciesUs.end(), latencies.begin(), latencies.end());
  totals.errors += errors;
  if (totals.firstError.empty()) totals.firstError = firstError;
}

uint32_t percentile(const std::vector<uint32_t>& sorted, double p) {
  if (sorted.empty()) return 0;
  const size_t i = std::min(sorted.size() - 1, size_t(p * double(sorted.size())));
  return sorted[i];
}

bool parse(int argc, char** argv, Options& o) {
  for (int i = 1; i + 1 < argc; i += 2) {
    const std::string_view opt = argv[i];
    const char* v = argv[i + 1];
    if (opt == "--host") o.host = v;
    else if (opt == "--port") o.port = std::atoi(v);
    else if (opt == "--concurrency") o.concurrency = std::atoi(v);
    else if (opt == "--seconds") o.seconds = std::atof(v);
    else if (opt == "--warmup-ms") o.warmupMs = std::atoi(v);
    else if (opt == "--timeout-ms") o.timeoutMs = std::atoi(v);
    else if (opt == "--path") o.path = v;
    else if (opt == "--body") o.body = v;
    else if (opt == "--requests") o.requests = std::atol(v);
    else return false;
  }
  return argc % 2 == 1 && o.port > 0 && o.port < 65536 && o.concurrency >= 1 &&
         o.concurrency <= 1024 && o.seconds > 0 && o.seconds <= 600 && o.warmupMs >= 0 &&
         o.timeoutMs > 0 && o.requests >= 0;
}

}  // namespace

int main(int argc, char** argv) {
  Options o;
  if (!parse(argc, argv, o)) {
    std::fprintf(stderr,
                 "usage: loadgen --port N [--host 127.0.0.1] [--concurrency C<=1024] "
                 "[--seconds S<=600] [--warmup-ms W] [--path /Cmd] [--body TEXT] "
                 "[--timeout-ms T] [--requests R]\n");
    return 2;
  }
  sockaddr_in addr{};
  addr.sin_family = AF_INET;
  addr.sin_port = htons(uint16_t(o.port));
  if (inet_pton(AF_INET, o.host.c_str(), &addr.sin_addr) != 1 ||
      (ntohl(addr.sin_addr.s_addr) >> 24) != 127) {
    std::fprintf(stderr, "loadgen: only 127.0.0.0/8 addresses are accepted\n");
    return 2;
  }
  const std::string request = "POST " + o.path + " HTTP/1.1\r\nHost: " + o.host +
                              "\r\nContent-Length: " + std::to_string(o.body.size()) +
                              "\r\n\r\n" + o.body;

  Totals totals;
  remaining = o.requests;
  const auto begin = Clock::now();
  const auto measureFrom = begin + std::chrono::milliseconds(o.warmupMs);
  const auto end = measureFrom + std::chrono::duration_cast<Clock::duration>(
                                     std::chrono::duration<double>(o.seconds));
  std::vector<std::thread> clients;
  for (int i = 0; i < o.concurrency; ++i) {
    clients.emplace_back(client, std::cref(o), std::cref(addr), std::cref(request), measureFrom,
                         end, std::ref(totals));
  }
  for (auto& t : clients) t.join();
  // The last exchanges may end a little after `end`; the rate is over the time really taken.
  const double seconds = std::chrono::duration<double>(Clock::now() - measureFrom).count();

  std::sort(totals.latenciesUs.begin(), totals.latenciesUs.end());
  const size_t n = totals.latenciesUs.size();
  std::string error = totals.firstError;
  std::replace(error.begin(), error.end(), '"', '\'');
  std::printf("requests=%zu errors=%ld seconds=%.3f rps=%.1f p50_us=%u p99_us=%u max_us=%u "
              "first_error=\"%s\"\n",
              n, totals.errors, seconds, double(n) / seconds, percentile(totals.latenciesUs, 0.50),
              percentile(totals.latenciesUs, 0.99), n ? totals.latenciesUs.back() : 0u,
              error.c_str());
  return 0;
}
