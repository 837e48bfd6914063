// The running executable as an attacker would try it, and as an operator would run it: uploads
// named outside the upload directory never reach the store nor a printer, and the whole process
// works as an unprivileged user (a store command and a download to a printer on a high port).
//
// Printers on 127.0.0.19x:9100; the unprivileged run needs root to switch users.
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <QDir>
#include <QFile>

#include "tests/fakes/Bytes.h"
#include "tests/fakes/FakePrinter.h"
#include "tests/fakes/Files.h"
#include "tests/plugin/DsmEndToEnd.h"

#ifdef ZARVO_EXECUTABLE

namespace Zarvo::dsm {
namespace {

using testing_files::writeFile;

using testing_printer::FakePrinter;

const QByteArray kSentinel = "\x1b)s4WSENTINEL must stay where it is";
const QByteArray kFont = "\x1b)s4Wfont bytes of an upload";

QByteArray largeFile(const QString& path, const QByteArray& name) {
  return "<LargeFile filename=\"" + name + "\">" + path.toUtf8() + "</LargeFile>";
}

class SecurityEndToEnd : public testing_dsm::DsmEndToEnd {};

TEST_F(SecurityEndToEnd, UploadsOutsideTheUploadDirectoryReachNeitherTheStoreNorAPrinter) {
  const QString device = QStringLiteral("127.0.0.191");
  FakePrinter printer(device, 9100);
  confirmAlways(printer, "completed");
  snmp_.setTable(device, testing_dsm::kTrapTable,
                 {{"staticTrapDestAddr", "staticTrapDestCommunity", "staticTrapDestStatus"},
                  {{"0.0.0.0", "public", "invalid"}}});
  // The executable's folder is inside the system temporary folder, one of the default upload
  // roots: the configuration names the upload directory alone.
  startHost({}, "<UploadDirectory>uploads</UploadDirectory>", [](testing_exe::RunningHost& h) {
    ASSERT_TRUE(h.dir().mkpath("uploads/sub"));
    writeFile(h.dir().filePath("secret.pcl"), kSentinel);
    writeFile(h.dir().filePath("uploads/good.pcl"), kFont);
    ASSERT_TRUE(QFile::link(h.dir().filePath("secret.pcl"), h.dir().filePath("uploads/link.pcl")));
  });
  const QDir dir = host_->dir();
  const QByteArray uploads = largeFile(dir.filePath("secret.pcl"), "outside.pcl") +
                             largeFile(dir.filePath("uploads/sub/../../secret.pcl"), "climbs.pcl") +
                             largeFile(dir.filePath("uploads/link.pcl"), "linked.pcl") +
                             largeFile(dir.filePath("uploads/good.pcl"), "good.pcl");

  expectPlain("DSMServerAddFile", uploads);
  const QByteArray stored = ask("DSMServerGetFileList");
  EXPECT_TRUE(stored.contains("<FileName>good.pcl</FileName>"));
  EXPECT_EQ(stored.count("<FileName>"), 1) << stored.toStdString();
  QDir store(dir.filePath("Files"));
  for (const QString& name : store.entryList(QDir::Files | QDir::Hidden)) {
    QFile f(store.filePath(name));
    ASSERT_TRUE(f.open(QIODevice::ReadOnly));
    EXPECT_FALSE(f.readAll().contains("SENTINEL")) << name.toStdString();
  }

  expectPlain("DSMAddFile", "<DeviceIP>" + device.toUtf8() + "</DeviceIP>" + uploads);
  EXPECT_TRUE(settled().contains("<Status>FAILED</Status>"));
  const QByteArray details = this->details(0);
  EXPECT_EQ(details.count("<Details>UnknownFileType</Details>"), 3) << details.toStdString();
  EXPECT_EQ(details.count("<Details>completed</Details>"), 1) << details.toStdString();
  ASSERT_EQ(printer.downloads().size(), 1);
  EXPECT_TRUE(printer.downloads()[0].bytes.contains("font bytes of an upload"));
  EXPECT_FALSE(printer.downloads()[0].bytes.contains("SENTINEL"));
  const QByteArray warning = "LargeFile outside the upload directories refused";
  EXPECT_TRUE(host_->waitForOutput(warning, 6));
  EXPECT_EQ(host_->output().count(warning), 6) << "each refused path named once per command";
}

TEST_F(SecurityEndToEnd, RunsAsAnUnprivilegedUser) {
  if (::geteuid() != 0) GTEST_SKIP() << "switching to another user needs root";
  const uint nobody = 65534;
  const QString device = QStringLiteral("127.0.0.192");
  FakePrinter printer(device, 9100);
  confirmAlways(printer, "completed");
  snmp_.setTable(device, testing_dsm::kTrapTable,
                 {{"staticTrapDestAddr", "staticTrapDestCommunity", "staticTrapDestStatus"},
                  {{"0.0.0.0", "public", "invalid"}}});
  startHost({}, QByteArray(), [nobody](testing_exe::RunningHost& h) { h.runAs(nobody, nobody); });

  QFile status(QStringLiteral("/proc/%1/status").arg(host_->process().processId()));
  ASSERT_TRUE(status.open(QIODevice::ReadOnly));
  EXPECT_TRUE(status.readAll().contains("\nUid:\t65534\t65534\t65534\t65534\n"));

  // The front end places an upload in the folder the process made for it.
  const QDir dir = host_->dir();
  ASSERT_TRUE(QFileInfo(dir.filePath("uploads")).isDir()) << "created at start";
  writeFile(dir.filePath("uploads/u.pcl"), kFont);
  ASSERT_EQ(::chown(QFile::encodeName(dir.filePath("uploads/u.pcl")).constData(), nobody, nobody),
            0);
  expectPlain("DSMServerAddFile", largeFile(dir.filePath("uploads/u.pcl"), "u.pcl"));
  EXPECT_TRUE(ask("DSMServerGetFileList").contains("<FileName>u.pcl</FileName>"));
  struct stat info {};
  ASSERT_EQ(::stat(QFile::encodeName(dir.filePath("Files/u.pcl")).constData(), &info), 0);
  EXPECT_EQ(info.st_uid, nobody);
  EXPECT_EQ(info.st_mode & 07777, 0640u);

  expectPlain("DSMAddFile",
              "<DeviceIP>" + device.toUtf8() + "</DeviceIP><FileName>u.pcl</FileName>");
  EXPECT_TRUE(settled().contains("<Status>COMPLETED</Status>"));
  ASSERT_EQ(printer.downloads().size(), 1);
  EXPECT_TRUE(printer.downloads()[0].bytes.contains("font bytes of an upload"));
  EXPECT_EQ(snmp_.table(device, testing_dsm::kTrapTable).rows.first().first(), "0.0.0.0")
      << "the borrowed trap-table row was given back";
  EXPECT_FALSE(host_->output().contains("[err]")) << "nothing it does needs root";
}

}  // namespace
}  // namespace Zarvo::dsm

#endif
