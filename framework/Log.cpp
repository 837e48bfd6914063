// The logging module: log registry, modifier/appender tables, start-up hold, stdout appender.
//
// The tables are rebuilt on every add (set-up only, a handful of entries) and published as an
// immutable snapshot, so writing a message takes the registry mutex only to copy a pointer and
// never while a modifier or an appender runs.
#include "framework/Log.h"

#include <algorithm>
#include <atomic>
#include <cstdio>
#include <deque>
#include <iostream>
#include <map>
#include <mutex>
#include <utility>
#include <vector>

namespace Zarvo::zlog {

struct Log {
  explicit Log(std::string n) : name(std::move(n)) {}
  const std::string name;
  std::atomic<bool> enabled{true};
};

namespace {

template <typename Fn>
struct Entry {
  std::string pattern;
  Fn fn;
  int order;
};

struct Tables {
  std::vector<Entry<Modifier>> modifiers;  // sorted by order, ties in order of adding
  std::vector<Entry<Appender>> appenders;
};

struct Pending {
  Log* log;
  int level;
  std::string text;
  QTime time;  // when it was written, not when it is delivered
};

struct Registry {
  std::mutex mutex;
  std::map<std::string, std::unique_ptr<Log>> logs;
  std::shared_ptr<const Tables> tables = std::make_shared<Tables>();
  bool holding = true;  // until flush_log_cache()
  std::deque<Pending> held;
  std::size_t dropped = 0;
  Clock clock;
};

Registry& registry() {
  static Registry* r = new Registry;  // never destroyed: logs are used until the very end
  return *r;
}

// The time of the message being delivered on this thread, so a held message keeps its own time.
thread_local const QTime* deliveryTime = nullptr;

QTime now() {
  Registry& r = registry();
  Clock clock;
  {
    std::lock_guard<std::mutex> lock(r.mutex);
    clock = r.clock;
  }
  return clock ? clock() : QTime::currentTime();
}

bool matches(const std::string& pattern, const Log& log) {
  return pattern == "*" || pattern == log.name;
}

void deliver(Log* log, const std::string& text, const Tables& tables) {
  std::string message = text;
  for (const auto& m : tables.modifiers) {
    if (!matches(m.pattern, *log)) continue;
    try {
      message = m.fn(*log, message);
    } catch (...) {
      // A faulty modifier costs its own decoration, not the message.
    }
  }
  for (const auto& a : tables.appenders) {
    if (!matches(a.pattern, *log)) continue;
    try {
      a.fn(*log, message);
    } catch (...) {
      // Logging must never take its caller down.
    }
  }
}

std::string twoDigits(int n) {
  char buf[8];
  std::snprintf(buf, sizeof buf, "%02d", n);
  return buf;
}

}  // namespace

Log* find_log_by_name(const std::string& name) {
  Registry& r = registry();
  std::lock_guard<std::mutex> lock(r.mutex);
  auto& slot = r.logs[name];
  if (!slot) slot = std::make_unique<Log>(name);
  return slot.get();
}

std::string log_name(const Log& log) { return log.name; }

bool is_enabled(const Log* log, int /*level*/) {
  // Every level is accepted by an enabled log; the system writes at one level only.
  return log != nullptr && log->enabled.load(std::memory_order_relaxed);
}

void set_enabled(Log* log, bool on) {
  if (log) log->enabled.store(on, std::memory_order_relaxed);
}

void write_msg(Log* log, int level, const std::string& text) {
  if (!is_enabled(log, level)) return;
  try {
    Registry& r = registry();
    std::shared_ptr<const Tables> tables;
    {
      std::lock_guard<std::mutex> lock(r.mutex);
      if (r.holding) {
        if (r.held.size() < kMaxCachedMessages) {
          r.held.push_back({log, level, text, r.clock ? r.clock() : QTime::currentTime()});
        } else {
          ++r.dropped;
        }
        return;
      }
      tables = r.tables;
    }
    deliver(log, text, *tables);
  } catch (...) {
    // Out of memory while copying the text, or the like: the message is lost, the caller is not.
  }
}

namespace {

// Publishes a copy of the tables with `e` in `list`, after the entries of its order and below:
// a message being delivered keeps the tables it started with.
template <typename Fn>
void addEntry(std::vector<Entry<Fn>> Tables::*list, Entry<Fn> e) {
  if (!e.fn) return;
  Registry& r = registry();
  std::lock_guard<std::mutex> lock(r.mutex);
  auto next = std::make_shared<Tables>(*r.tables);
  std::vector<Entry<Fn>>& v = (*next).*list;
  auto at = std::upper_bound(v.begin(), v.end(), e.order,
                             [](int order, const Entry<Fn>& x) { return order < x.order; });
  v.insert(at, std::move(e));
  r.tables = std::move(next);
}

}  // namespace

void add_modifier(const std::string& pattern, Modifier m, int order) {
  addEntry(&Tables::modifiers, {pattern, std::move(m), order});
}

void add_appender(const std::string& pattern, Appender a, int order) {
  addEntry(&Tables::appenders, {pattern, std::move(a), order});
}

Modifier prepend_time(const std::string& format) {
  return [format](const Log&, const std::string& text) {
    const QTime t = deliveryTime && deliveryTime->isValid() ? *deliveryTime : now();
    std::string stamp;
    for (std::size_t i = 0; i < format.size();) {
      if (format.compare(i, 3, "$hh") == 0) {
        stamp += twoDigits(t.hour());
      } else if (format.compare(i, 3, "$mm") == 0) {
        stamp += twoDigits(t.minute());
      } else if (format.compare(i, 3, "$ss") == 0) {
        stamp += twoDigits(t.second());
      } else {
        stamp += format[i++];
        continue;
      }
      i += 3;
    }
    return stamp + text;
  };
}

Modifier prepend_prefix() {
  return [](const Log& log, const std::string& text) { return "[" + log.name + "] " + text; };
}

Appender write_to_cout() {
  return [](const Log&, const std::string& text) {
    static std::mutex* outMutex = new std::mutex;  // shared by every appender made here
    // One message stays one line: a line break inside it (text from a peer, say) would start
    // a line without a time stamp, or one that passes for a stamped line of its own.
    const std::size_t end = text.find_last_not_of("\r\n") + 1;  // npos + 1 == 0
    std::string line;
    line.reserve(end + 1);
    for (std::size_t i = 0; i < end; ++i) {
      const char c = text[i];
      if (c == '\r' && i + 1 < end && text[i + 1] == '\n') continue;  // CRLF is one break
      line += (c == '\r' || c == '\n') ? ' ' : c;
    }
    line += '\n';
    std::lock_guard<std::mutex> lock(*outMutex);
    try {
      std::cout.write(line.data(), static_cast<std::streamsize>(line.size()));
      std::cout.flush();
    } catch (...) {
    }
    // A closed or full stdout must not silence every later line.
    std::cout.clear();
  };
}

void flush_log_cache() {
  Registry& r = registry();
  std::deque<Pending> held;
  std::shared_ptr<const Tables> tables;
  std::size_t dropped = 0;
  {
    std::lock_guard<std::mutex> lock(r.mutex);
    r.holding = false;
    held.swap(r.held);
    tables = r.tables;
    std::swap(dropped, r.dropped);
  }
  for (const Pending& p : held) {
    deliveryTime = &p.time;
    deliver(p.log, p.text, *tables);
  }
  deliveryTime = nullptr;
  if (dropped > 0) {
    write_msg(find_log_by_name("err"), Zarvo::kLogLevel,
              std::to_string(dropped) + " log messages written before set-up were dropped");
  }
}

void set_clock(Clock clock) {
  Registry& r = registry();
  std::lock_guard<std::mutex> lock(r.mutex);
  r.clock = std::move(clock);
}

}  // namespace Zarvo::zlog

namespace Zarvo {

void setupLogging() {
  static std::once_flag once;
  std::call_once(once, [] {
    zlog::add_modifier("*", zlog::prepend_time("$hh:$mm:$ss "), 101);
    zlog::add_modifier("*", zlog::prepend_prefix(), 100);
    zlog::add_appender("err", zlog::write_to_cout(), 100);
    zlog::add_appender("warning", zlog::write_to_cout(), 100);
    zlog::add_appender("info", zlog::write_to_cout(), 100);
    zlog::flush_log_cache();
  });
}

LogMessage::LogMessage(const char* logName)
    : LogMessage(zlog::find_log_by_name(logName ? logName : "")) {}

LogMessage::LogMessage(zlog::Log* log) : log_(log) {
  if (zlog::is_enabled(log_, kLogLevel)) {
    try {
      buffer_ = std::make_unique<std::ostringstream>();
    } catch (...) {
    }
  }
}

LogMessage::~LogMessage() { finish(); }

std::ostream& LogMessage::stream() {
  if (buffer_) return *buffer_;
  // Discards everything: no buffer behind it, and badbit stops formatting early.
  thread_local std::ostream sink(nullptr);
  return sink;
}

void LogMessage::finish() noexcept {
  if (!buffer_) return;
  std::unique_ptr<std::ostringstream> buffer = std::move(buffer_);
  try {
    zlog::write_msg(log_, kLogLevel, buffer->str());
  } catch (...) {
  }
}

}  // namespace Zarvo

std::ostream& operator<<(std::ostream& out, const QString& text) {
  const QByteArray utf8 = text.toUtf8();
  return out.write(utf8.constData(), utf8.size());
}

std::ostream& operator<<(std::ostream& out, const QByteArray& bytes) {
  return out.write(bytes.constData(), bytes.size());
}
