// Named logs with modifiers and appenders, and the framework's message helper on top of them.
//
// A log is found by name and lives until exit. A message written to it passes the modifiers that
// match the log (lowest order index first, so a later one lands in front of an earlier one), then
// reaches every matching appender (lowest order index first). Messages written before the
// set-up is complete are held back and delivered by flush_log_cache(), so nothing logged during
// start-up is lost or printed without its time stamp.
//
//   ZLOG("info") << "Listening incomming requests on port: " << port;
//
// formats only when the log is enabled and writes the whole message at the end of the statement.
#pragma once

#include <QByteArray>
#include <QString>
#include <QTime>
#include <functional>
#include <memory>
#include <ostream>
#include <sstream>
#include <string>

namespace Zarvo::zlog {

struct Log;  // one per name, never destroyed

// Returns the log of that name, creating it (enabled) on first use. Never null.
Log* find_log_by_name(const std::string& name);
std::string log_name(const Log& log);

// True when `log` accepts messages of `level`; false for a null log.
bool is_enabled(const Log* log, int level);
void set_enabled(Log* log, bool on);

// Applies the modifiers, then hands the text to the appenders. Never throws: a modifier or an
// appender that throws is skipped for this message.
void write_msg(Log* log, int level, const std::string& text);

using Modifier = std::function<std::string(const Log&, const std::string&)>;
using Appender = std::function<void(const Log&, const std::string&)>;

// `pattern` is "*" (every log, present and future) or one exact log name.
void add_modifier(const std::string& pattern, Modifier m, int order);
void add_appender(const std::string& pattern, Appender a, int order);

// Prepends the message's time of day; "$hh", "$mm", "$ss" become two-digit hours, minutes and
// seconds, any other text is copied ("$hh:$mm:$ss " gives "07:05:09 ").
Modifier prepend_time(const std::string& format);
// Prepends the log's name in brackets and a blank ("[err] ").
Modifier prepend_prefix();
// One message = one whole line on standard output, written and flushed in one step under a
// process-wide mutex so lines of different threads never mix. Trailing line ends become one
// "\n"; a line break inside the message becomes a blank.
Appender write_to_cout();

// Ends the start-up hold: messages kept so far are delivered now, later ones at once. Until it is
// called at most kMaxCachedMessages are kept; later ones are counted and dropped.
void flush_log_cache();
inline constexpr std::size_t kMaxCachedMessages = 10000;

// The wall clock behind prepend_time (local time of day). Tests inject a fixed one; an empty
// function restores the real clock.
using Clock = std::function<QTime()>;
void set_clock(Clock clock);

}  // namespace Zarvo::zlog

namespace Zarvo {

constexpr int kLogLevel = 1000;

// The logging set-up of the application: time stamp and prefix on every log, the logs "err",
// "warning" and "info" to standard output, then the start-up hold released. Runs once per
// process; later calls do nothing (a second set-up would stamp every line twice).
void setupLogging();

// One message on one log. The text buffer exists only when the log is enabled at kLogLevel; the
// text is written when the message is finished or destroyed, whichever comes first.
class LogMessage {
 public:
  explicit LogMessage(const char* logName);
  explicit LogMessage(zlog::Log* log);
  ~LogMessage();
  LogMessage(const LogMessage&) = delete;
  LogMessage& operator=(const LogMessage&) = delete;

  bool enabled() const { return buffer_ != nullptr; }
  // The buffer's stream; for a disabled or finished message, a stream that discards everything.
  std::ostream& stream();
  // Writes the text (once) and releases the buffer; errors are swallowed.
  void finish() noexcept;

 private:
  zlog::Log* log_;
  std::unique_ptr<std::ostringstream> buffer_;
};

}  // namespace Zarvo

// A statement, not an expression: the loop body is the stream expression, finish() then writes
// the message, and the loop ends. Nothing right of ZLOG(...) is evaluated for a disabled log.
#define ZLOG(name)                                                                            \
  for (::Zarvo::LogMessage zlogMessage_(name); zlogMessage_.enabled(); zlogMessage_.finish()) \
  zlogMessage_.stream()

// Qt strings in log messages, as UTF-8. Global, beside the Qt types, so that argument-dependent
// lookup finds them from any namespace.
std::ostream& operator<<(std::ostream& out, const QString& text);
std::ostream& operator<<(std::ostream& out, const QByteArray& bytes);
