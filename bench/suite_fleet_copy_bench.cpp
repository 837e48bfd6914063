// End-to-end copy through the whole system: one DSMCopyFile of a 1 MiB PCL font from one
// simulated printer to 32 others (fetched once over the source's CGI page, then 32 downloads on
// port 9100, each with its trap-destination registration and its confirmation trap), timed from
// the request to the job's COMPLETED. Baseline in the same run: 32 raw loopback copies of the
// same bytes, all at once, to listeners that read to the end. Also a copy to one printer, so the
// ratio of the two copies shows whether the 32 downloads ran side by side.
//
// Needs root (the printers listen on ports 80 and 9100 of 127.14.0.x). Bounded: every wait ends.
#include <arpa/inet.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

#include <QDir>
#include <QFile>
#include <QProcess>
#include <QRegularExpression>
#include <QTemporaryDir>
#include <QThread>
#include <chrono>
#include <cstdio>
#include <thread>
#include <vector>

#include "tests/fakes/FakeNamingService.h"
#include "tests/fakes/HttpProbe.h"
#include "tests/fakes/QtApp.h"

namespace {

using Clock = std::chrono::steady_clock;
constexpr int kDestinations = 32;
constexpr int kFontSize = 1024 * 1024;
constexpr int kRounds = 3;

double ms(Clock::duration d) { return std::chrono::duration<double, std::milli>(d).count(); }

bool startProgram(QProcess& p, const QString& exe, const QStringList& args, const QString& dir,
                  const QByteArray& ready, quint16* port) {
  p.setProgram(exe);
  p.setArguments(QStringList{"-exec"} + args);
  p.setWorkingDirectory(dir);
  p.setProcessChannelMode(QProcess::MergedChannels);
  p.start();
  if (!p.waitForStarted(10000)) return false;
  QByteArray out;
  static const QRegularExpression listening("Listening incomming requests on port: (\\d+)");
  const auto until = Clock::now() + std::chrono::seconds(20);
  while (Clock::now() < until) {
    p.waitForReadyRead(50);
    out += p.readAll();
    const auto m = listening.match(QString::fromUtf8(out));
    if (m.hasMatch()) *port = quint16(m.captured(1).toUInt());
    if (*port && out.contains(ready)) return true;
  }
  std::fprintf(stderr, "%s did not start:\n%s\n", qPrintable(exe), out.constData());
  return false;
}

QByteArray call(quint16 port, const QByteArray& command, const QByteArray& children) {
  const QByteArray body = "<?xml version=\"1.0\" encoding=\"UTF-8\"?><OrxRequest command=\"" +
                          command + "\">" + children + "</OrxRequest>";
  return testing_http::exchange(port, testing_http::post("/" + command, body), 60000).body;
}

// Time of one copy job, request to COMPLETED; negative when it failed or ran past 120 s.
double copyJob(quint16 dsm, int id, const QStringList& to) {
  QByteArray destinations;
  for (const QString& d : to) destinations += "<DeviceIP>" + d.toLatin1() + "</DeviceIP>";
  const auto start = Clock::now();
  call(dsm, "DSMCopyFile",
       "<Source><DeviceIP>127.14.0.2</DeviceIP><File><FileName>Big font</FileName><FileSize>" +
           QByteArray::number(kFontSize) +
           "</FileSize><FileType>pclFont</FileType><FileStorageFileID>5</FileStorageFileID>"
           "</File></Source><Destinations>" +
           destinations + "</Destinations>");
  while (Clock::now() - start < std::chrono::seconds(120)) {
    const QByteArray list = call(dsm, "DSMGetOperationList", "");
    const QStringList ids = testing_orx::elementTexts(list, "ID");
    const QStringList statuses = testing_orx::elementTexts(list, "Status");
    const qsizetype at = ids.indexOf(QString::number(id));
    if (at >= 0 && statuses.value(at) == "COMPLETED") return ms(Clock::now() - start);
    if (at >= 0 && statuses.value(at) != "IN_PROGRESS") {
      std::fprintf(stderr, "copy %d ended %s\n", id, qPrintable(statuses.value(at)));
      return -1;
    }
    QThread::usleep(2000);
  }
  return -1;
}

// 32 copies of the bytes at once over loopback to listeners that read until the sender closes.
double rawCopies(const QByteArray& bytes) {
  std::vector<int> listeners;
  std::vector<quint16> ports;
  for (int i = 0; i < kDestinations; ++i) {
    const int fd = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    sockaddr_in a{};
    a.sin_family = AF_INET;
    a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    ::bind(fd, reinterpret_cast<sockaddr*>(&a), sizeof a);
    ::listen(fd, 4);
    socklen_t len = sizeof a;
    ::getsockname(fd, reinterpret_cast<sockaddr*>(&a), &len);
    listeners.push_back(fd);
    ports.push_back(ntohs(a.sin_port));
  }
  const auto start = Clock::now();
  std::vector<std::thread> threads;
  for (int i = 0; i < kDestinations; ++i) {
    threads.emplace_back([&, i] {  // the reading side
      const int c = ::accept(listeners[i], nullptr, nullptr);
      std::vector<char> buf(256 * 1024);
      while (::recv(c, buf.data(), buf.size(), 0) > 0) {
      }
      ::close(c);
    });
    threads.emplace_back([&, i] {  // the writing side
      const int fd = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
      sockaddr_in a{};
      a.sin_family = AF_INET;
      a.sin_port = htons(ports[i]);
      a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
      if (::connect(fd, reinterpret_cast<sockaddr*>(&a), sizeof a) == 0) {
        for (qsizetype done = 0; done < bytes.size();) {
          const ssize_t n = ::send(fd, bytes.constData() + done, size_t(bytes.size() - done), 0);
          if (n <= 0) break;
          done += n;
        }
      }
      ::close(fd);
    });
  }
  for (std::thread& t : threads) t.join();
  const double took = ms(Clock::now() - start);
  for (int fd : listeners) ::close(fd);
  return took;
}

}  // namespace

int main() {
  if (::geteuid() != 0) {
    std::printf("bench_suite_fleet_copy: skipped, the simulated printers need root\n");
    return 0;
  }
  testing_qt::coreApp();
  QTemporaryDir dir;
  QByteArray fleet =
      "<SuiteConfig><Fleet filesDir=\"fleet\" confirmDelayMs=\"0\">"
      "<Device id=\"1\" address=\"127.14.0.2\"><File name=\"Big font\" "
      "kind=\"pclFont\" id=\"5\" size=\"" +
      QByteArray::number(kFontSize) + "\"/></Device>";
  QStringList destinations;
  for (int i = 0; i < kDestinations; ++i) {
    destinations << QStringLiteral("127.14.0.%1").arg(i + 3);
    fleet += "<Device address=\"" + destinations.last().toLatin1() + "\"/>";
  }
  fleet += "</Fleet></SuiteConfig>";
  QFile cfg(dir.filePath("suite.cfg"));
  if (!cfg.open(QIODevice::WriteOnly)) return 1;
  cfg.write(fleet);
  cfg.close();

  QProcess suite, dsm;
  quint16 suitePort = 0, dsmPort = 0;
  if (!startProgram(suite, ZARVO_SUITE_EXE, {"--config", cfg.fileName()}, dir.path(), "Fleet ready",
                    &suitePort)) {
    return 1;
  }
  QDir(dir.path()).mkdir("dsm");
  QFile::copy(ZARVO_HOST_EXE, dir.filePath("dsm/ZarvoPluginDSM"));
  QFile dsmCfg(dir.filePath("dsm/ZarvoPluginDSM.cfg"));
  if (!dsmCfg.open(QIODevice::WriteOnly)) return 1;
  dsmCfg.write("<c><DispatcherURL>http://127.0.0.1:" + QByteArray::number(suitePort) +
               "/</DispatcherURL></c>");
  dsmCfg.close();
  if (!startProgram(dsm, dir.filePath("dsm/ZarvoPluginDSM"), {}, dir.filePath("dsm"),
                    "Registration successful", &dsmPort)) {
    return 1;
  }

  int id = 0;
  copyJob(dsmPort, id++, {destinations.first()});  // warm-up: caches, first connections
  double best32 = 1e18, best1 = 1e18, bestRaw = 1e18;
  const QByteArray bytes(kFontSize, 'f');
  bool ok = true;
  for (int round = 0; round < kRounds; ++round) {
    bestRaw = std::min(bestRaw, rawCopies(bytes));
    const double one = copyJob(dsmPort, id++, {destinations.first()});
    const double all = copyJob(dsmPort, id++, destinations);
    ok = ok && one > 0 && all > 0;
    if (one > 0) best1 = std::min(best1, one);
    if (all > 0) best32 = std::min(best32, all);
  }
  dsm.terminate();
  suite.terminate();
  dsm.waitForFinished(20000);
  suite.waitForFinished(20000);
  if (!ok) {
    std::printf("bench_suite_fleet_copy: a copy failed\n");
    return 1;
  }
  std::printf("1 MiB font to %d printers, best of %d:\n", kDestinations, kRounds);
  std::printf("  32 raw loopback copies at once   %8.1f ms\n", bestRaw);
  std::printf("  DSMCopyFile to 1 printer         %8.1f ms\n", best1);
  std::printf("  DSMCopyFile to 32 printers       %8.1f ms\n", best32);
  std::printf("  ratio copy-to-32 / raw           %8.2f (target <= 3)\n", best32 / bestRaw);
  std::printf("  ratio copy-to-32 / copy-to-1     %8.2f (32 would mean one after another)\n",
              best32 / best1);
  return 0;
}
