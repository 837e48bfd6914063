// Where the console puts an upload until the storage manager has copied it into its store: a
// directory of the console's configuration, which the storage manager must accept uploads from
// (its own "uploads" beside its executable by default).
//
// The user's file name never becomes part of a path here: each upload is written under a name
// the console makes up (created exclusively, so nothing existing is opened or replaced), and the
// user's name travels only as the store name, after storeNameProblem() has passed it.
#pragma once

#include <QString>
#include <QtGlobal>
#include <memory>

namespace Zarvo::console {

// One upload being written. Removed from the disk when destroyed: the storage manager keeps its
// own copy, and a broken or refused upload leaves nothing behind.
class UploadFile {
 public:
  UploadFile(int fd, QString path, qint64 limit) : fd_(fd), path_(std::move(path)), limit_(limit) {}
  ~UploadFile();
  UploadFile(const UploadFile&) = delete;
  UploadFile& operator=(const UploadFile&) = delete;

  // Appends bytes; false once the upload passed its limit (nothing more is written) or the disk
  // refused them.
  bool write(const char* data, qint64 size);
  // Flushes and closes; false when the disk failed at any point.
  bool finish();

  const QString& path() const { return path_; }
  qint64 size() const { return size_; }
  bool tooLarge() const { return tooLarge_; }

 private:
  int fd_;
  QString path_;
  qint64 limit_;
  qint64 size_ = 0;
  bool tooLarge_ = false;
  bool failed_ = false;
};

class UploadDirectory {
 public:
  static constexpr qint64 kMaxUpload = qint64(256) * 1024 * 1024;

  UploadDirectory(QString path, qint64 limit = kMaxUpload);

  const QString& path() const { return path_; }
  qint64 limit() const { return limit_; }

  // Creates the directory when missing; false with the reason otherwise.
  bool prepare(QString* error) const;
  // A new, empty file of a made-up name in the directory; null with the reason on failure.
  std::unique_ptr<UploadFile> create(QString* error) const;

  // Why `name` cannot be a stored file's name, or "" when it can: not empty, at most 200
  // characters, no path separator, no control character or double quote (the
  // name travels inside a printer command), not starting with a dot (the store
  // hides dot-files), no blank at either end.
  static QString storeNameProblem(const QString& name);

 private:
  QString path_;
  qint64 limit_;
};

}  // namespace Zarvo::console
