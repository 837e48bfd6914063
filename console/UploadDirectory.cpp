#include "console/UploadDirectory.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QRandomGenerator>
#include <cerrno>
#include <cstring>

namespace Zarvo::console {

UploadFile::~UploadFile() {
  if (fd_ >= 0) ::close(fd_);
  ::unlink(QFile::encodeName(path_).constData());
}

bool UploadFile::write(const char* data, qint64 size) {
  if (tooLarge_ || failed_ || fd_ < 0) return false;
  if (size > limit_ - size_) {
    tooLarge_ = true;
    return false;
  }
  while (size > 0) {
    const ssize_t n = ::write(fd_, data, std::size_t(size));
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0) {
      failed_ = true;
      return false;
    }
    data += n;
    size -= n;
    size_ += n;
  }
  return true;
}

bool UploadFile::finish() {
  if (fd_ < 0) return !failed_ && !tooLarge_;
  const bool closed = ::close(fd_) == 0;
  fd_ = -1;
  return closed && !failed_ && !tooLarge_;
}

UploadDirectory::UploadDirectory(QString path, qint64 limit)
    : path_(QDir::cleanPath(std::move(path))), limit_(limit) {}

bool UploadDirectory::prepare(QString* error) const {
  if (QDir().mkpath(path_) && QFileInfo(path_).isDir()) return true;
  if (error) *error = QStringLiteral("cannot create the upload directory %1").arg(path_);
  return false;
}

std::unique_ptr<UploadFile> UploadDirectory::create(QString* error) const {
  for (int attempt = 0; attempt < 8; ++attempt) {
    const QString name = QStringLiteral("upload-%1")
                             .arg(QString::number(QRandomGenerator::system()->generate64(), 16)
                                      .rightJustified(16, u'0'));
    const QString path = path_ + QLatin1Char('/') + name;
    // Readable by the storage manager, which may run as another user.
    const int fd = ::open(QFile::encodeName(path).constData(),
                          O_WRONLY | O_CREAT | O_EXCL | O_NOFOLLOW | O_CLOEXEC, 0644);
    if (fd >= 0) return std::make_unique<UploadFile>(fd, path, limit_);
    // Someone cleaned the directory away since the start: make it again, once.
    if (errno == ENOENT && attempt == 0 && prepare(nullptr)) continue;
    if (errno != EEXIST) {
      if (error)
        *error = QStringLiteral("cannot write into %1: %2")
                     .arg(path_, QString::fromLocal8Bit(std::strerror(errno)));
      return nullptr;
    }
  }
  if (error) *error = QStringLiteral("cannot find a free name in %1").arg(path_);
  return nullptr;
}

QString UploadDirectory::storeNameProblem(const QString& name) {
  if (name.isEmpty()) return QStringLiteral("the file has no name");
  if (name.size() > 200) return QStringLiteral("the name is longer than 200 characters");
  if (name.contains(QLatin1Char('/')) || name.contains(QLatin1Char('\\')))
    return QStringLiteral("the name holds a path separator (\"/\" or \"\\\")");
  for (const QChar c : name) {
    if (c.category() == QChar::Other_Control || c.category() == QChar::Other_Format ||
        c == QChar(0x2028) || c == QChar(0x2029))
      return QStringLiteral("the name holds a control character");
  }
  if (name.contains(QLatin1Char('"'))) return QStringLiteral("the name holds a double quote");
  if (name.startsWith(QLatin1Char('.'))) return QStringLiteral("the name starts with a dot");
  if (name.trimmed() != name) return QStringLiteral("the name starts or ends with a blank");
  return QString();
}

}  // namespace Zarvo::console
