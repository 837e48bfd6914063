// Which upload paths are read: only a regular file that lies, links resolved, inside an upload
// directory. A sentinel beside the directory must never be read, whatever the path does to get
// there; the store and add jobs read uploads through the same check.
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <QDir>
#include <QFile>
#include <QTemporaryDir>

#include "plugin/ServerFileStore.h"
#include "plugin/UploadRoots.h"
#include "tests/fakes/LogLines.h"

namespace Zarvo::dsm {
namespace {

const QByteArray kSentinel = "SENTINEL: must never be read";
const QByteArray kUpload = "\x1b)s4Wabcd";

class Uploads : public ::testing::Test {
 protected:
  void SetUp() override {
    QDir root(root_.path());
    ASSERT_TRUE(root.mkpath("up/sub") && root.mkpath("other") && root.mkpath("store"));
    write("secret", kSentinel);
    write("up/a.pcl", kUpload);
    write("other/b.pcl", kUpload);
    link("secret", "up/out");        // a link inside that leads out
    link("up/a.pcl", "up/in");       // a link that stays inside
    link(".", "up/root");            // a directory link that leads out
    link("missing", "up/dangling");  // leads nowhere
    link("other", "uplink");         // an upload directory configured through a link
    ASSERT_EQ(::mkfifo(QFile::encodeName(path("up/fifo")).constData(), 0600), 0);
  }

  QString path(const QString& relative) const { return root_.filePath(relative); }
  void write(const QString& relative, const QByteArray& bytes) const {
    QFile f(path(relative));
    ASSERT_TRUE(f.open(QIODevice::WriteOnly));
    f.write(bytes);
  }
  void link(const QString& target, const QString& relative) const {
    ASSERT_TRUE(QFile::link(path(target), path(relative))) << relative.toStdString();
  }
  UploadRoots roots() const { return UploadRoots({path("up"), path("uplink")}); }

  QTemporaryDir root_;
};

TEST_F(Uploads, OnlyRegularFilesInsideAnUploadDirectoryAreRead) {
  using O = UploadRoots::Outcome;
  struct Case {
    QString path;
    O outcome;
    const char* why;
  };
  const Case kCases[] = {
      {path("up/a.pcl"), O::kRead, "a file inside"},
      {path("up/sub/../a.pcl"), O::kRead, "\"..\" that stays inside"},
      {path("up/in"), O::kRead, "a link to a file inside"},
      {path("uplink/b.pcl"), O::kRead, "inside a directory configured through a link"},
      {path("other/b.pcl"), O::kRead, "the same directory, named as it is"},
      {path("secret"), O::kRefused, "outside every upload directory"},
      {path("up/../secret"), O::kRefused, "\"..\" that climbs out"},
      {path("up/sub/../../secret"), O::kRefused, "\"..\" twice"},
      {path("up/out"), O::kRefused, "a link inside that leads out"},
      {path("up/root/secret"), O::kRefused, "a directory link that leads out"},
      {path("up"), O::kRefused, "the directory itself is not inside it"},
      {"/etc/passwd", O::kRefused, "a system file"},
      {"", O::kRefused, "no path"},
      {path("up/a.pcl") + QChar(0) + "x", O::kRefused, "a NUL would cut the path short"},
      {path("up/missing"), O::kUnreadable, "nothing there"},
      {path("up/dangling"), O::kUnreadable, "a link to nothing"},
      {path("up/sub"), O::kUnreadable, "a directory"},
      {path("up/fifo"), O::kUnreadable, "a FIFO: must not block"},
  };
  for (const Case& c : kCases) {
    SCOPED_TRACE(c.why);
    QByteArray content = "untouched";
    const qsizetype from = testing_log::LogLines::get().mark();
    EXPECT_EQ(roots().read(c.path, 1 << 20, &content), c.outcome);
    EXPECT_EQ(content, c.outcome == O::kRead ? kUpload : QByteArray("untouched"));
    EXPECT_EQ(testing_log::LogLines::get().count(from, "LargeFile outside the upload directories"),
              c.outcome == O::kRefused ? 1 : 0);
  }
  QByteArray content;
  EXPECT_EQ(roots().read(path("up/a.pcl"), 3, &content), UploadRoots::Outcome::kUnreadable)
      << "larger than the limit";
}

TEST_F(Uploads, TheStoreCopiesOnlyUploadsInsideAndCreatesItsFilesForOwnerAndGroup) {
  const ServerFileStore store(path("store") + "/", roots());
  for (const char* escape : {"secret", "up/../secret", "up/out", "up/root/secret"}) {
    SCOPED_TRACE(escape);
    EXPECT_FALSE(store.add(path(escape), QStringLiteral("stolen.pcl")));
  }
  EXPECT_FALSE(QFile::exists(path("store/stolen.pcl")));
  EXPECT_TRUE(store.add(path("up/a.pcl"), QStringLiteral("a.pcl")));
  struct stat info {};
  ASSERT_EQ(::stat(QFile::encodeName(path("store/a.pcl")).constData(), &info), 0);
  EXPECT_EQ(info.st_mode & 07777, 0640u) << "not readable by every user of the machine";

  // A name that could be sent but never listed is no store name.
  EXPECT_FALSE(store.add(path("up/a.pcl"), QStringLiteral(".hidden")));
  EXPECT_FALSE(QFile::exists(path("store/.hidden")));
  write("store/.kept", "x");
  EXPECT_FALSE(store.remove(QStringLiteral(".kept")));
  QByteArray content;
  EXPECT_FALSE(store.read(QStringLiteral(".kept"), &content));
  EXPECT_TRUE(QFile::exists(path("store/.kept")));
}

}  // namespace
}  // namespace Zarvo::dsm
