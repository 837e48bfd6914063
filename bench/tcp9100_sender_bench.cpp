// Print-port download benchmark: TCP9100Sender against baselines measured in the same run.
//
//   single:   one 64 MiB download to a fake printer on loopback that confirms at once
//             vs. a raw socket copy of the same bytes to the same fake printer (plain blocking
//             write() calls, then the close): the sender's own cost per byte.
//   parallel: 8 devices (127.0.0.2 to 127.0.0.9) at once vs. one device, aggregate throughput,
//             twice: with printers that confirm at once (the machine's cores are the limit) and
//             with printers that take `--confirm-delay` ms to confirm a stored file (the device
//             is the limit, as with real printers).
//
// Each side runs `rounds` times alternately; the median is reported. Only ratios mean anything.
//
// Usage: bench_tcp9100_sender [--mib N] [--rounds R] [--confirm-delay MS]
// Exit code: 0 when the single download reaches 0.8x the raw copy and 8 device-limited devices
// reach 4x one, 1 when a target is missed, 2 when the run failed.
#include <arpa/inet.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstring>
#include <future>
#include <memory>
#include <string>
#include <thread>
#include <vector>

#include "plugin/TCP9100File.h"
#include "plugin/TCP9100Sender.h"
#include "tests/fakes/FakePrinter.h"

namespace Zarvo::dsm {
namespace {

using namespace std::chrono_literals;
using Clock = std::chrono::steady_clock;
using testing_printer::FakePrinter;

double seconds(Clock::duration d) { return std::chrono::duration<double>(d).count(); }

double median(std::vector<double> v) {
  std::sort(v.begin(), v.end());
  return v[v.size() / 2];
}

// The baseline: the same bytes through a plain blocking socket, no framing objects, no limits.
bool rawCopy(const FakePrinter& printer, const QByteArray& bytes) {
  const int fd = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
  sockaddr_in addr{};
  addr.sin_family = AF_INET;
  addr.sin_port = htons(printer.port());
  ::inet_pton(AF_INET, printer.host().toLatin1().constData(), &addr.sin_addr);
  if (::connect(fd, reinterpret_cast<sockaddr*>(&addr), sizeof addr) != 0) {
    ::close(fd);
    return false;
  }
  const char* p = bytes.constData();
  qsizetype left = bytes.size();
  while (left > 0) {
    const ssize_t n = ::write(fd, p, size_t(left));
    if (n <= 0) {
      ::close(fd);
      return false;
    }
    p += n;
    left -= n;
  }
  ::shutdown(fd, SHUT_WR);
  char c;
  while (::read(fd, &c, 1) > 0) {
  }  // the printer closes once it has read everything
  ::close(fd);
  return true;
}

struct Printers {
  std::vector<std::unique_ptr<FakePrinter>> list;
  quint16 port = 0;
};

// Printers on 127.0.0.2.. sharing one port, each confirming through `sender` after `delay`.
Printers makePrinters(int count, TCP9100Sender*& sender, std::chrono::milliseconds delay) {
  Printers p;
  for (int i = 0; i < count; ++i) {
    const QString host = QStringLiteral("127.0.0.%1").arg(2 + i);
    p.list.push_back(std::make_unique<FakePrinter>(host, p.port));
    p.port = p.list.back()->port();
    p.list.back()->keepBytes(false);
    p.list.back()->onDownload([&sender, host, delay](const FakePrinter::Download&) {
      if (delay.count() > 0) std::this_thread::sleep_for(delay);
      sender->notify(host, true, QStringLiteral("completed"));
    });
  }
  return p;
}

// Aggregate bytes per second of one download to each of the first `devices` printers at once.
double parallelRate(TCP9100Sender& sender, const Printers& printers, int devices,
                    const TCP9100File& file, bool* ok) {
  const auto start = Clock::now();
  std::vector<std::future<FileOutcome>> sends;
  for (int i = 0; i < devices; ++i) {
    const QString host = printers.list[size_t(i)]->host();
    sends.push_back(
        std::async(std::launch::async, [&sender, host, &file] { return sender.send(host, file); }));
  }
  for (auto& s : sends) *ok = s.get().succeeded && *ok;
  const double total = double(devices) *
                       double(file.header().size() + file.content().size() + file.trailer().size());
  return total / seconds(Clock::now() - start);
}

int run(int argc, char** argv) {
  int mib = 64;
  int rounds = 5;
  int confirmDelayMs = 250;
  for (int i = 1; i + 1 < argc; i += 2) {
    if (!std::strcmp(argv[i], "--mib")) mib = std::atoi(argv[i + 1]);
    if (!std::strcmp(argv[i], "--rounds")) rounds = std::atoi(argv[i + 1]);
    if (!std::strcmp(argv[i], "--confirm-delay")) confirmDelayMs = std::atoi(argv[i + 1]);
  }
  const unsigned cores = std::thread::hardware_concurrency();
  std::printf("print-port download: %d MiB, %d rounds, %u cores\n", mib, rounds, cores);

  QByteArray content(qsizetype(mib) << 20, Qt::Uninitialized);
  for (qsizetype i = 0; i < content.size(); ++i) content[i] = char((i * 131 + 7) & 0xFF);
  const TCP9100FilePCLFont file(content);
  const QByteArray wire = file.header() + file.content() + file.trailer();
  bool ok = true;

  // --- single download vs raw copy ---
  TCP9100Sender* current = nullptr;  // the sender the printers confirm to
  bool singleOk = true;
  {
    Printers one = makePrinters(1, current, 0ms);
    TCP9100Sender single(one.port, TCP9100Sender::Limits(), nullptr);
    current = &single;
    FakePrinter& printer = *one.list[0];
    std::vector<double> raw, sent;
    for (int r = 0; r < rounds; ++r) {
      auto t = Clock::now();
      ok = rawCopy(printer, wire) && ok;
      raw.push_back(double(wire.size()) / seconds(Clock::now() - t));
      t = Clock::now();
      ok = single.send(printer.host(), file).succeeded && ok;
      sent.push_back(double(wire.size()) / seconds(Clock::now() - t));
    }
    const double rawRate = median(raw), sentRate = median(sent);
    std::printf("single   raw copy %8.1f MiB/s   sender %8.1f MiB/s   ratio %.2fx (target 0.80x)\n",
                rawRate / (1 << 20), sentRate / (1 << 20), sentRate / rawRate);
    if (!ok) {
      std::printf("  a download failed\n");
      return 2;
    }
    singleOk = sentRate / rawRate >= 0.8;
    current = nullptr;
  }

  // --- 8 devices vs one ---
  bool parallelTarget = true;
  for (const int delayMs : {0, confirmDelayMs}) {
    Printers eight = makePrinters(8, current, std::chrono::milliseconds(delayMs));
    TCP9100Sender multi(eight.port, TCP9100Sender::Limits(), nullptr);
    current = &multi;
    std::vector<double> oneRate, eightRate;
    bool sendsOk = true;
    for (int r = 0; r < rounds; ++r) {
      oneRate.push_back(parallelRate(multi, eight, 1, file, &sendsOk));
      eightRate.push_back(parallelRate(multi, eight, 8, file, &sendsOk));
    }
    const double a = median(oneRate), b = median(eightRate);
    std::printf(
        "parallel confirm after %3d ms: 1 device %8.1f MiB/s   8 devices %8.1f MiB/s   "
        "ratio %.2fx (target 4x)\n",
        delayMs, a / (1 << 20), b / (1 << 20), b / a);
    if (!sendsOk) {
      std::printf("  a download failed\n");
      return 2;
    }
    if (delayMs > 0 && b / a < 4.0) parallelTarget = false;
    current = nullptr;
  }
  if (!singleOk) return 1;
  return parallelTarget ? 0 : 1;
}

}  // namespace
}  // namespace Zarvo::dsm

int main(int argc, char** argv) { return Zarvo::dsm::run(argc, argv); }
