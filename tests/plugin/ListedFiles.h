// A file list's rows as text, for comparing them in one line each.
#pragma once

#include <QString>
#include <QStringList>

#include "plugin/DeviceFileList.h"

namespace Zarvo::dsm {

// "index|name|size|type|persistence|id" per FileStorage.
inline QStringList listedFiles(const DSMGetFileList_Response::c_OrxResponse& r) {
  QStringList out;
  for (std::size_t i = 0; i < r.size_FileStorage(); ++i) {
    const auto& f = r.get_FileStorage(i);
    out << QString("%1|%2|%3|%4|%5|%6")
               .arg(f.get_FileIndex())
               .arg(QString::fromStdU16String(f.get_FileName()))
               .arg(f.get_FileSize())
               .arg(QString::fromStdU16String(f.get_FileType()),
                    QString::fromStdU16String(f.get_FilePersistence()))
               .arg(f.get_FileStorageFileID());
  }
  return out;
}

}  // namespace Zarvo::dsm
