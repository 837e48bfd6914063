#include "plugin/Audit.h"

#include <QRegularExpression>
#include <QStringView>
#include <algorithm>

namespace Zarvo::dsm::audit {

namespace {

QString typeText(JobType type) {
  switch (type) {
    case JobType::kAdd:
      return QStringLiteral("ADD");
    case JobType::kCopy:
      return QStringLiteral("COPY");
    case JobType::kMove:
      return QStringLiteral("MOVE");
    case JobType::kDelete:
      return QStringLiteral("DELETE");
  }
  return QStringLiteral("?");
}

QString statusText(JobStatus status) {
  switch (status) {
    case JobStatus::kInProgress:
      return QStringLiteral("IN_PROGRESS");
    case JobStatus::kCompleted:
      return QStringLiteral("COMPLETED");
    case JobStatus::kFailed:
      return QStringLiteral("FAILED");
    case JobStatus::kCanceled:
      return QStringLiteral("CANCELED");
  }
  return QStringLiteral("?");
}

// Addresses and result texts as they are when they hold nothing that could be mistaken for the
// line's own punctuation; quoted otherwise.
QString field(const QString& text) {
  static const QRegularExpression plain(QStringLiteral("^[A-Za-z0-9._:;-]+$"));
  return plain.match(text).hasMatch() ? text : quoted(text);
}

QString plural(std::size_t n, const char* one, const char* many) {
  return QStringLiteral("%1 %2").arg(n).arg(QLatin1String(n == 1 ? one : many));
}

}  // namespace

QString quoted(const QString& text) {
  // A request may carry a name of megabytes: the line keeps its head and counts the rest, so a
  // log reader (or a pipe nobody drains fast) is never handed the whole of it.
  const qsizetype shown = std::min<qsizetype>(text.size(), kMaxQuotedChars);
  QString out;
  out.reserve(shown + 32);
  out += QLatin1Char('"');
  for (const QChar c : QStringView(text).left(shown)) {
    const char16_t u = c.unicode();
    if (u == u'"' || u == u'\\') {
      out += QLatin1Char('\\');
      out += c;
    } else if (u == u'\n') {
      out += QLatin1String("\\n");
    } else if (u == u'\r') {
      out += QLatin1String("\\r");
    } else if (u == u'\t') {
      out += QLatin1String("\\t");
    } else if (u < 0x20 || u == 0x7F || u == 0x2028 || u == 0x2029) {
      out += QStringLiteral("\\x%1").arg(uint(u), u > 0xFF ? 4 : 2, 16, QLatin1Char('0'));
    } else {
      out += c;
    }
  }
  out += QLatin1Char('"');
  if (shown < text.size()) out += QStringLiteral("... (%1 more characters)").arg(text.size() - shown);
  return out;
}

QString operationStarted(int id, JobType type, const std::u16string& source,
                         const std::u16string& destination, std::size_t files, bool retry) {
  return QStringLiteral("Operation %1 %2: %3 from %4 to %5, %6")
      .arg(id)
      .arg(retry ? QLatin1String("retried") : QLatin1String("started"))
      .arg(typeText(type), field(QString::fromStdU16String(source)),
           field(QString::fromStdU16String(destination)), plural(files, "file", "files"));
}

QString operationEnded(int id, const JobPlan& plan) {
  std::size_t done = 0;
  std::size_t notReached = 0;
  std::size_t failed = 0;
  QStringList named;
  for (const Task& task : plan.tasks()) {
    if (task.succeeded()) {
      ++done;
    } else if (task.phase == TaskPhase::kPending || !task.outcome) {
      ++notReached;
    } else {
      if (++failed <= std::size_t(kMaxFailuresNamed)) {
        const QString where = task.destination.isEmpty()
                                  ? QStringLiteral("on ") + field(task.source)
                                  : QStringLiteral("to ") + field(task.destination);
        named << QStringLiteral("%1 %2: %3")
                     .arg(quoted(task.fileName), where, field(task.outcome->text));
      }
    }
  }
  QString line = QStringLiteral("Operation %1 ended: %2, %3 of %4 done")
                     .arg(id)
                     .arg(statusText(plan.status()))
                     .arg(done)
                     .arg(plural(plan.tasks().size(), "task", "tasks"));
  if (failed > 0) {
    line += QStringLiteral("; failed: ") + named.join(QLatin1String("; "));
    if (failed > std::size_t(named.size()))
      line += QStringLiteral("; and %1 more failed").arg(failed - std::size_t(named.size()));
  }
  if (notReached > 0) line += QStringLiteral("; %1 not reached").arg(notReached);
  return line;
}

QString storeAdded(const QString& name, const QString& fromPath, bool added) {
  return added ? QStringLiteral("Store: added %1 from %2").arg(quoted(name), quoted(fromPath))
               : QStringLiteral(
                     "Store: not added %1 from %2 (unreadable upload, invalid name or "
                     "a stored file of that name)")
                     .arg(quoted(name), quoted(fromPath));
}

QString storeDeleted(const QString& name, bool deleted) {
  return deleted ? QStringLiteral("Store: deleted %1").arg(quoted(name))
                 : QStringLiteral("Store: not deleted %1 (no such file)").arg(quoted(name));
}

QString storeIdSet(const QString& name, const QString& idText, bool set) {
  return set ? QStringLiteral("Store: ID of %1 set to %2").arg(quoted(name), field(idText))
             : QStringLiteral(
                   "Store: ID of %1 not set to %2 (no PCL font or macro of that name, "
                   "or an ID above 32767)")
                   .arg(quoted(name), field(idText));
}

}  // namespace Zarvo::dsm::audit
