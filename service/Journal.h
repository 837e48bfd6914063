// Entries of the shell's logMessage in the systemd journal: one structured entry each, with the
// syslog priority of its kind, so "journalctl -p warning -u <service>" finds what matters.
#pragma once

#include <QByteArray>
#include <QList>
#include <QString>

namespace Zarvo {

// The syslog priority of a logMessage kind: error 3, warning 4, information 6, success (and
// anything else) 5 (notice).
int journalPriority(int messageType);

// The fields of one entry, each "NAME=value": MESSAGE, PRIORITY, SYSLOG_IDENTIFIER (the service
// name), EVENT_ID, EVENT_CATEGORY, and EVENT_DATA when there are data bytes (kept as bytes).
QList<QByteArray> journalFields(const QString& identifier, const QString& message, int messageType,
                                int id, uint category, const QByteArray& data);

// Sends one entry to the journal; where no journal runs, falls back to the system log.
void writeJournalEntry(const QList<QByteArray>& fields, const QString& identifier,
                       const QString& message, int messageType);

}  // namespace Zarvo
