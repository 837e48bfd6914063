// Set-up shared by the suite's tests: a trap sink to wait on, our programs and net-snmp's
// command-line tools run as processes with a bound on every wait, datagrams and connections to
// loopback addresses, the suite's MIB, and requests built as they travel.
#pragma once

#include <arpa/inet.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

#include <QProcess>
#include <QRegularExpression>
#include <chrono>
#include <condition_variable>
#include <mutex>

#include "suite/PrinterMib.h"
#include "suite/SimDevice.h"
#include "suite/SuiteServices.h"
#include "tests/fakes/QtApp.h"

namespace testing_suite {

using Zarvo::suite::DeviceTrap;

// Tests that start programs do not run under ThreadSanitizer: Qt starts them in a way that
// leaves the sanitizer's view of this process wrong, so later tests of the binary report races
// that are not there. The plain and AddressSanitizer runs cover them.
#if defined(__SANITIZE_THREAD__)
#define SKIP_WHEN_STARTING_PROGRAMS() \
  GTEST_SKIP() << "starts programs, which ThreadSanitizer's bookkeeping does not survive"
#else
#define SKIP_WHEN_STARTING_PROGRAMS() (void)0
#endif

// Records traps; a test waits for a count with a bound.
class RecordingSink : public Zarvo::suite::TrapSink {
 public:
  void sendTrap(const DeviceTrap& trap) override {
    std::lock_guard<std::mutex> lock(mutex_);
    traps_ << trap;
    changed_.notify_all();
  }
  QList<DeviceTrap> waitFor(qsizetype count,
                            std::chrono::milliseconds limit = std::chrono::seconds(5)) {
    std::unique_lock<std::mutex> lock(mutex_);
    changed_.wait_for(lock, limit, [&] { return traps_.size() >= count; });
    return traps_;
  }
  // The download statuses the traps to `host` carried, in order.
  QStringList statuses(const QString& host) {
    std::lock_guard<std::mutex> lock(mutex_);
    QStringList out;
    for (const DeviceTrap& t : traps_) {
      if (t.hostIp == host) out << t.variables.value(0).second;
    }
    return out;
  }

 private:
  std::mutex mutex_;
  std::condition_variable changed_;
  QList<DeviceTrap> traps_;
};

// One of our programs, started with "-exec"; stopped with SIGTERM (the orderly way) at the end.
class Program {
 public:
  Program(const QString& exe, const QStringList& args, const QString& dir,
          const QProcessEnvironment& env = QProcessEnvironment::systemEnvironment()) {
    testing_qt::coreApp();
    process_.setProgram(exe);
    process_.setArguments(QStringList{"-exec"} + args);
    process_.setWorkingDirectory(dir);
    process_.setProcessEnvironment(env);
    process_.setProcessChannelMode(QProcess::MergedChannels);
  }
  ~Program() { stop(); }

  // Starts and waits (bounded) for the listening port and `readyLine`.
  bool start(const QString& readyLine) {
    port_ = 0;
    process_.start();
    if (!process_.waitForStarted(10000)) return false;
    static const QRegularExpression listening("Listening incomming requests on port: (\\d+)");
    const auto until = std::chrono::steady_clock::now() + std::chrono::milliseconds(20000);
    while (std::chrono::steady_clock::now() < until && process_.state() == QProcess::Running) {
      process_.waitForReadyRead(50);
      output_ += process_.readAll();
      const auto m = listening.match(QString::fromUtf8(output_));
      if (m.hasMatch()) port_ = quint16(m.captured(1).toUInt());
      static const QRegularExpression traps("Trap receiver on [0-9.]+:(\\d+)");
      const auto t = traps.match(QString::fromUtf8(output_));
      if (t.hasMatch()) trapPort_ = quint16(t.captured(1).toUInt());
      if (port_ != 0 && output_.contains(readyLine.toUtf8())) return true;
    }
    return false;
  }
  void stop() {
    if (process_.state() == QProcess::NotRunning) return;
    process_.terminate();
    if (!process_.waitForFinished(20000)) {
      process_.kill();
      process_.waitForFinished(5000);
    }
    output_ += process_.readAll();
  }
  quint16 port() const { return port_; }
  quint16 trapPort() const { return trapPort_; }
  QByteArray output() {
    output_ += process_.readAll();
    return output_;
  }
  // Waits until the program has written more, at most `limit`.
  void awaitOutput(std::chrono::milliseconds limit) {
    process_.waitForReadyRead(int(limit.count()));
    output_ += process_.readAll();
  }
  // Waits (bounded) until the program has written `text`.
  bool waitForOutput(const QByteArray& text,
                     std::chrono::milliseconds limit = std::chrono::milliseconds(10000)) {
    const auto until = std::chrono::steady_clock::now() + limit;
    while (!output().contains(text) && std::chrono::steady_clock::now() < until &&
           process_.state() == QProcess::Running) {
      process_.waitForReadyRead(50);
    }
    return output_.contains(text);
  }

 private:
  QProcess process_;
  QByteArray output_;
  quint16 port_ = 0;
  quint16 trapPort_ = 0;
};

struct Tool {
  int exit = -1;
  QString out;  // standard output
  QString err;  // standard error
  std::string all() const { return (out + err).toStdString(); }
};

// One of net-snmp's command-line tools, bounded. Unless `hostMibs`, the host's default MIB list
// is not loaded, so only the modules a test names show up in the output.
inline Tool runTool(const QString& program, const QStringList& args, bool hostMibs = false) {
  QProcess p;
  QProcessEnvironment env = QProcessEnvironment::systemEnvironment();
  if (!hostMibs) env.insert("MIBS", "");
  p.setProcessEnvironment(env);
  p.start(program, args);
  Tool t;
  if (!p.waitForFinished(20000)) {
    p.kill();
    p.waitForFinished(2000);
    return t;
  }
  t.exit = p.exitCode();
  t.out = QString::fromUtf8(p.readAllStandardOutput());
  t.err = QString::fromUtf8(p.readAllStandardError());
  return t;
}

inline sockaddr_in loopbackAddress(const QString& address, quint16 port) {
  sockaddr_in a{};
  a.sin_family = AF_INET;
  a.sin_port = htons(port);
  inet_pton(AF_INET, address.toLatin1().constData(), &a.sin_addr);
  return a;
}

// Sends each datagram from one socket, as a noisy neighbour would.
inline void sendDatagrams(const QString& address, quint16 port, const QList<QByteArray>& all) {
  const int fd = ::socket(AF_INET, SOCK_DGRAM | SOCK_CLOEXEC, 0);
  const sockaddr_in to = loopbackAddress(address, port);
  for (const QByteArray& bytes : all) {
    ::sendto(fd, bytes.constData(), size_t(bytes.size()), 0, reinterpret_cast<const sockaddr*>(&to),
             sizeof to);
  }
  ::close(fd);
}

// Whether a TCP connection to address:port is taken; with `bytes`, writes them before closing.
inline bool connectAndSend(const QString& address, quint16 port, const QByteArray& bytes = {}) {
  const int fd = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
  const sockaddr_in a = loopbackAddress(address, port);
  bool ok = ::connect(fd, reinterpret_cast<const sockaddr*>(&a), sizeof a) == 0;
  if (ok && !bytes.isEmpty()) {
    ok = ::send(fd, bytes.constData(), size_t(bytes.size()), MSG_NOSIGNAL) == bytes.size();
  }
  ::close(fd);
  return ok;
}

// The suite's MIB, loaded once; and the printers' layout read from it.
inline const Zarvo::suite::snmp::SnmpMib& storageMib() {
  static const auto mib = [] {
    QString error;
    auto loaded = Zarvo::suite::snmp::SnmpMib::load(ZARVO_MIB_DIR, "ZARVO-STORAGE-MIB", "", &error);
    EXPECT_TRUE(loaded) << error.toStdString();
    return loaded;
  }();
  return *mib;
}
inline const Zarvo::suite::snmp::PrinterLayout& printerLayout() {
  static const Zarvo::suite::snmp::PrinterLayout layout = [] {
    QString error;
    const auto built = Zarvo::suite::snmp::PrinterLayout::fromMib(storageMib(), &error);
    EXPECT_TRUE(built) << error.toStdString();
    return *built;
  }();
  return layout;
}

inline QByteArray orxRequest(const QByteArray& command, const QByteArray& children) {
  return "<?xml version=\"1.0\" encoding=\"UTF-8\"?><OrxRequest command=\"" + command + "\">" +
         children + "</OrxRequest>";
}

// A form body as libcurl writes it (see the CGI client): boundary of dashes and hex, bare parts.
inline QByteArray multipart(
    const QList<QPair<QByteArray, QByteArray>>& parts,
    const QByteArray& boundary = "------------------------d74496d66958873e") {
  QByteArray body;
  for (const auto& p : parts) {
    body += "--" + boundary + "\r\nContent-Disposition: form-data; name=\"" + p.first +
            "\"\r\n\r\n" + p.second + "\r\n";
  }
  return body + "--" + boundary + "--\r\n";
}

// One trap-destination row of an SNMPSetValues request, by position, community "public".
inline QByteArray setRow(const QByteArray& address, const char* index, const char* addr,
                         const char* status) {
  return "<Device><RequestParams><IP address=\"" + address +
         "\"/></RequestParams><RequestVariables><staticTrapDestAddr><Index>" + index +
         "</Index><Value>" + addr +
         "</Value></staticTrapDestAddr><staticTrapDestCommunity><Index>" + index +
         "</Index><Value>public</Value></staticTrapDestCommunity><staticTrapDestStatus><Index>" +
         index + "</Index><Value>" + status +
         "</Value></staticTrapDestStatus></RequestVariables></Device>";
}

// SNMPGetValues through the service's dispatch, bytes in and out, as the storage manager sends it.
inline std::unique_ptr<Zarvo::CmdSNMPGetValuesResponse> getValues(
    Zarvo::suite::SnmpService& snmp, const QList<Zarvo::deviceReq>& devices) {
  Zarvo::CmdSNMPGetValuesRequest req;
  for (const Zarvo::deviceReq& d : devices) req.append(d);
  QByteArray bytes;
  req.toByteArray(bytes);
  Zarvo::PacketPtr out = snmp.processRequest("SNMPGetValues", bytes);
  out->toByteArray(bytes);
  auto response = std::make_unique<Zarvo::CmdSNMPGetValuesResponse>();
  response->fromByteArray(bytes);
  return response;
}

}  // namespace testing_suite
