// The console's smaller parts: which Host headers name it, which names may be stored, where and
// how uploads are written, and how live updates reach their listeners.
#include <gtest/gtest.h>

#include <QDir>
#include <QTemporaryDir>
#include <atomic>
#include <chrono>

#include "console/ConsoleSettings.h"
#include "console/OperationFeed.h"
#include "console/RequestGuard.h"
#include "console/UploadDirectory.h"

namespace Zarvo::console {
namespace {

using namespace std::chrono_literals;

TEST(RequestGuard, OnlyHostsThatNameTheConsoleByAddressAreAnswered) {
  const RequestGuard guard("t", 8070);
  struct Case {
    const char* why;
    const char* host;
    bool allowed;
  };
  const Case cases[] = {
      {"loopback by address", "127.0.0.1:8070", true},
      {"another loopback address", "127.0.0.5:8070", true},
      {"by name, as a browser on this machine does", "localhost:8070", true},
      {"IPv6 loopback", "[::1]:8070", true},
      {"a rebound DNS name: another site's page", "evil.example:8070", false},
      {"a name ending like an address", "127.0.0.1.nip.io:8070", false},
      {"another port", "127.0.0.1:8071", false},
      {"no port means 80", "127.0.0.1", false},
      {"no Host at all", "", false},
      {"a port with a sign", "127.0.0.1:+8070", false},
      {"an address that is not one", "999.1.1.1:8070", false},
      {"IPv6 without its closing bracket", "[::1:8070", false},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.why);
    EXPECT_EQ(guard.hostAllowed(c.host), c.allowed);
  }
  EXPECT_EQ(RequestGuard::newToken().size(), 32);
  EXPECT_NE(RequestGuard::newToken(), RequestGuard::newToken());
}

TEST(UploadDirectory, NamesThatCouldLeaveTheStoreOrHideInItAreRefused) {
  struct Case {
    const char* why;
    QString name;
    bool ok;
  };
  const Case cases[] = {
      {"a plain name", "Garamond.pfa", true},
      {"letters beyond ASCII and blanks inside", QStringLiteral("Schrift ä 2.pfa"), true},
      {"two dots inside a name are harmless", "a..b.pcl", true},
      {"climbing out", "../evil.pcl", false},
      {"a path", "fonts/a.pcl", false},
      {"a Windows path", "C:\\up\\a.pcl", false},
      {"a dot-file, which the store hides", ".profile", false},
      {"the parent itself", "..", false},
      {"nothing", "", false},
      {"a line break, which would forge a log line", "a\nb.pcl", false},
      {"a double quote, which would end the printer command's name", "a\"b.pcl", false},
      {"blank at the end", "a.pcl ", false},
      {"longer than 200 characters", QString(201, 'a'), false},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.why);
    EXPECT_EQ(UploadDirectory::storeNameProblem(c.name).isEmpty(), c.ok);
  }
}

TEST(UploadDirectory, UploadsAreWrittenUnderMadeUpNamesUpToTheLimitAndRemovedAfter) {
  QTemporaryDir dir;
  const UploadDirectory uploads(dir.filePath("uploads"), 10);
  QString error;
  ASSERT_TRUE(uploads.prepare(&error)) << error.toStdString();
  auto a = uploads.create(&error);
  auto b = uploads.create(&error);
  ASSERT_TRUE(a && b) << error.toStdString();
  EXPECT_NE(a->path(), b->path());
  EXPECT_EQ(QFileInfo(a->path()).absolutePath(), QDir(dir.filePath("uploads")).absolutePath());
  EXPECT_TRUE(a->write("0123456789", 10));
  EXPECT_FALSE(a->write("x", 1)) << "past the limit";
  EXPECT_TRUE(a->tooLarge());
  EXPECT_FALSE(a->finish());
  EXPECT_EQ(QFileInfo(a->path()).size(), 10);
  const QString path = a->path();
  a.reset();
  b.reset();
  EXPECT_FALSE(QFileInfo::exists(path));
  EXPECT_EQ(QDir(dir.filePath("uploads")).entryList(QDir::Files), QStringList{});

  ASSERT_TRUE(QDir(dir.filePath("uploads")).removeRecursively());
  EXPECT_TRUE(uploads.create(&error)) << "a directory cleaned away is made again";
}

TEST(ConsoleSettings, TheFileNamesWhereToListenAndWhereUploadsWait) {
  const ConsoleSettings given = ConsoleSettings::fromBytes(
      "<ConsoleConfig><ServiceURL>http://127.0.0.1:0/</ServiceURL>"
      "<DispatcherURL>http://127.0.0.1:9000/</DispatcherURL>"
      "<UploadDirectory> ../dsm/uploads </UploadDirectory></ConsoleConfig>",
      "/opt/zarvo/bin");
  EXPECT_EQ(given.listen.port(), 0);
  EXPECT_EQ(given.namingService.toString(), "http://127.0.0.1:9000/");
  EXPECT_EQ(given.uploadDirectory, "/opt/zarvo/dsm/uploads");
  EXPECT_TRUE(given.error.isEmpty());

  const ConsoleSettings none = ConsoleSettings::fromBytes("<c/>", "/opt/zarvo/bin");
  EXPECT_EQ(none.listen.toString(), "http://127.0.0.1:8070/");
  EXPECT_EQ(none.uploadDirectory, "/opt/zarvo/bin/uploads");

  const ConsoleSettings broken =
      ConsoleSettings::fromBytes("<c><ServiceURL>ftp://x</ServiceURL></c>", "/b");
  EXPECT_EQ(broken.listen.toString(), "http://127.0.0.1:8070/");
  EXPECT_FALSE(broken.error.isEmpty());
}

class Feed : public ::testing::Test {
 protected:
  std::atomic<int> polls_{0};
  std::atomic<int> value_{1};
  OperationFeed feed_{[this] {
                        ++polls_;
                        return QByteArray::number(value_.load());
                      },
                      2ms};
};

TEST_F(Feed, ListenersHearTheCurrentSummaryThenEachChange) {
  auto a = feed_.listen();
  ASSERT_TRUE(a);
  EXPECT_EQ(a->next(5s), QByteArray("1"));
  value_ = 2;
  EXPECT_EQ(a->next(5s), QByteArray("2"));
  // Nothing new: the keep-alive time passes with an empty message.
  EXPECT_EQ(a->next(20ms), QByteArray());
  auto b = feed_.listen();
  EXPECT_EQ(b->next(5s), QByteArray("2")) << "a new listener starts with what is current";
}

TEST_F(Feed, ListenersAreFewAndAreLetGoWhenTheFeedCloses) {
  std::vector<std::unique_ptr<OperationFeed::Listener>> listeners;
  for (int i = 0; i < OperationFeed::kMaxListeners; ++i) listeners.push_back(feed_.listen());
  EXPECT_FALSE(feed_.listen()) << "one more would hold one more connection for good";
  listeners.pop_back();
  EXPECT_TRUE(feed_.listen());
  feed_.close();
  EXPECT_EQ(listeners.front()->next(5s), std::nullopt);
  EXPECT_FALSE(feed_.listen());
}

}  // namespace
}  // namespace Zarvo::console
