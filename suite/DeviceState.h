// What one printer holds, and how its SNMP tables and CGI pages report it, apart from sockets,
// faults and timing: the files it stores (put there by downloads, listed as
// "scmFileStorageTable", fetched and deleted through "DSMGetFiles.cgi" and "DSMDeletefiles.cgi")
// and the rows of its "staticTrapDestTable". The suite's simulated devices are built on it, and
// the storage manager's test fakes model their printers with it, so the two never disagree on
// what a printer does with a download or a page request.
//
// Every member takes the state's own lock, so the print port, the pages and the SNMP service may
// use one state from their own threads.
#pragma once

#include <QByteArray>
#include <QList>
#include <QMutex>
#include <QString>
#include <QStringList>
#include <optional>

#include "suite/DeviceProtocols.h"
#include "suite/FleetConfig.h"

namespace Zarvo::suite {

// A file as the device keeps it.
struct StoredFile {
  QString name;  // a downloaded PCL file is listed under the device's own "Font <id>"/"Macro <id>"
  QString kind;  // "psFont", "psForm", "pclFont", "pclMacro"
  quint32 id = 0;
  QString persistence;  // "other", "unknown", "volatile", "nonvolatile", "permanent"
  QByteArray content;
};

// A device's table as the SNMP service renders it: named columns, rows of text values.
struct DeviceTable {
  QStringList columns;
  QList<QStringList> rows;  // each as long as `columns`
  bool operator==(const DeviceTable& other) const {
    return columns == other.columns && rows == other.rows;
  }
  bool operator!=(const DeviceTable& other) const { return !(*this == other); }
};

// One cell write of "staticTrapDestTable": column name, row position from 0, value.
struct TrapDestCell {
  QString column;
  qint64 row = -1;
  QString value;
};

class DeviceState {
 public:
  // `address` names the device in error texts.
  explicit DeviceState(QString address, const QList<StoredFileSetup>& files = {},
                       const QList<TrapDestSetup>& trapDests = {});
  DeviceState(const DeviceState&) = delete;
  DeviceState& operator=(const DeviceState&) = delete;

  QList<StoredFile> files() const;
  // Puts a file in as it is, replacing one of the same kind and name.
  void put(const StoredFile& file);
  // Stores a download as the device does: replaces a file of the same kind and name, or of the
  // same kind and ID for PCL kinds (ID 0 asks for the next free one), and returns the stored
  // record; `replaced` gets the file it took the place of, if any.
  StoredFile store(const PjlDownload& download, std::optional<StoredFile>* replaced = nullptr);
  DeviceTable fileStorageTable() const;

  QList<TrapDestSetup> trapDests() const;
  DeviceTable trapDestTable() const;
  // Applies every cell or none: an unknown column, a row outside the table, a status other
  // than "valid"/"invalid" or a port outside 1..65535 refuses the whole write with `error` set.
  // The columns are "staticTrapDestAddr", "staticTrapDestCommunity", "staticTrapDestStatus" and
  // "staticTrapDestPort" (the last one is not part of trapDestTable()).
  bool writeTrapDest(const QList<TrapDestCell>& cells, QString* error);

  // Grows with every change of the files or the trap destinations, so a reader can keep a view
  // of the state until it changes.
  quint64 revision() const;

  // The whole HTTP answer of the device's pages to one request, as a device without a fault
  // gives it: "DSMGetFiles.cgi" answers the bytes of the one file named by (FileName, FileType,
  // FontMacroId), "DSMDeletefiles.cgi" removes each named file and reports what it did. A file
  // matches by kind and name, a PCL file also by its ID. `removed` gets the files taken away.
  QByteArray answerPage(const HttpRequest& request, QList<StoredFile>* removed = nullptr);

 private:
  const QString address_;
  mutable QMutex mutex_;  // guards everything below
  QList<StoredFile> files_;
  QList<TrapDestSetup> trapDests_;
  quint64 revision_ = 0;
};

}  // namespace Zarvo::suite
