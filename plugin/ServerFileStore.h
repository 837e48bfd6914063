// The server-side file store: a plain directory ("Files" beside the executable) where users keep
// fonts, macros and forms before sending them to devices. A stored file is known by its name
// only; its kind, PCL ID, size and date are read from the file each time it is listed.
//
// Every name that reaches the file system passes one check (isValidName): it must name a file
// directly inside the store, so a request cannot reach, overwrite or delete anything beside it,
// and must not start with "." (dot-files are never listed, and the store's temporary files use
// such names while they are written). Only regular files of at most kMaxFileSize bytes count as
// stored files. Stored files are created mode 0640: readable by the service's group, not by
// every user of the machine.
//
// Uploads ("LargeFile" paths, here and in add jobs) are read through the store's upload roots
// only (UploadRoots.h).
#pragma once

#include <QByteArray>
#include <QList>
#include <QString>
#include <QtGlobal>

#include "plugin/UploadRoots.h"

namespace Zarvo::dsm {

class ServerFileStore {
 public:
  // A file larger than this counts as one that cannot be opened.
  static constexpr qint64 kMaxFileSize = qint64(256) * 1024 * 1024;
  // The longest name a file system takes (in bytes; a name of more characters never fits).
  static constexpr qsizetype kMaxNameLength = 255;

  struct Entry {
    QString name;
    quint32 size = 0;
    QString type;      // "pclFont", "pclMacro", "psFont" or "psForm"
    QString id;        // the PCL ID in decimal; "" for no ID and for PostScript files
    quint32 date = 0;  // last modification, seconds since 1970-01-01 UTC
  };

  // The directory "Files" in the current working directory, created when missing, with a
  // trailing "/" so a name can be appended.
  static QString serverStoreDirectory();

  // `directory` ends with "/" (as serverStoreDirectory gives it); uploads are read from inside
  // `uploads` only.
  explicit ServerFileStore(QString directory, UploadRoots uploads = UploadRoots::temporaryFolder());

  const QString& directory() const { return directory_; }
  const UploadRoots& uploads() const { return uploads_; }

  // A name is valid only when it is non-empty, does not start with "." (so neither "." nor ".."
  // nor a name that could be sent but never listed), is at most kMaxNameLength characters, and
  // holds no "/", "\" or NUL.
  static bool isValidName(const QString& name);
  // The last path component of a user's file name; "/" and "\" both separate components.
  static QString lastComponent(const QString& fileName);

  // Every regular, readable, not-too-large file that is not a dot-file, in the order the file
  // system gives them.
  QList<Entry> list() const;

  // Copies the upload at `sourcePath` into the store under the last component of
  // `userFileName`. False (nothing changed) when the name is invalid, the upload cannot be read
  // (readUpload) or a stored file of that name exists: a copy never overwrites.
  bool add(const QString& sourcePath, const QString& userFileName) const;

  // The one way an upload is read, by the store and by add jobs alike: a regular file of at most
  // kMaxFileSize bytes inside the upload roots.
  [[nodiscard]] UploadRoots::Outcome readUpload(const QString& path, QByteArray* content) const;

  // Removes a stored file; false when the name is invalid or nothing was removed.
  bool remove(const QString& name) const;

  // Rewrites the PCL font or macro ID of a stored file. `idText` must be a decimal 0..65535;
  // the rewrite declines IDs above 32767 and files that are not PCL. The new content replaces
  // the old one whole or not at all. True when the file was rewritten.
  bool setFileId(const QString& name, const QString& idText) const;

  // The whole content of a stored file; false when the name is invalid or the file is not a
  // regular, readable file of at most kMaxFileSize bytes.
  bool read(const QString& name, QByteArray* content) const;

 private:
  QString directory_;
  UploadRoots uploads_;
};

}  // namespace Zarvo::dsm
