// Logging: time stamps and prefixes, the start-up hold, disabled logs, whole lines on stdout.
#include "framework/Log.h"

#include <gtest/gtest.h>
#include <unistd.h>

#include <QRegularExpression>
#include <QStringList>
#include <QTemporaryFile>
#include <cstdio>
#include <iostream>
#include <mutex>
#include <set>
#include <stdexcept>
#include <thread>
#include <vector>

namespace Zarvo {
namespace {

// Collects what reaches an appender; lives until exit because appenders cannot be removed.
struct Capture {
  std::mutex mutex;
  std::vector<std::string> lines;

  std::vector<std::string> take() {
    std::lock_guard<std::mutex> lock(mutex);
    return std::exchange(lines, {});
  }
};

Capture& captureLog(const std::string& name) {
  auto* capture = new Capture;  // leaked on purpose, see above
  zlog::add_appender(
      name,
      [capture](const zlog::Log&, const std::string& text) {
        std::lock_guard<std::mutex> lock(capture->mutex);
        capture->lines.push_back(text);
      },
      100);
  return *capture;
}

// Points fd 1 at a temporary file for its lifetime and returns what was written there.
class StdoutToFile {
 public:
  StdoutToFile() {
    std::cout.flush();
    std::fflush(stdout);
    file_.open();
    saved_ = ::dup(1);
    ::dup2(file_.handle(), 1);
  }
  ~StdoutToFile() { restore(); }
  QByteArray contents() {
    restore();
    file_.seek(0);
    return file_.readAll();
  }

 private:
  void restore() {
    if (saved_ < 0) return;
    std::cout.flush();
    std::fflush(stdout);
    ::dup2(saved_, 1);
    ::close(saved_);
    saved_ = -1;
  }
  QTemporaryFile file_;
  int saved_ = -1;
};

class LogTest : public ::testing::Test {
 protected:
  void SetUp() override {
    Zarvo::setupLogging();
    zlog::set_clock([] { return QTime(7, 5, 9); });
  }
  void TearDown() override { zlog::set_clock({}); }
};

TEST_F(LogTest, TimeFormatExpandsTokensAndCopiesTheRest) {
  struct Case {
    const char* why;
    const char* format;
    const char* expected;
  };
  const Case kCases[] = {
      {"the set-up's format: two digits each, one blank", "$hh:$mm:$ss ", "07:05:09 msg"},
      {"other text is copied as is", "[$hh.$mm] ", "[07.05] msg"},
      {"a lone or unknown token stays literal", "$h $x $", "$h $x $msg"},
      {"a doubled sign keeps the first one", "$$ss", "$09msg"},
      {"empty format adds nothing", "", "msg"},
  };
  zlog::Log* log = zlog::find_log_by_name("fmt");
  for (const Case& c : kCases) {
    SCOPED_TRACE(c.why);
    EXPECT_EQ(zlog::prepend_time(c.format)(*log, "msg"), c.expected);
  }
}

TEST_F(LogTest, SetupPutsTimeBeforePrefixAndReachesOnlyMatchingAppenders) {
  Capture& mine = captureLog("order.mine");
  Capture& other = captureLog("order.other");
  ZLOG("order.mine") << "port: " << 8080 << ' ' << QString::fromUtf8("Gr\u00fc\u00dfe ")
                     << QByteArray("raw");
  EXPECT_EQ(mine.take(),
            std::vector<std::string>{"07:05:09 [order.mine] port: 8080 Gr\xc3\xbc\xc3\x9f"
                                     "e raw"});
  EXPECT_TRUE(other.take().empty());
}

TEST_F(LogTest, DisabledLogFormatsNothingAndWritesNothing) {
  Capture& capture = captureLog("off");
  zlog::Log* log = zlog::find_log_by_name("off");
  zlog::set_enabled(log, false);
  int formatted = 0;
  auto piece = [&formatted] {
    ++formatted;
    return "x";
  };
  ZLOG("off") << piece();
  {
    Zarvo::LogMessage message("off");
    EXPECT_FALSE(message.enabled());
    message.stream() << "discarded";
  }
  EXPECT_EQ(formatted, 0);
  EXPECT_TRUE(capture.take().empty());

  zlog::set_enabled(log, true);
  ZLOG("off") << piece();
  EXPECT_EQ(formatted, 1);
  EXPECT_EQ(capture.take().size(), 1u);
}

TEST_F(LogTest, ThrowingModifierOrAppenderCostsOnlyItsOwnPart) {
  zlog::add_modifier(
      "faulty",
      [](const zlog::Log&, const std::string&) -> std::string {
        throw std::runtime_error("modifier");
      },
      50);
  zlog::add_appender(
      "faulty", [](const zlog::Log&, const std::string&) { throw std::runtime_error("appender"); },
      10);
  Capture& capture = captureLog("faulty");
  EXPECT_NO_THROW(ZLOG("faulty") << "still here");
  EXPECT_EQ(capture.take(), std::vector<std::string>{"07:05:09 [faulty] still here"});
}

TEST_F(LogTest, CoutAppenderWritesEachMessageAsExactlyOneLine) {
  zlog::Log* log = zlog::find_log_by_name("cout.ends");
  const zlog::Appender out = zlog::write_to_cout();
  StdoutToFile redirect;
  out(*log, "no end");                    // a line end is added
  out(*log, "has end\n");                 // and not doubled
  out(*log, "crlf\r\n\n");                // trailing ends collapse into one
  out(*log, "forged\n07:00:00 [err] x");  // an inner break cannot start a line of its own
  out(*log, "");
  EXPECT_EQ(redirect.contents(), QByteArray("no end\nhas end\ncrlf\nforged 07:00:00 [err] x\n\n"));
}

TEST_F(LogTest, ConcurrentMessagesGiveWholeTimeStampedLines) {
  zlog::set_clock({});  // the real clock this time
  zlog::add_appender("cout.many", zlog::write_to_cout(), 100);
  constexpr int kThreads = 8;
  constexpr int kMessages = 150;
  const std::string payload(2000, 'p');  // long enough to tear if writes were not atomic
  QByteArray written;
  {
    StdoutToFile redirect;
    std::vector<std::thread> threads;
    for (int t = 0; t < kThreads; ++t) {
      threads.emplace_back([t, &payload] {
        for (int m = 0; m < kMessages; ++m) ZLOG("cout.many") << t << ' ' << m << ' ' << payload;
      });
    }
    for (auto& th : threads) th.join();
    written = redirect.contents();
  }
  ASSERT_TRUE(written.endsWith('\n'));
  const QStringList lines = QString::fromLatin1(written).split('\n', Qt::SkipEmptyParts);
  ASSERT_EQ(lines.size(), kThreads * kMessages);
  const QRegularExpression shape(
      QStringLiteral("^\\d\\d:\\d\\d:\\d\\d \\[cout\\.many\\] (\\d+) (\\d+) p{2000}$"));
  std::set<std::pair<int, int>> seen;
  for (const QString& line : lines) {
    const auto match = shape.match(line);
    ASSERT_TRUE(match.hasMatch()) << line.left(80).toStdString();
    seen.insert({match.captured(1).toInt(), match.captured(2).toInt()});
  }
  EXPECT_EQ(seen.size(), static_cast<size_t>(kThreads * kMessages));
}

// Needs a process in which nothing has released the start-up hold yet, so it runs in a fresh
// child process of its own.
TEST(LogHoldTest, MessagesBeforeSetupAreDeliveredWithTheirOwnTimeAndBounded) {
  GTEST_FLAG_SET(death_test_style, "threadsafe");
  EXPECT_EXIT(
      {
        Capture& capture = captureLog("*");
        zlog::set_clock([] { return QTime(6, 0, 1); });
        ZLOG("early") << "first";
        for (std::size_t i = 0; i < zlog::kMaxCachedMessages + 4; ++i) ZLOG("flood") << i;
        if (!capture.take().empty()) std::_Exit(1);  // delivered before the hold ended
        zlog::set_clock([] { return QTime(6, 0, 2); });
        zlog::add_modifier("*", zlog::prepend_time("$hh:$mm:$ss "), 101);
        zlog::flush_log_cache();
        const std::vector<std::string> got = capture.take();
        if (got.size() != zlog::kMaxCachedMessages + 1) std::_Exit(2);
        if (got.front() != "06:00:01 first") std::_Exit(3);  // its own time
        if (got.back().find("5 log messages") == std::string::npos) std::_Exit(4);
        ZLOG("late") << "now";
        if (capture.take() != std::vector<std::string>{"06:00:02 now"}) std::_Exit(5);
        std::_Exit(0);
      },
      ::testing::ExitedWithCode(0), "");
}

}  // namespace

}  // namespace Zarvo
