// The store works with POSIX calls where it matters: files are opened without following links and
// checked with fstat on the open descriptor, so what is read is what was checked.
#include "plugin/ServerFileStore.h"

#include <dirent.h>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <QDir>
#include <QFile>
#include <QTemporaryFile>
#include <algorithm>
#include <cerrno>
#include <limits>
#include <memory>

#include "plugin/FdCloser.h"
#include "plugin/FileContent.h"

namespace Zarvo::dsm {

namespace {

struct DirCloser {
  void operator()(DIR* d) const { ::closedir(d); }
};

// Reads a whole regular file of at most `maxSize` bytes through an open descriptor.
bool readOpenFile(int fd, qint64 maxSize, QByteArray* content, struct stat* info) {
  if (::fstat(fd, info) != 0 || !S_ISREG(info->st_mode) || info->st_size > maxSize) return false;
  QByteArray data;
  data.resize(qsizetype(info->st_size));
  qsizetype done = 0;
  while (done < data.size()) {
    const ssize_t n = ::read(fd, data.data() + done, size_t(data.size() - done));
    if (n < 0 && errno == EINTR) continue;
    if (n < 0) return false;
    if (n == 0) break;  // the file shrank while it was read: keep what is there
    done += n;
  }
  data.truncate(done);
  *content = std::move(data);
  return true;
}

// Opens `name` inside the directory `dirFd` without following a link (a link could lead out of
// the store) and without blocking on a FIFO.
bool readStored(int dirFd, const QByteArray& name, QByteArray* content, struct stat* info) {
  FdCloser file{::openat(dirFd, name.constData(), O_RDONLY | O_NOFOLLOW | O_NONBLOCK | O_CLOEXEC)};
  if (file.fd < 0) return false;
  return readOpenFile(file.fd, ServerFileStore::kMaxFileSize, content, info);
}

quint32 clampToUnsigned32(qint64 value) {
  if (value < 0) return 0;
  if (value > qint64(std::numeric_limits<quint32>::max()))
    return std::numeric_limits<quint32>::max();
  return quint32(value);
}

// The type text and ID text of a file's content.
void describe(const QByteArray& content, ServerFileStore::Entry* entry) {
  const FileKind kind = fileKindOfContent(content);
  entry->type = fileKindText(kind);
  entry->id.clear();
  if (kind == FileKind::kPclFont || kind == FileKind::kPclMacro) {
    const quint16 id = inspectPclFile(content).id;
    if (id != kNoPclId) entry->id = QString::number(id);
  }
}

// Writes `content` to a new dot-file in `directory` (never listed while it exists) and syncs it.
// The file is removed again when the returned object goes away unless it was renamed.
std::unique_ptr<QTemporaryFile> writeTemporary(const QString& directory, const char* prefix,
                                               const QByteArray& content, mode_t mode) {
  auto temp = std::make_unique<QTemporaryFile>(directory + QLatin1String(prefix) +
                                               QStringLiteral("XXXXXX"));
  if (!temp->open()) return nullptr;
  if (temp->write(content) != content.size() || !temp->flush()) return nullptr;
  if (::fchmod(temp->handle(), mode) != 0 || ::fsync(temp->handle()) != 0) return nullptr;
  return temp;
}

}  // namespace

QString ServerFileStore::serverStoreDirectory() {
  const QString path = QDir::currentPath() + QStringLiteral("/Files");
  // Owner and group only, like the files in it.
  (void)::mkdir(QFile::encodeName(path).constData(), 0750);
  return path + QLatin1Char('/');
}

ServerFileStore::ServerFileStore(QString directory, UploadRoots uploads)
    : directory_(std::move(directory)), uploads_(std::move(uploads)) {
  if (!directory_.endsWith(QLatin1Char('/'))) directory_ += QLatin1Char('/');
}

bool ServerFileStore::isValidName(const QString& name) {
  if (name.isEmpty() || name.startsWith(QLatin1Char('.'))) return false;
  // No file system takes a longer name; refused before a path is built from it, which for a
  // name of megabytes would cost several copies of it.
  if (name.size() > kMaxNameLength) return false;
  for (const QChar c : name) {
    if (c == QLatin1Char('/') || c == QLatin1Char('\\') || c == QChar(0)) return false;
  }
  return true;
}

QString ServerFileStore::lastComponent(const QString& fileName) {
  const qsizetype cut =
      std::max(fileName.lastIndexOf(QLatin1Char('/')), fileName.lastIndexOf(QLatin1Char('\\')));
  return fileName.mid(cut + 1);
}

QList<ServerFileStore::Entry> ServerFileStore::list() const {
  QList<Entry> entries;
  std::unique_ptr<DIR, DirCloser> dir(::opendir(QFile::encodeName(directory_).constData()));
  if (!dir) return entries;
  const int dirFd = ::dirfd(dir.get());
  QByteArray content;
  while (const dirent* e = ::readdir(dir.get())) {
    if (e->d_name[0] == '.') continue;  // hidden files, the store's temporaries, "." and ".."
    if (e->d_type != DT_REG && e->d_type != DT_UNKNOWN) continue;
    struct stat info {};
    if (!readStored(dirFd, QByteArray(e->d_name), &content, &info)) continue;
    Entry entry;
    entry.name = QFile::decodeName(e->d_name);
    entry.size = clampToUnsigned32(info.st_size);
    describe(content, &entry);
    entry.date = clampToUnsigned32(info.st_mtim.tv_sec);
    entries.append(entry);
  }
  return entries;
}

bool ServerFileStore::read(const QString& name, QByteArray* content) const {
  if (!isValidName(name)) return false;
  FdCloser dir{
      ::open(QFile::encodeName(directory_).constData(), O_RDONLY | O_DIRECTORY | O_CLOEXEC)};
  if (dir.fd < 0) return false;
  struct stat info {};
  return readStored(dir.fd, QFile::encodeName(name), content, &info);
}

bool ServerFileStore::add(const QString& sourcePath, const QString& userFileName) const {
  const QString name = lastComponent(userFileName);
  if (!isValidName(name)) return false;
  QByteArray content;
  if (readUpload(sourcePath, &content) != UploadRoots::Outcome::kRead) return false;
  auto temp = writeTemporary(directory_, ".add-", content, 0640);
  if (!temp) return false;
  // link() publishes the whole file at once and refuses to replace an existing name.
  return ::link(QFile::encodeName(temp->fileName()).constData(),
                QFile::encodeName(directory_ + name).constData()) == 0;
}

UploadRoots::Outcome ServerFileStore::readUpload(const QString& path, QByteArray* content) const {
  return uploads_.read(path, kMaxFileSize, content);
}

bool ServerFileStore::remove(const QString& name) const {
  if (!isValidName(name)) return false;
  // unlink() never removes a directory; a link is removed itself, not what it points to.
  return ::unlink(QFile::encodeName(directory_ + name).constData()) == 0;
}

bool ServerFileStore::setFileId(const QString& name, const QString& idText) const {
  if (!isValidName(name)) return false;
  // Only a decimal 0..65535 sets an ID; any other text leaves the file as it is.
  if (idText.isEmpty() || idText.size() > 5) return false;
  for (const QChar c : idText) {
    if (c < QLatin1Char('0') || c > QLatin1Char('9')) return false;
  }
  const uint id = idText.toUInt();
  if (id > 65535) return false;

  FdCloser dir{
      ::open(QFile::encodeName(directory_).constData(), O_RDONLY | O_DIRECTORY | O_CLOEXEC)};
  if (dir.fd < 0) return false;
  QByteArray content;
  struct stat info {};
  if (!readStored(dir.fd, QFile::encodeName(name), &content, &info)) return false;
  const auto [done, rewritten] = setPclFileId(content, int(id));
  if (!done) return false;

  // A new file renamed over the old one: a failed write or a crash leaves the original whole.
  auto temp = writeTemporary(directory_, ".setid-", rewritten, info.st_mode & 07777);
  if (!temp) return false;
  if (::rename(QFile::encodeName(temp->fileName()).constData(),
               QFile::encodeName(directory_ + name).constData()) != 0) {
    return false;
  }
  temp->setAutoRemove(false);  // its name is now the stored file's
  return true;
}

}  // namespace Zarvo::dsm
