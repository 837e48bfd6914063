#include "suite/DeviceState.h"

namespace Zarvo::suite {

namespace {

const QString kFileColumns[] = {
    QStringLiteral("scmFileStorageFileIndex"),       QStringLiteral("scmFileStorageFileName"),
    QStringLiteral("scmFileStorageFileSize"),        QStringLiteral("scmFileStorageFileType"),
    QStringLiteral("scmFileStorageFilePersistence"), QStringLiteral("scmFileStorageFileID")};
const QString kAddr = QStringLiteral("staticTrapDestAddr");
const QString kCommunity = QStringLiteral("staticTrapDestCommunity");
const QString kStatus = QStringLiteral("staticTrapDestStatus");
const QString kPort = QStringLiteral("staticTrapDestPort");

bool isPcl(const QString& kind) {
  return kind == QLatin1String("pclFont") || kind == QLatin1String("pclMacro");
}

}  // namespace

DeviceState::DeviceState(QString address, const QList<StoredFileSetup>& files,
                         const QList<TrapDestSetup>& trapDests)
    : address_(std::move(address)), trapDests_(trapDests) {
  for (const StoredFileSetup& f : files) {
    files_.append({f.name, f.kind, f.id, f.persistence, f.content});
  }
}

QList<StoredFile> DeviceState::files() const {
  QMutexLocker lock(&mutex_);
  return files_;
}

void DeviceState::put(const StoredFile& file) {
  QMutexLocker lock(&mutex_);
  ++revision_;
  for (StoredFile& f : files_) {
    if (f.kind == file.kind && f.name == file.name) {
      f = file;
      return;
    }
  }
  files_.append(file);
}

StoredFile DeviceState::store(const PjlDownload& d, std::optional<StoredFile>* replaced) {
  StoredFile file{d.name, d.kind, d.requestedId, QStringLiteral("nonvolatile"), d.content};
  if (replaced) replaced->reset();
  QMutexLocker lock(&mutex_);
  ++revision_;
  if (isPcl(d.kind) && d.requestedId == 0) {
    // ID 0 asks the device to pick: the next one free for that kind.
    quint32 top = 0;
    for (const StoredFile& f : files_) {
      if (f.kind == d.kind) top = qMax(top, f.id);
    }
    file.id = top + 1;
  }
  if (isPcl(d.kind)) {
    file.name = QStringLiteral("%1 %2")
                    .arg(d.kind == QLatin1String("pclFont") ? "Font" : "Macro")
                    .arg(file.id);
  }
  for (StoredFile& f : files_) {
    const bool same =
        f.kind == file.kind && (isPcl(f.kind) ? f.id == file.id : f.name == file.name);
    if (!same) continue;
    if (replaced) *replaced = f;
    file.name = f.name;  // a PCL file keeps the name it is listed under
    f = file;
    return file;
  }
  files_.append(file);
  return file;
}

DeviceTable DeviceState::fileStorageTable() const {
  DeviceTable table;
  for (const QString& c : kFileColumns) table.columns << c;
  QMutexLocker lock(&mutex_);
  for (qsizetype i = 0; i < files_.size(); ++i) {
    const StoredFile& f = files_.at(i);
    table.rows << QStringList{
        QString::number(i + 1), f.name, QString::number(f.content.size()), f.kind, f.persistence,
        QString::number(f.id)};
  }
  return table;
}

QList<TrapDestSetup> DeviceState::trapDests() const {
  QMutexLocker lock(&mutex_);
  return trapDests_;
}

DeviceTable DeviceState::trapDestTable() const {
  DeviceTable table;
  table.columns = QStringList{kAddr, kCommunity, kStatus};
  QMutexLocker lock(&mutex_);
  for (const TrapDestSetup& row : trapDests_) {
    table.rows << QStringList{row.addr, row.community, row.status};
  }
  return table;
}

bool DeviceState::writeTrapDest(const QList<TrapDestCell>& cells, QString* error) {
  QMutexLocker lock(&mutex_);
  for (const TrapDestCell& c : cells) {
    if (c.column != kAddr && c.column != kCommunity && c.column != kStatus && c.column != kPort) {
      *error = QStringLiteral("no column %1 in staticTrapDestTable").arg(c.column);
      return false;
    }
    if (c.row < 0 || c.row >= trapDests_.size()) {
      *error = QStringLiteral("no row %1 in staticTrapDestTable of %2").arg(c.row).arg(address_);
      return false;
    }
    if (c.column == kStatus && c.value != QLatin1String("valid") &&
        c.value != QLatin1String("invalid")) {
      *error = QStringLiteral("status must be valid or invalid, not \"%1\"").arg(c.value);
      return false;
    }
    bool ok = false;
    if (c.column == kPort && (c.value.toUInt(&ok) < 1 || !ok || c.value.toUInt() > 65535)) {
      *error = QStringLiteral("port must be 1 to 65535, not \"%1\"").arg(c.value);
      return false;
    }
  }
  ++revision_;
  for (const TrapDestCell& c : cells) {
    TrapDestSetup& row = trapDests_[c.row];
    if (c.column == kPort) {
      row.port = quint16(c.value.toUInt());
      continue;
    }
    (c.column == kAddr ? row.addr : c.column == kCommunity ? row.community : row.status) = c.value;
  }
  return true;
}

quint64 DeviceState::revision() const {
  QMutexLocker lock(&mutex_);
  return revision_;
}

QByteArray DeviceState::answerPage(const HttpRequest& request, QList<StoredFile>* removed) {
  const bool get = request.target == "/DSMGetFiles.cgi";
  const bool del = request.target == "/DSMDeletefiles.cgi";
  if (!get && !del) return httpAnswer(404, "no such page\n", "text/plain");
  if (request.method != "POST") return httpAnswer(405, "POST only\n", "text/plain");
  QList<QPair<QString, QByteArray>> parts;
  QString error;
  if (!parseMultipartForm(request.field("Content-Type"), request.body, &parts, &error)) {
    return httpAnswer(400, error.toUtf8() + '\n', "text/plain");
  }
  // The pages take triples (FileName, FileType, FontMacroId), in that order.
  if (parts.isEmpty() || parts.size() % 3 != 0 || (get && parts.size() != 3)) {
    return httpAnswer(400, "expected FileName, FileType, FontMacroId\n", "text/plain");
  }
  struct Wanted {
    QString name;
    QString kind;
    quint32 id;
  };
  QList<Wanted> wanted;
  for (qsizetype i = 0; i < parts.size(); i += 3) {
    if (parts.at(i).first != QLatin1String("FileName") ||
        parts.at(i + 1).first != QLatin1String("FileType") ||
        parts.at(i + 2).first != QLatin1String("FontMacroId")) {
      return httpAnswer(400, "expected FileName, FileType, FontMacroId\n", "text/plain");
    }
    wanted.append({QString::fromLatin1(parts.at(i).second),
                   kindFromCode(parts.at(i + 1).second.toInt()), parts.at(i + 2).second.toUInt()});
  }
  // A file matches by kind and name; a PCL file also by its ID (its name is the device's own).
  auto matches = [](const StoredFile& f, const Wanted& w) {
    return f.kind == w.kind && (f.name == w.name || (isPcl(f.kind) && w.id != 0 && f.id == w.id));
  };
  QMutexLocker lock(&mutex_);
  if (get) {
    for (const StoredFile& f : files_) {
      if (matches(f, wanted.first())) return httpAnswer(200, f.content);
    }
    return httpAnswer(404, "no such file\n", "text/plain");
  }
  QByteArray report;
  for (const Wanted& w : wanted) {
    bool found = false;
    for (qsizetype i = 0; i < files_.size(); ++i) {
      if (!matches(files_.at(i), w)) continue;
      const StoredFile taken = files_.takeAt(i);
      ++revision_;
      if (removed) removed->append(taken);
      found = true;
      break;
    }
    report += (found ? "deleted " : "not found ") + w.name.toLatin1() + '\n';
  }
  return httpAnswer(200, report, "text/plain");
}

}  // namespace Zarvo::suite
