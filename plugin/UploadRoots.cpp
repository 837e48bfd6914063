#include "plugin/UploadRoots.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <cerrno>
#include <climits>
#include <cstdlib>
#include <cstring>

#include "framework/Log.h"
#include "plugin/FdCloser.h"

namespace Zarvo::dsm {

namespace {

// The path with every link resolved, or "" when some step of it does not exist.
QString resolved(const QString& path) {
  char buffer[PATH_MAX];
  if (!::realpath(QFile::encodeName(path).constData(), buffer)) return QString();
  return QFile::decodeName(buffer);
}

// The path the system has for an open descriptor: what was opened, whatever the name said.
QString pathOf(int fd) {
  char buffer[PATH_MAX];
  const QByteArray link = "/proc/self/fd/" + QByteArray::number(fd);
  const ssize_t n = ::readlink(link.constData(), buffer, sizeof buffer - 1);
  if (n <= 0) return QString();
  return QFile::decodeName(QByteArray(buffer, int(n)));
}

bool strictlyUnder(const QString& path, const QString& directory) {
  if (directory.isEmpty()) return false;
  if (directory == QLatin1String("/")) return path.size() > 1 && path.startsWith(directory);
  return path.size() > directory.size() + 1 && path.startsWith(directory) &&
         path.at(directory.size()) == QLatin1Char('/');
}

}  // namespace

UploadRoots::UploadRoots(QStringList directories) {
  for (const QString& d : directories) {
    directories_ << QDir::cleanPath(QDir::current().absoluteFilePath(d));
  }
}

QStringList UploadRoots::defaultDirectories() {
  const QString uploads = QDir::current().absoluteFilePath(QStringLiteral("uploads"));
  // Owner and group only: what the front end places there is the users' files.
  if (::mkdir(QFile::encodeName(uploads).constData(), 0750) != 0 && errno != EEXIST) {
    const int error = errno;
    ZLOG("err") << "Upload directory " << uploads << " cannot be created: " << std::strerror(error);
  }
  return {uploads, QDir::tempPath()};
}

UploadRoots UploadRoots::temporaryFolder() { return UploadRoots({QDir::tempPath()}); }

bool UploadRoots::inside(const QString& path, bool resolvedOnly) const {
  for (const QString& d : directories_) {
    if (!resolvedOnly && strictlyUnder(path, d)) return true;
    if (strictlyUnder(path, resolved(d))) return true;
  }
  return false;
}

UploadRoots::Outcome UploadRoots::read(const QString& path, qint64 maxSize,
                                       QByteArray* content) const {
  const auto refuse = [&path] {
    ZLOG("warning") << "LargeFile outside the upload directories refused: \"" << path << "\"";
    return Outcome::kRefused;
  };
  // Paths that are not inside even as written are refused without touching the file system.
  const QString written = QDir::cleanPath(QDir::current().absoluteFilePath(path));
  if (path.isEmpty() || path.contains(QChar(0)) || !inside(written, false)) return refuse();
  const QString real = resolved(written);
  if (real.isEmpty()) return Outcome::kUnreadable;
  if (!inside(real, true)) return refuse();

  // The resolved path has no link left in it; one that appears now is a swap.
  FdCloser file{
      ::open(QFile::encodeName(real).constData(), O_RDONLY | O_NOFOLLOW | O_NONBLOCK | O_CLOEXEC)};
  if (file.fd < 0) return errno == ELOOP ? refuse() : Outcome::kUnreadable;
  if (pathOf(file.fd) != real) return refuse();
  struct stat info {};
  // Only a regular file: a FIFO would block and a device node never ends.
  if (::fstat(file.fd, &info) != 0 || !S_ISREG(info.st_mode) || info.st_size > maxSize) {
    return Outcome::kUnreadable;
  }
  QByteArray bytes;
  bytes.resize(qsizetype(info.st_size));
  qsizetype done = 0;
  while (done < bytes.size()) {
    const ssize_t n = ::read(file.fd, bytes.data() + done, size_t(bytes.size() - done));
    if (n < 0 && errno == EINTR) continue;
    if (n < 0) return Outcome::kUnreadable;
    if (n == 0) break;  // the file shrank meanwhile: take what is there
    done += n;
  }
  bytes.truncate(done);
  *content = std::move(bytes);
  return Outcome::kRead;
}

}  // namespace Zarvo::dsm
