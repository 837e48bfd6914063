// Load benchmark of the host executable: requests per second and latency of a trivial command
// under connection-per-request load at several concurrencies, against a minimal blocking
// thread-per-connection reference server measured in the same run on the same machine. Only
// the ratio host/reference is meaningful; absolute rates move with whatever else the machine
// is doing, which is why the two sides alternate within each concurrency.
//
// The host runs from a temporary directory with a configuration that lets the system choose
// the port; the reference server and the load generator are separate programs, so all three
// sides pay the same process costs. Every child dies with this process (parent-death signal)
// and is ended by its own PID.
//
// Each row also gives the server's CPU time per request (user plus system, from /proc), which
// moves far less with the machine's load than the rates do.
//
// Usage: bench_host_load [--seconds S] [--rounds R] [--concurrency 1,16,64] [--no-target 1]
//                        [--host-exe PATH] [--loadgen PATH] [--refserver PATH]
// Exit code: 0 when the host reaches the target at every concurrency (at least the reference's
// rate, at most 1.25 times its CPU time per request) with no errors, 1 when it does not, 2 when
// the run failed or any request failed. With --no-target 1 the figures are not judged (a smoke
// run on a busy machine).
#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <sys/prctl.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <map>
#include <optional>
#include <regex>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

namespace {

namespace fs = std::filesystem;
using Clock = std::chrono::steady_clock;
using namespace std::chrono_literals;

constexpr double kTargetShare = 1.0;      // host req/s over the reference's, at least
constexpr double kTargetCpuRatio = 1.25;  // host CPU per request over the reference's, at most

#ifndef ZARVO_HOST_EXE
#define ZARVO_HOST_EXE ""
#endif
#ifndef ZARVO_LOADGEN
#define ZARVO_LOADGEN ""
#endif
#ifndef ZARVO_REFSERVER
#define ZARVO_REFSERVER ""
#endif

struct Options {
  double seconds = 3.0;
  int rounds = 2;
  std::vector<int> concurrencies{1, 16, 64};
  std::string hostExe = ZARVO_HOST_EXE;
  std::string loadgen = ZARVO_LOADGEN;
  std::string refserver = ZARVO_REFSERVER;
  bool judgeRate = true;
};

// A child process started by this program; ended by its PID when this object goes.
class Child {
 public:
  // Starts `argv` with stdout and stderr into `logFile` (or a pipe when empty) and `cwd` as
  // working directory.
  Child(const std::vector<std::string>& argv, const std::string& logFile, const std::string& cwd) {
    int out[2] = {-1, -1};
    if (logFile.empty() && ::pipe2(out, O_CLOEXEC) != 0) return;
    const pid_t parent = ::getpid();
    pid_ = ::fork();
    if (pid_ == 0) {
      // Nothing to clean up if this program is killed: the child follows it.
      ::prctl(PR_SET_PDEATHSIG, SIGKILL);
      if (::getppid() != parent) ::_exit(127);
      int fd = logFile.empty() ? out[1]
                               : ::open(logFile.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
      if (fd < 0 || ::dup2(fd, 1) < 0 || ::dup2(fd, 2) < 0) ::_exit(127);
      if (!cwd.empty() && ::chdir(cwd.c_str()) != 0) ::_exit(127);
      std::vector<char*> args;
      for (const auto& a : argv) args.push_back(const_cast<char*>(a.c_str()));
      args.push_back(nullptr);
      ::execv(args[0], args.data());
      ::_exit(127);
    }
    if (!logFile.empty()) return;
    ::close(out[1]);
    if (pid_ > 0) {
      output_ = out[0];
    } else {
      ::close(out[0]);
    }
  }
  ~Child() {
    end();
    if (output_ >= 0) ::close(output_);
  }
  Child(const Child&) = delete;
  Child& operator=(const Child&) = delete;

  pid_t pid() const { return pid_; }
  bool running() {
    if (pid_ <= 0 || exited_) return false;
    int status = 0;
    if (::waitpid(pid_, &status, WNOHANG) == pid_) exited_ = true;
    return !exited_;
  }

  // Everything the child writes to its pipe until it exits or `limit` passes; kills it then.
  std::string readAll(std::chrono::milliseconds limit) {
    std::string text;
    const auto deadline = Clock::now() + limit;
    char buf[4096];
    while (output_ >= 0) {
      const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(deadline -
                                                                              Clock::now());
      if (left <= 0ms) break;
      pollfd p{output_, POLLIN, 0};
      if (::poll(&p, 1, int(left.count())) <= 0) continue;
      const ssize_t n = ::read(output_, buf, sizeof buf);
      if (n <= 0) break;
      text.append(buf, size_t(n));
    }
    end();
    return text;
  }

  // SIGTERM, a bounded wait, then SIGKILL; only ever this child's own PID.
  void end() {
    if (pid_ <= 0 || exited_) return;
    ::kill(pid_, SIGTERM);
    for (int i = 0; i < 100; ++i) {
      if (!running()) return;
      std::this_thread::sleep_for(50ms);
    }
    ::kill(pid_, SIGKILL);
    ::waitpid(pid_, nullptr, 0);
    exited_ = true;
  }

  // User plus system CPU time of the whole process so far, threads that ended included.
  double cpuSeconds() const {
    std::ifstream stat("/proc/" + std::to_string(pid_) + "/stat");
    std::string line;
    std::getline(stat, line);
    const size_t afterName = line.rfind(')');
    if (afterName == std::string::npos) return 0;
    std::istringstream fields(line.substr(afterName + 2));
    std::string f;
    unsigned long long utime = 0, stime = 0;
    for (int i = 3; i <= 15 && fields >> f; ++i) {
      if (i == 14) utime = std::strtoull(f.c_str(), nullptr, 10);
      if (i == 15) stime = std::strtoull(f.c_str(), nullptr, 10);
    }
    return double(utime + stime) / double(::sysconf(_SC_CLK_TCK));
  }

 private:
  pid_t pid_ = -1;
  int output_ = -1;
  bool exited_ = false;
};

// Waits for `pattern` in a child's log file; its first group is the port.
int waitForPort(Child& child, const std::string& logFile, const std::regex& pattern,
                std::chrono::milliseconds limit) {
  const auto deadline = Clock::now() + limit;
  while (Clock::now() < deadline && child.running()) {
    std::ifstream in(logFile);
    std::stringstream text;
    text << in.rdbuf();
    std::smatch m;
    const std::string s = text.str();
    if (std::regex_search(s, m, pattern)) return std::atoi(m[1].str().c_str());
    std::this_thread::sleep_for(50ms);
  }
  return 0;
}

struct Result {
  long requests = 0;
  long errors = 0;
  double seconds = 0;
  double rps = 0;
  long p50Us = 0;
  long p99Us = 0;
  double cpuUsPerRequest = 0;
  std::string firstError;
  bool ok = false;
};

std::optional<std::string> field(const std::string& line, const std::string& key) {
  const std::regex re(key + "=(\"[^\"]*\"|[^ \n]*)");
  std::smatch m;
  if (!std::regex_search(line, m, re)) return std::nullopt;
  std::string v = m[1].str();
  if (v.size() >= 2 && v.front() == '"') v = v.substr(1, v.size() - 2);
  return v;
}

Result runLoad(const Options& o, Child& server, int port, int concurrency) {
  const double cpuBefore = server.cpuSeconds();
  Child gen({o.loadgen, "--port", std::to_string(port), "--concurrency",
             std::to_string(concurrency), "--seconds", std::to_string(o.seconds)},
            "", "");
  const auto limit = std::chrono::milliseconds(long(o.seconds * 1000) + 30'000);
  const std::string out = gen.readAll(limit);
  Result r;
  const auto requests = field(out, "requests");
  if (!requests) {
    r.firstError = "load generator failed: " + out;
    return r;
  }
  r.ok = true;
  r.requests = std::atol(requests->c_str());
  r.errors = std::atol(field(out, "errors").value_or("0").c_str());
  r.seconds = std::atof(field(out, "seconds").value_or("0").c_str());
  r.rps = std::atof(field(out, "rps").value_or("0").c_str());
  r.p50Us = std::atol(field(out, "p50_us").value_or("0").c_str());
  r.p99Us = std::atol(field(out, "p99_us").value_or("0").c_str());
  r.firstError = field(out, "first_error").value_or("");
  // Includes the warm-up's requests in the CPU but not in the count: a slight overestimate
  // that is the same for both sides.
  if (r.requests > 0) r.cpuUsPerRequest = (server.cpuSeconds() - cpuBefore) * 1e6 / r.requests;
  return r;
}

void printRow(int concurrency, const char* side, int round, const Result& r) {
  std::printf("%5d  %-9s %5d  %9.0f  %8.2f  %8.2f  %6ld  %9.0f  %s\n", concurrency, side, round,
              r.rps, r.p50Us / 1000.0, r.p99Us / 1000.0, r.errors, r.cpuUsPerRequest,
              r.firstError.c_str());
  std::fflush(stdout);
}

bool parseOptions(int argc, char** argv, Options& o) {
  for (int i = 1; i + 1 < argc; i += 2) {
    const std::string opt = argv[i];
    const std::string v = argv[i + 1];
    if (opt == "--seconds") {
      o.seconds = std::atof(v.c_str());
    } else if (opt == "--rounds") {
      o.rounds = std::atoi(v.c_str());
    } else if (opt == "--concurrency") {
      o.concurrencies.clear();
      std::stringstream list(v);
      for (std::string item; std::getline(list, item, ',');) {
        o.concurrencies.push_back(std::atoi(item.c_str()));
      }
    } else if (opt == "--no-target") {
      o.judgeRate = v != "1";
    } else if (opt == "--host-exe") {
      o.hostExe = v;
    } else if (opt == "--loadgen") {
      o.loadgen = v;
    } else if (opt == "--refserver") {
      o.refserver = v;
    } else {
      return false;
    }
  }
  const bool goodLevels =
      !o.concurrencies.empty() &&
      std::all_of(o.concurrencies.begin(), o.concurrencies.end(),
                  [](int c) { return c >= 1 && c <= 1024; });
  return argc % 2 == 1 && o.seconds > 0 && o.seconds <= 120 && o.rounds >= 1 &&
         o.rounds <= 20 && goodLevels && !o.hostExe.empty() && !o.loadgen.empty() &&
         !o.refserver.empty();
}

// A private directory that holds the host's copy and the logs; removed at the end.
class TempDir {
 public:
  TempDir() {
    std::string pattern = (fs::temp_directory_path() / "hostloadXXXXXX").string();
    if (::mkdtemp(pattern.data())) path_ = pattern;
  }
  ~TempDir() {
    std::error_code ignored;
    if (!path_.empty()) fs::remove_all(path_, ignored);
  }
  const fs::path& path() const { return path_; }

 private:
  fs::path path_;
};

}  // namespace

int main(int argc, char** argv) {
  Options o;
  if (!parseOptions(argc, argv, o)) {
    std::fprintf(stderr,
                 "usage: bench_host_load [--seconds S<=120] [--rounds R<=20] "
                 "[--concurrency 1,16,64] [--no-target 1] [--host-exe PATH] [--loadgen PATH] "
                 "[--refserver PATH]\n");
    return 2;
  }
  std::signal(SIGPIPE, SIG_IGN);
  TempDir dir;
  if (dir.path().empty()) {
    std::perror("bench_host_load: temporary directory");
    return 2;
  }
  const fs::path exe = dir.path() / "ZarvoPluginDSM";
  std::error_code err;
  fs::copy_file(o.hostExe, exe, err);
  if (err) {
    std::fprintf(stderr, "bench_host_load: cannot copy %s: %s\n", o.hostExe.c_str(),
                 err.message().c_str());
    return 2;
  }
  std::ofstream(dir.path() / "ZarvoPluginDSM.cfg")
      << "<ApplicationConfig><Name>b</Name></ApplicationConfig>";

  const std::string hostLog = (dir.path() / "host.log").string();
  const std::string refLog = (dir.path() / "ref.log").string();
  Child host({exe.string(), "-exec"}, hostLog, dir.path().string());
  Child ref({o.refserver}, refLog, dir.path().string());
  const int hostPort = waitForPort(
      host, hostLog, std::regex("Listening incomming requests on port: (\\d+)"), 20s);
  const int refPort = waitForPort(ref, refLog, std::regex("port (\\d+)"), 20s);
  if (hostPort == 0 || refPort == 0) {
    std::fprintf(stderr, "bench_host_load: no port (host %d, reference %d)\n", hostPort,
                 refPort);
    return 2;
  }

  std::printf("Connection-per-request POST /NoSuchCommand, %.1f s per run, %d round(s), "
              "%u cores\n",
              o.seconds, o.rounds, std::thread::hardware_concurrency());
  std::printf("conc.  server    round      req/s   p50 ms    p99 ms  errors  CPU us/req\n");
  struct Sum {
    long requests = 0, errors = 0;
    double seconds = 0;
    double cpuUs = 0;  // the server's CPU time over the measured requests
  };
  std::map<int, std::pair<Sum, Sum>> sums;  // concurrency -> (host, reference)
  bool failed = false;
  for (int c : o.concurrencies) {
    for (int round = 1; round <= o.rounds; ++round) {
      // Alternating which side goes first cancels a slow drift of the machine's load.
      const bool hostFirst = round % 2 == 0;
      for (int side = 0; side < 2; ++side) {
        const bool isHost = (side == 0) == hostFirst;
        const Result r = runLoad(o, isHost ? host : ref, isHost ? hostPort : refPort, c);
        printRow(c, isHost ? "host" : "reference", round, r);
        failed = failed || !r.ok || r.errors != 0;
        Sum& s = isHost ? sums[c].first : sums[c].second;
        s.requests += r.requests;
        s.errors += r.errors;
        s.seconds += r.seconds;
        s.cpuUs += r.cpuUsPerRequest * double(r.requests);
      }
    }
    if (!host.running() || !ref.running()) {
      std::fprintf(stderr, "bench_host_load: a server ended during the run\n");
      return 2;
    }
  }

  std::printf(
      "\nconc.  host req/s  reference req/s  host/reference  CPU/req host/reference  "
      "errors (host, ref)\n");
  bool met = true;
  for (int c : o.concurrencies) {
    const Sum& h = sums[c].first;
    const Sum& r = sums[c].second;
    const double hostRps = h.seconds > 0 ? h.requests / h.seconds : 0;
    const double refRps = r.seconds > 0 ? r.requests / r.seconds : 0;
    const double ratio = refRps > 0 ? hostRps / refRps : 0;
    const double hostCpu = h.requests > 0 ? h.cpuUs / double(h.requests) : 0;
    const double refCpu = r.requests > 0 ? r.cpuUs / double(r.requests) : 0;
    const double cpuRatio = refCpu > 0 ? hostCpu / refCpu : 0;
    std::printf("%5d  %10.0f  %15.0f  %14.2f  %22.2f  %ld, %ld\n", c, hostRps, refRps, ratio,
                cpuRatio, h.errors, r.errors);
    if (ratio < kTargetShare || cpuRatio > kTargetCpuRatio || h.errors != 0) met = false;
  }
  const bool judged = o.judgeRate;
  std::printf("target (host >= %.2fx the reference's req/s and <= %.2fx its CPU per request at "
              "every concurrency, no errors): %s\n",
              kTargetShare, kTargetCpuRatio, !judged ? "not judged" : met ? "met" : "NOT met");
  host.end();
  ref.end();
  if (failed) return 2;
  return met || !judged ? 0 : 1;
}
