// The server-side file store through the four store handlers of ZarvoPluginDSM: what a listing
// shows, what an add, delete or set-ID may touch (nothing outside the store), and that a failed
// rewrite keeps the original bytes.
#include <gtest/gtest.h>
#include <sys/resource.h>
#include <sys/stat.h>
#include <unistd.h>

#include <QDir>
#include <QFile>
#include <QTemporaryDir>
#include <csignal>
#include <map>

#include "plugin/ZarvoPluginDSM.h"
#include "tests/fakes/Bytes.h"
#include "tests/fakes/ServiceClients.h"

namespace Zarvo::dsm {
namespace {

using testing_bytes::hex;

const QByteArray kHeader(64, 'h');
const QByteArray kFontWithoutId = "\x1b)s64W" + kHeader;
const QByteArray kMacro5 =
    "\x1b"
    "E\x1b&f5Y\x1b&f0Xbody";
const QByteArray kPsFont = "%!PS-AdobeFont-1.0\n/FontName /Courier-Bold def\n";

struct Listed {
  quint32 size;
  QString type;
  QString id;
  quint32 date;
};

// A store in a temporary directory with a sentinel file beside it (outside the store).
class Store : public ::testing::Test {
 protected:
  void SetUp() override {
    ASSERT_TRUE(QDir(root_.path()).mkpath("store"));
    write(root_.filePath("sentinel"), "keep me");
    dsm_ = std::make_unique<ZarvoPluginDSM>(services_, root_.filePath("store") + "/");
  }

  QString stored(const QString& name) const { return root_.filePath("store/" + name); }
  static void write(const QString& path, const QByteArray& bytes) {
    QFile f(path);
    ASSERT_TRUE(f.open(QIODevice::WriteOnly)) << path.toStdString();
    f.write(bytes);
  }
  static QByteArray read(const QString& path) {
    QFile f(path);
    return f.open(QIODevice::ReadOnly) ? f.readAll() : QByteArray("<missing>");
  }
  QByteArray sentinel() const { return read(root_.filePath("sentinel")); }

  std::map<QString, Listed> list() {
    ZarvoPluginDSM::ServerGetFileListRequest request;
    auto response = dsm_->DSMServerGetFileList(request);
    EXPECT_EQ(response->get_Result(), 0);
    EXPECT_TRUE(response->get_Details().empty());
    std::map<QString, Listed> files;
    for (std::size_t i = 0; i < response->size_File(); ++i) {
      const auto& f = response->get_File(i);
      files[QString::fromStdU16String(f.get_FileName())] = {
          f.get_FileSize(), QString::fromStdU16String(f.get_FileType()),
          QString::fromStdU16String(f.get_FileID()), f.get_FileDate()};
    }
    return files;
  }
  void setId(const QString& name, const QString& id) {
    ZarvoPluginDSM::ServerSetFileIdRequest request;
    (void)request.set_FileName(name.toStdU16String());
    (void)request.set_FileID(id.toStdU16String());
    auto response = dsm_->DSMServerSetFileId(request);
    EXPECT_EQ(response->get_Result(), 0);
  }
  void remove(const QString& name) {
    ZarvoPluginDSM::ServerDeleteFileRequest request;
    (void)request.append_File();
    (void)request.item_File(0).set_FileName(name.toStdU16String());
    EXPECT_EQ(dsm_->DSMServerDeleteFile(request)->get_Result(), 0);
  }
  void add(const QString& path, const QString& fileName) {
    ZarvoPluginDSM::ServerAddFileRequest request;
    (void)request.append_LargeFile();
    (void)request.item_LargeFile(0).set_value(path.toStdU16String());
    (void)request.item_LargeFile(0).set_filename(fileName.toStdU16String());
    EXPECT_EQ(dsm_->DSMServerAddFile(request)->get_Result(), 0);
  }

  QTemporaryDir root_;
  testing_orx::FakeServiceClient services_;  // the store asks no other service
  std::unique_ptr<ZarvoPluginDSM> dsm_;
};

TEST_F(Store, ListingShowsKindIdSizeAndDateOfRegularFilesOnly) {
  write(stored("font.sft"), kFontWithoutId);
  write(stored("macro.mac"), kMacro5);
  write(stored("ps.pfa"), kPsFont);
  write(stored("notes.txt"), "plain text");
  write(stored(".hidden"), kMacro5);              // dot-files are never listed
  ASSERT_TRUE(QDir(stored("")).mkdir("folder"));  // nor directories
  ASSERT_EQ(::mkfifo(QFile::encodeName(stored("pipe")).constData(), 0600), 0);  // nor FIFOs
  ASSERT_TRUE(QFile::link(root_.filePath("sentinel"), stored("link-out")));     // nor links
  {
    QFile big(stored("big.bin"));  // sparse: costs no disk, but above the size limit
    ASSERT_TRUE(big.open(QIODevice::WriteOnly));
    ASSERT_TRUE(big.resize(ServerFileStore::kMaxFileSize + 1));
  }
  QFile old(stored("notes.txt"));
  ASSERT_TRUE(old.open(QIODevice::ReadWrite));
  ASSERT_TRUE(old.setFileTime(QDateTime::fromSecsSinceEpoch(100, Qt::UTC),
                              QFileDevice::FileModificationTime));
  old.close();

  const auto files = list();
  ASSERT_EQ(files.size(), 4u);
  const Listed font = files.at("font.sft");
  EXPECT_EQ(font.type, "pclFont");
  EXPECT_EQ(font.id, "") << "a font without ID assignment";
  EXPECT_EQ(font.size, quint32(kFontWithoutId.size()));
  EXPECT_EQ(files.at("macro.mac").type, "pclMacro");
  EXPECT_EQ(files.at("macro.mac").id, "5");
  EXPECT_EQ(files.at("ps.pfa").type, "psFont");
  EXPECT_EQ(files.at("ps.pfa").id, "");
  EXPECT_EQ(files.at("notes.txt").type, "psForm");
  EXPECT_EQ(files.at("notes.txt").date, 100u) << "1970-01-01 00:01:40 UTC";
  EXPECT_NEAR(double(font.date), double(QDateTime::currentSecsSinceEpoch()), 60.0);
}

TEST_F(Store, SetIdRewritesAFontAndOnlyADecimalUpTo65535CountsAsAnId) {
  struct Row {
    const char* why;
    const char* id;
    const char* listedAfter;  // the ID text the listing shows afterwards
  };
  const Row kRows[] = {
      {"not a number leaves the file (it used to set 0)", "abc", ""},
      {"a sign is not a decimal", "-1", ""},
      {"above 16 bits must not wrap into range", "65548", ""},
      {"digits with a blank", " 12", ""},
      {"empty text", "", ""},
      {"above 32767 the rewrite declines", "40000", ""},
      {"zero still sets 0", "0", "0"},
      {"a plain ID", "12", "12"},
  };
  for (const Row& row : kRows) {
    SCOPED_TRACE(row.why);
    write(stored("font.sft"), kFontWithoutId);
    setId("font.sft", row.id);
    EXPECT_EQ(list().at("font.sft").id, row.listedAfter);
  }
  setId("font.sft", "7");  // an ID already there is replaced
  EXPECT_EQ(hex(read(stored("font.sft"))), hex("\x1b*c7D\x1b)s64W" + kHeader));
  const QStringList left =
      QDir(stored("")).entryList(QDir::AllEntries | QDir::Hidden | QDir::NoDotAndDotDot);
  EXPECT_EQ(left, QStringList{"font.sft"}) << "no temporary file stays behind";
}

TEST_F(Store, ASetIdWhoseWriteFailsLeavesTheOriginalBytes) {
  // A file-size limit below the new content makes every write of it fail (EFBIG), as a full
  // disk would. Rewriting in place would have truncated the only copy first.
  const QByteArray original = "\x1b)s600W" + QByteArray(600, 'h');
  write(stored("font.sft"), original);
  const auto previous = std::signal(SIGXFSZ, SIG_IGN);
  rlimit saved{};
  ASSERT_EQ(::getrlimit(RLIMIT_FSIZE, &saved), 0);
  rlimit low = saved;
  low.rlim_cur = 100;
  ASSERT_EQ(::setrlimit(RLIMIT_FSIZE, &low), 0);
  setId("font.sft", "9");
  ::setrlimit(RLIMIT_FSIZE, &saved);
  std::signal(SIGXFSZ, previous);

  EXPECT_EQ(hex(read(stored("font.sft"))), hex(original));
  EXPECT_EQ(QDir(stored("")).entryList(QDir::AllEntries | QDir::Hidden | QDir::NoDotAndDotDot),
            QStringList{"font.sft"});
  setId("font.sft", "9");  // and with room again it works
  EXPECT_EQ(list().at("font.sft").id, "9");
}

TEST_F(Store, NamesThatLeaveTheStoreReachNothing) {
  const char* kNames[] = {
      "..",           // the store's parent
      "../sentinel",  // a file beside the store
      "a/../../sentinel",
      "..\\sentinel",  // a Windows separator is a separator here too
      ".",
      "",
  };
  write(stored("inside"), kFontWithoutId);
  const QString upload = root_.filePath("upload.bin");
  write(upload, kMacro5);
  for (const char* name : kNames) {
    SCOPED_TRACE(name);
    remove(name);
    setId(name, "3");
    add(upload, name);  // "" and names ending in a separator have no last component
    EXPECT_EQ(sentinel(), "keep me");
    EXPECT_TRUE(QFileInfo(root_.filePath("store")).isDir());
  }
  // A NUL cuts a C path short: "inside\0x" must not reach "inside".
  const QString withNul = QStringLiteral("inside") + QChar(0) + QStringLiteral("x");
  remove(withNul);
  setId(withNul, "3");
  EXPECT_EQ(hex(read(stored("inside"))), hex(kFontWithoutId));
  // The adds under "../sentinel" and the like stored the upload inside, under its last component.
  const auto files = list();
  ASSERT_EQ(files.size(), 2u) << "nothing was added under a bad name";
  EXPECT_EQ(files.count("sentinel"), 1u);
  EXPECT_EQ(hex(read(stored("sentinel"))), hex(kMacro5));
}

TEST_F(Store, AddTakesTheLastComponentAndNeverOverwrites) {
  const QString upload = root_.filePath("upload.bin");
  write(upload, kMacro5);
  add(upload, "C:\\a\\b\\x.pcl");
  add(upload, "/tmp/y/z.pcl");
  EXPECT_EQ(hex(read(stored("x.pcl"))), hex(kMacro5));
  EXPECT_EQ(hex(read(stored("z.pcl"))), hex(kMacro5));

  write(upload, "other content");
  add(upload, "x.pcl");
  EXPECT_EQ(hex(read(stored("x.pcl"))), hex(kMacro5)) << "an existing file is kept";
  add(root_.filePath("missing.bin"), "m.pcl");
  add(root_.filePath("store"), "dir.pcl");  // a directory is no upload
  EXPECT_EQ(list().size(), 2u);
  EXPECT_EQ(
      QDir(stored("")).entryList(QDir::AllEntries | QDir::Hidden | QDir::NoDotAndDotDot).size(), 2)
      << "no temporary file stays behind";
}

TEST_F(Store, DeleteRemovesStoredFilesButNeitherDirectoriesNorLinkTargets) {
  write(stored("a.pcl"), "a");
  ASSERT_TRUE(QDir(stored("")).mkdir("sub"));
  ASSERT_TRUE(QFile::link(root_.filePath("sentinel"), stored("link")));
  remove("a.pcl");
  remove("sub");
  remove("link");
  remove("never-there");
  EXPECT_FALSE(QFile::exists(stored("a.pcl")));
  EXPECT_TRUE(QFileInfo(stored("sub")).isDir());
  EXPECT_FALSE(QFileInfo(stored("link")).isSymLink());
  EXPECT_EQ(sentinel(), "keep me");
}

TEST(StoreDirectory, IsFilesInTheCurrentDirectoryCreatedOnDemand) {
  QTemporaryDir dir;
  const QString before = QDir::currentPath();
  ASSERT_TRUE(QDir::setCurrent(dir.path()));
  const QString store = ServerFileStore::serverStoreDirectory();
  QDir::setCurrent(before);
  EXPECT_EQ(store, QDir(dir.path()).canonicalPath() + "/Files/");
  EXPECT_TRUE(QFileInfo(dir.filePath("Files")).isDir());
}

}  // namespace

}  // namespace Zarvo::dsm
