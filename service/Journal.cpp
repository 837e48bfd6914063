#include "service/Journal.h"

#include <sys/uio.h>
#include <syslog.h>
#include <systemd/sd-journal.h>

#include <vector>

namespace Zarvo {

int journalPriority(int messageType) {
  switch (messageType) {
    case 1:
      return LOG_ERR;
    case 2:
      return LOG_WARNING;
    case 3:
      return LOG_INFO;
    default:
      return LOG_NOTICE;
  }
}

QList<QByteArray> journalFields(const QString& identifier, const QString& message, int messageType,
                                int id, uint category, const QByteArray& data) {
  QList<QByteArray> fields{
      "MESSAGE=" + message.toUtf8(),
      "PRIORITY=" + QByteArray::number(journalPriority(messageType)),
      "SYSLOG_IDENTIFIER=" + identifier.toUtf8(),
      "EVENT_ID=" + QByteArray::number(id),
      "EVENT_CATEGORY=" + QByteArray::number(category),
  };
  if (!data.isEmpty()) fields << "EVENT_DATA=" + data;  // the journal keeps binary values as is
  return fields;
}

void writeJournalEntry(const QList<QByteArray>& fields, const QString& identifier,
                       const QString& message, int messageType) {
  std::vector<iovec> parts;
  for (const QByteArray& field : fields)
    parts.push_back({const_cast<char*>(field.constData()), size_t(field.size())});
  if (sd_journal_sendv(parts.data(), int(parts.size())) >= 0) return;
  // No journal (a container, an early boot): the system log still gets the text.
  const QByteArray ident = identifier.toUtf8();
  ::openlog(ident.constData(), LOG_PID, LOG_USER);
  ::syslog(journalPriority(messageType), "%s", message.toUtf8().constData());
  ::closelog();
}

}  // namespace Zarvo
