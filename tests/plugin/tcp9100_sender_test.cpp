// TCP9100Sender against fake printers on loopback: the exact bytes of each kind, the outcome of
// every way a download can end, one download at a time per device but devices in parallel, the
// stops of a job and of the service, and the registration bracketing every download.
#include <gtest/gtest.h>

#include <QThread>
#include <chrono>
#include <future>
#include <thread>

#include "plugin/TCP9100File.h"
#include "plugin/TCP9100Sender.h"
#include "tests/fakes/Bytes.h"
#include "tests/fakes/FakeDeviceSender.h"
#include "tests/fakes/FakePrinter.h"

namespace Zarvo::dsm {

namespace {

using namespace std::chrono_literals;
using Clock = std::chrono::steady_clock;
using Result = FileOutcome;
Result outcome(bool ok, const QString& text) { return {ok, text}; }
using testing_bytes::hex;
using testing_printer::FakePrinter;

const QString kDdr = QStringLiteral("DeviceDosntResponse");

// Records when each download's registration was made and undone, to check that it brackets
// the connection and the confirmation wait on every path.
class RegistrationLog {
 public:
  struct Event {
    QString what;  // "register <address>" or "undo <address>"
    Clock::time_point at;
  };

  TCP9100Sender::RegistrationFactory factory() {
    return [this](const QString& address) -> std::unique_ptr<TCP9100Sender::Registration> {
      add("register " + address);
      return std::make_unique<Recorded>(*this, address);
    };
  }
  QList<Event> events() const {
    std::lock_guard<std::mutex> lock(mutex_);
    return events_;
  }
  QStringList names() const {
    QStringList out;
    for (const Event& e : events()) out << e.what;
    return out;
  }

 private:
  class Recorded : public TCP9100Sender::Registration {
   public:
    Recorded(RegistrationLog& log, QString address) : log_(log), address_(std::move(address)) {}
    ~Recorded() override { log_.add("undo " + address_); }

   private:
    RegistrationLog& log_;
    QString address_;
  };
  void add(const QString& what) {
    std::lock_guard<std::mutex> lock(mutex_);
    events_.append({what, Clock::now()});
  }

  mutable std::mutex mutex_;
  QList<Event> events_;
};

TCP9100Sender::Limits shortLimits() {
  TCP9100Sender::Limits limits;
  limits.connect = 500ms;
  limits.writeStall = 300ms;
  limits.close = 5s;
  limits.confirm = 10s;
  return limits;
}

// Every connection of `printer` lies between a registration for its address and that
// registration's undo, and the registrations of one address never overlap.
void expectBracketed(const RegistrationLog& log, const FakePrinter& printer) {
  const QString address = printer.host();
  const QList<RegistrationLog::Event> events = log.events();
  QList<QPair<Clock::time_point, Clock::time_point>> spans;
  bool open = false;
  for (const RegistrationLog::Event& e : events) {
    if (e.what == "register " + address) {
      EXPECT_FALSE(open) << "a second registration before the first was undone";
      spans.append({e.at, Clock::time_point::max()});
      open = true;
    } else if (e.what == "undo " + address) {
      ASSERT_TRUE(open) << "an undo without a registration";
      spans.back().second = e.at;
      open = false;
    }
  }
  EXPECT_FALSE(open) << "a registration left in place";
  for (const FakePrinter::Download& d : printer.downloads()) {
    bool inside = false;
    for (const auto& span : spans) inside |= span.first <= d.accepted && d.accepted <= span.second;
    EXPECT_TRUE(inside) << "download " << d.index << " connected outside a registration";
  }
}

QByteArray pattern(qsizetype size) {
  QByteArray bytes(size, Qt::Uninitialized);
  for (qsizetype i = 0; i < size; ++i) bytes[i] = char((i * 131 + 7) & 0xFF);
  return bytes;
}

class SenderTest : public ::testing::Test {
 protected:
  TCP9100Sender makeSender(quint16 port, TCP9100Sender::Limits limits = shortLimits()) {
    return TCP9100Sender(port, limits, log_.factory());
  }
  // Confirms every complete download at once with `status`.
  void confirmWith(FakePrinter& printer, TCP9100Sender& sender, const QString& status) {
    printer.onDownload([&sender, host = printer.host(), status](const FakePrinter::Download&) {
      sender.notify(host, status == "completed", status);
    });
  }

  RegistrationLog log_;
};

// ---------------------------------------------------------------------------------------------
// What reaches the device

// The framing of each kind is TCP9100File's (tested there); what the sender adds is that every
// byte of it reaches the device as it is: binary bytes untouched, a large file across the write
// slices without a byte lost or repeated.
TEST_F(SenderTest, TheFramedFileReachesTheDeviceExactly) {
  FakePrinter printer;
  TCP9100Sender sender(printer.port(), shortLimits(), log_.factory());
  confirmWith(printer, sender, "completed");
  int n = 0;
  for (const QByteArray& content :
       {QByteArray("\x00\xff\x1b\r\n", 5), pattern(9 * (1 << 20) + 17)}) {
    SCOPED_TRACE(content.size());
    const TCP9100FilePCLFont file(content);
    const QByteArray expected = file.header() + file.content() + file.trailer();
    EXPECT_EQ(sender.send(printer.host(), file), outcome(true, "completed"));
    ASSERT_TRUE(printer.waitForDownloads(++n, 5s));
    const FakePrinter::Download d = printer.downloads().back();
    EXPECT_TRUE(d.complete);
    EXPECT_TRUE(d.bytes == expected) << d.bytes.size() << " bytes of " << expected.size();
  }
  expectBracketed(log_, printer);
  EXPECT_EQ(sender.sessionCount(), 0) << "the last download out removes its session";
}

// ---------------------------------------------------------------------------------------------
// How a download ends

TEST_F(SenderTest, TheConfirmationDecidesTheOutcome) {
  struct Case {
    const char* why;
    QString status;
    Result expected;
  };
  const Case kCases[] = {
      {"stored", "completed", {true, "completed"}},
      {"a device's failure text is passed on unchanged",
       "FileSystemFull",
       {false, "FileSystemFull"}},
      {"only the exact text counts as success", "Completed", {false, "Completed"}},
  };
  for (const Case& c : kCases) {
    SCOPED_TRACE(c.why);
    FakePrinter printer;
    TCP9100Sender sender = makeSender(printer.port());
    confirmWith(printer, sender, c.status);
    EXPECT_EQ(sender.send(printer.host(), TCP9100FilePCLFont("x")), c.expected);
  }
}

TEST_F(SenderTest, AConfirmationBeforeTheWaitIsKeptForIt) {
  // The device confirms as soon as it takes the connection, before it reads: the file is larger
  // than the socket buffers, so the sender is still writing when the confirmation arrives.
  // Without the "arrived" flag nobody would be waiting for that wake-up, and the download would
  // end in "Timeout".
  FakePrinter printer;
  TCP9100Sender::Limits limits = shortLimits();
  limits.confirm = 30s;
  TCP9100Sender sender = makeSender(printer.port(), limits);
  printer.onAccept(
      [&](const FakePrinter::Download&) { sender.notify(printer.host(), true, "completed"); });
  const TCP9100FilePCLFont file(pattern(32 << 20));
  const auto start = Clock::now();
  EXPECT_EQ(sender.send(printer.host(), file), outcome(true, "completed"));
  EXPECT_LT(Clock::now() - start, 15s) << "returned at once, not at the end of the wait";
  expectBracketed(log_, printer);
}

TEST_F(SenderTest, NoConfirmationIsATimeoutAfterTheLimit) {
  FakePrinter printer;
  TCP9100Sender::Limits limits = shortLimits();
  limits.confirm = 300ms;
  TCP9100Sender sender = makeSender(printer.port(), limits);
  sender.notify(printer.host(), true, "completed");  // nothing under way: must not be kept
  EXPECT_EQ(sender.sessionCount(), 0);
  const auto start = Clock::now();
  EXPECT_EQ(sender.send(printer.host(), TCP9100FilePCLFont("x")), outcome(false, "Timeout"));
  EXPECT_GE(Clock::now() - start, 300ms);
  expectBracketed(log_, printer);
}

TEST_F(SenderTest, AnEarlierDownloadsConfirmationIsNotTheNextOnes) {
  // Two downloads queue on one device, so its session lives on between them: the first one's
  // confirmation must not answer the second, which the device never confirms.
  FakePrinter printer;
  TCP9100Sender::Limits limits = shortLimits();
  limits.confirm = 500ms;
  TCP9100Sender sender = makeSender(printer.port(), limits);
  printer.onDownload([&](const FakePrinter::Download& d) {
    if (d.index != 0) return;
    // Confirmed once the second download waits in line: a look at a count that changes at once.
    const auto end = Clock::now() + 10s;
    while (sender.downloadsTo(printer.host()) < 2 && Clock::now() < end) std::this_thread::yield();
    sender.notify(printer.host(), true, "completed");
  });
  auto first = std::async(std::launch::async,
                          [&] { return sender.send(printer.host(), TCP9100FilePCLFont("1")); });
  ASSERT_TRUE(printer.waitForConnections(1, 10s));
  auto second = std::async(std::launch::async,
                           [&] { return sender.send(printer.host(), TCP9100FilePCLFont("2")); });
  EXPECT_EQ(first.get(), outcome(true, "completed"));
  EXPECT_EQ(second.get(), outcome(false, "Timeout"));
  ASSERT_EQ(printer.downloads().size(), 2);
  expectBracketed(log_, printer);
}

TEST_F(SenderTest, ADeviceThatStopsTakingBytesFailsTheDownload) {
  struct Case {
    const char* why;
    std::function<void(FakePrinter&)> behave;
    Result expected;
  };
  const Case kCases[] = {
      {"gone mid-transfer (reset after 64 KiB)",
       [](FakePrinter& p) { p.dropAfter(64 * 1024); },
       {false, kDdr}},
      {"takes the connection but never reads: the write stalls past its limit",
       [](FakePrinter& p) { p.stall(); },
       {false, kDdr}},
      {"reads slowly but steadily: never a stall",
       [](FakePrinter& p) { p.slowly(1 << 20, 20ms); },
       {true, "completed"}},
  };
  TCP9100Sender::Limits limits = shortLimits();
  limits.close = 300ms;  // a stalled device does not close either
  for (const Case& c : kCases) {
    SCOPED_TRACE(c.why);
    FakePrinter printer;
    TCP9100Sender sender = makeSender(printer.port(), limits);
    confirmWith(printer, sender, "completed");
    c.behave(printer);
    // Larger than every buffer between the two ends, so the failure shows in the writes.
    EXPECT_EQ(sender.send(printer.host(), TCP9100FilePCLFont(pattern(24 << 20))), c.expected);
    expectBracketed(log_, printer);
  }
}

TEST_F(SenderTest, ADeviceThatTalksBackStillGetsEveryByte) {
  // The device reports a status line nobody reads while it still reads the file that the
  // sender has already handed to the system. A socket closed at that point answers the status
  // with a reset, and the rest of the file is lost; the sender ends its stream and waits for
  // the device's close instead.
  FakePrinter printer;
  TCP9100Sender sender = makeSender(printer.port());
  confirmWith(printer, sender, "completed");
  const TCP9100FilePCLFont file(pattern(8 << 20));
  printer.slowly(256 * 1024, 20ms);
  printer.talkBack("@PJL USTATUS DEVICE\r\nCODE=10001\r\n\x0c", 6 << 20);
  EXPECT_EQ(sender.send(printer.host(), file), outcome(true, "completed"));
  ASSERT_TRUE(printer.waitForDownloads(1, 10s));
  const FakePrinter::Download d = printer.downloads().first();
  EXPECT_TRUE(d.complete);
  EXPECT_EQ(d.size, file.header().size() + file.content().size() + file.trailer().size());
}

TEST_F(SenderTest, ADeviceThatDoesNotAcceptIsNotReached) {
  struct Case {
    const char* why;
    std::function<void(FakePrinter&)> behave;
    std::chrono::milliseconds atLeast;
  };
  const Case kCases[] = {
      {"refused at once", [](FakePrinter& p) { p.refuse(); }, 0ms},
      {"never answered: given up after the connect limit", [](FakePrinter& p) { p.unanswered(); },
       500ms},
  };
  for (const Case& c : kCases) {
    SCOPED_TRACE(c.why);
    FakePrinter printer;
    TCP9100Sender sender = makeSender(printer.port());
    c.behave(printer);
    const auto start = Clock::now();
    EXPECT_EQ(sender.send(printer.host(), TCP9100FilePCLFont("x")), outcome(false, kDdr));
    EXPECT_GE(Clock::now() - start, c.atLeast);
    EXPECT_EQ(printer.connections(), 0);
    EXPECT_EQ(log_.names().count("undo " + printer.host()),
              log_.names().count("register " + printer.host()));

    // The same device switched on again: reached on the same port.
    printer.take();
    confirmWith(printer, sender, "completed");
    EXPECT_EQ(sender.send(printer.host(), TCP9100FilePCLFont("x")), outcome(true, "completed"));
    EXPECT_EQ(printer.connections(), 1);
  }
}

// ---------------------------------------------------------------------------------------------
// One download at a time per device, devices in parallel

TEST_F(SenderTest, DownloadsToOneDeviceRunOneAfterAnother) {
  FakePrinter printer;
  TCP9100Sender sender = makeSender(printer.port());
  std::mutex mutex;
  QList<Clock::time_point> confirmedAt;
  printer.onDownload([&](const FakePrinter::Download&) {
    {
      std::lock_guard<std::mutex> lock(mutex);
      confirmedAt.append(Clock::now());
    }
    sender.notify(printer.host(), true, "completed");
  });
  std::vector<std::future<Result>> sends;
  for (int i = 0; i < 3; ++i) {
    sends.push_back(std::async(std::launch::async, [&] {
      return sender.send(printer.host(), TCP9100FilePCLFont(pattern(100)));
    }));
  }
  for (auto& s : sends) EXPECT_EQ(s.get(), outcome(true, "completed"));
  const QList<FakePrinter::Download> downloads = printer.downloads();
  ASSERT_EQ(downloads.size(), 3);
  for (int i = 1; i < 3; ++i) {
    EXPECT_GE(downloads[i].accepted, confirmedAt[i - 1])
        << "download " << i << " connected before the one ahead of it was confirmed";
  }
  expectBracketed(log_, printer);
}

TEST_F(SenderTest, DownloadsToDifferentDevicesRunTogether) {
  // Each printer confirms only once both have a connection: in turn, the first would wait for
  // the second in vain and end in "Timeout".
  FakePrinter a(QStringLiteral("127.0.0.2"));
  FakePrinter b(QStringLiteral("127.0.0.3"), a.port());
  TCP9100Sender sender = makeSender(a.port());
  const auto confirmWhenBoth = [&](FakePrinter& self) {
    self.onDownload([&](const FakePrinter::Download&) {
      if (a.waitForConnections(1, 4s) && b.waitForConnections(1, 4s)) {
        sender.notify(self.host(), true, "completed");
      }
    });
  };
  confirmWhenBoth(a);
  confirmWhenBoth(b);
  auto toA = std::async(std::launch::async,
                        [&] { return sender.send(a.host(), TCP9100FilePCLFont("a")); });
  auto toB = std::async(std::launch::async,
                        [&] { return sender.send(b.host(), TCP9100FilePCLFont("b")); });
  EXPECT_EQ(toA.get(), outcome(true, "completed"));
  EXPECT_EQ(toB.get(), outcome(true, "completed"));
  expectBracketed(log_, a);
  expectBracketed(log_, b);
}

// ---------------------------------------------------------------------------------------------
// Stops

TEST_F(SenderTest, AStopEndsTheWaitInLineWithoutConnectingAndTheConfirmationWaitAsATimeout) {
  struct Case {
    const char* why;
    bool shutdown;  // the service's stop rather than each job's
  };
  for (const Case& c : {Case{"each job stopped", false}, Case{"the service shuts down", true}}) {
    SCOPED_TRACE(c.why);
    FakePrinter printer;
    RegistrationLog log;
    TCP9100Sender::Limits limits = shortLimits();
    limits.confirm = 60s;
    TCP9100Sender sender(printer.port(), limits, log.factory());
    Zarvo::StopSource stoppedBefore, firstJob, secondJob;
    stoppedBefore.requestStop();
    EXPECT_EQ(sender.send(printer.host(), TCP9100FilePCLFont("0"), stoppedBefore.token()),
              outcome(false, kDdr))
        << "stopped before its turn: never starts";
    EXPECT_TRUE(log.names().isEmpty());
    auto first = std::async(std::launch::async, [&] {
      return sender.send(printer.host(), TCP9100FilePCLFont("1"), firstJob.token());
    });
    ASSERT_TRUE(printer.waitForDownloads(1, 5s));  // the first one now waits for its confirmation
    auto second = std::async(std::launch::async, [&] {
      return sender.send(printer.host(), TCP9100FilePCLFont("2"), secondJob.token());
    });
    EXPECT_EQ(second.wait_for(200ms), std::future_status::timeout) << "waits in line";
    if (c.shutdown) {
      sender.stopAll();
    } else {
      secondJob.requestStop();
      ASSERT_EQ(second.wait_for(5s), std::future_status::ready);
      EXPECT_EQ(log.names(), QStringList{"register " + printer.host()})
          << "the stopped one never registered; the first one's registration is in place";
      firstJob.requestStop();
    }
    ASSERT_EQ(first.wait_for(5s), std::future_status::ready);
    ASSERT_EQ(second.wait_for(5s), std::future_status::ready);
    EXPECT_EQ(first.get(), outcome(false, "Timeout"));
    EXPECT_EQ(second.get(), outcome(false, kDdr));
    if (c.shutdown) {
      EXPECT_EQ(sender.send(printer.host(), TCP9100FilePCLFont("3")), outcome(false, kDdr))
          << "no new download after a shutdown";
    }
    EXPECT_EQ(printer.connections(), 1) << "only the first download connected";
    expectBracketed(log, printer);
    EXPECT_EQ(sender.sessionCount(), 0);
  }
}

TEST_F(SenderTest, AStopCutsATransferToADeviceThatStopsReading) {
  // The device takes the connection and then reads nothing: the write would wait out its stall
  // limit and the close its own. A stop ends both at once; the file was not sent.
  struct Case {
    const char* why;
    bool shutdown;  // the service's stop rather than the job's
  };
  const Case kCases[] = {{"the job is stopped", false}, {"the service shuts down", true}};
  for (const Case& c : kCases) {
    SCOPED_TRACE(c.why);
    FakePrinter printer;
    printer.stall();
    TCP9100Sender::Limits limits = shortLimits();
    limits.writeStall = 60s;
    limits.close = 60s;
    TCP9100Sender sender = makeSender(printer.port(), limits);
    Zarvo::StopSource job;
    const TCP9100FilePCLFont file(pattern(32 << 20));
    auto sending = std::async(std::launch::async,
                              [&] { return sender.send(printer.host(), file, job.token()); });
    ASSERT_TRUE(printer.waitForConnections(1, 10s));
    EXPECT_EQ(sending.wait_for(300ms), std::future_status::timeout) << "stuck in the write";
    if (c.shutdown) {
      sender.stopAll();
    } else {
      job.requestStop();
    }
    ASSERT_EQ(sending.wait_for(10s), std::future_status::ready);
    EXPECT_EQ(sending.get(), outcome(false, kDdr));
    expectBracketed(log_, printer);
  }
}

}  // namespace

}  // namespace Zarvo::dsm
