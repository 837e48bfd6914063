// Every line the process logs from the first use on, so that a test can count what was written.
// Appenders cannot be removed: the capture lives until exit. Header-only, as the fakes library
// links none of our own code.
#pragma once

#include <QList>
#include <QPair>
#include <QStringList>
#include <mutex>

#include "framework/Log.h"

namespace testing_log {

class LogLines {
 public:
  static LogLines& get() {
    static LogLines* lines = [] {
      auto* l = new LogLines();
      Zarvo::zlog::add_appender(
          "*",
          [l](const Zarvo::zlog::Log& log, const std::string& text) {
            std::lock_guard<std::mutex> lock(l->mutex_);
            l->lines_.append(
                {QString::fromStdString(Zarvo::zlog::log_name(log)), QString::fromStdString(text)});
          },
          300);
      Zarvo::zlog::flush_log_cache();  // nothing held back: a line is here once it is written
      return l;
    }();
    return *lines;
  }

  qsizetype mark() const {
    std::lock_guard<std::mutex> lock(mutex_);
    return lines_.size();
  }
  // The texts written to the log `name` since `from`, in order.
  QStringList since(qsizetype from, const QString& name) const {
    std::lock_guard<std::mutex> lock(mutex_);
    QStringList out;
    for (const auto& [log, text] : lines_.mid(from)) {
      if (log == name) out << text;
    }
    return out;
  }
  // Lines of any log since `from` that contain `text`.
  int count(qsizetype from, const QString& text) const {
    std::lock_guard<std::mutex> lock(mutex_);
    int n = 0;
    for (const auto& line : lines_.mid(from)) n += line.second.contains(text) ? 1 : 0;
    return n;
  }

 private:
  mutable std::mutex mutex_;
  QList<QPair<QString, QString>> lines_;  // (log, text)
};

}  // namespace testing_log
