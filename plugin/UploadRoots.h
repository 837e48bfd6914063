// Where the front end may place uploads: a "LargeFile" names a local path, and only a regular file
// inside one of these directories is ever read. Without the check a request could have the
// service read any file it can open (a password file) into the store or onto a device's print
// port.
//
// A path counts as inside when the file it names, with every symbolic link resolved, lies under
// one of the directories (themselves resolved): a link inside that leads out, and ".." steps
// that climb out, are refused. The file is opened by its resolved path without following a link
// and checked again through the open descriptor, so a path swapped between the check and the open
// reads nothing.
#pragma once

#include <QByteArray>
#include <QString>
#include <QStringList>
#include <QtGlobal>

namespace Zarvo::dsm {

class UploadRoots {
 public:
  enum class Outcome {
    kRead,        // content holds the file
    kRefused,     // the path leads outside every upload directory (logged on "warning")
    kUnreadable,  // inside, but no regular readable file of at most the size limit
  };

  // `directories` absolute, or relative to the current directory.
  explicit UploadRoots(QStringList directories);

  // The defaults: "uploads" in the current directory (start-up makes that the executable's
  // folder), created when missing, and the system temporary folder.
  static QStringList defaultDirectories();
  // The system temporary folder alone (a store built without the host's configuration).
  static UploadRoots temporaryFolder();

  const QStringList& directories() const { return directories_; }

  // Reads the upload at `path` (absolute, or relative to the current directory) whole.
  [[nodiscard]] Outcome read(const QString& path, qint64 maxSize, QByteArray* content) const;

 private:
  // Whether `path` (absolute, no "." or ".." steps) lies strictly inside one of the directories,
  // as written or resolved. Both forms count, so that a directory configured through a link
  // matches paths written either way.
  bool inside(const QString& path, bool resolvedOnly) const;

  QStringList directories_;  // absolute, cleaned
};

}  // namespace Zarvo::dsm
