// A simulated device over its real sockets (127.0.0.1, ports chosen by the system): downloads
// stored and confirmed by trap, the CGI pages as the storage manager's own client calls them,
// the trap-destination table, and each rehearsed fault, none of which may hold up another device.
#include <gtest/gtest.h>

#include <QDir>
#include <QFile>
#include <QTemporaryDir>

#include "plugin/HTTPClient.h"
#include "plugin/TCP9100File.h"
#include "suite/SimDevice.h"
#include "tests/fakes/LoopbackSocket.h"
#include "tests/suite/SuiteTestSupport.h"

namespace Zarvo::suite {
namespace {

using std::chrono::milliseconds;

using testing_net::sendAndClose;
using testing_suite::RecordingSink;

QByteArray framed(const dsm::TCP9100File& f) { return f.header() + f.content() + f.trailer(); }

struct DeviceFixture : ::testing::Test {
  DeviceSetup setup(const QString& address = QStringLiteral("127.0.0.1")) {
    DeviceSetup d;
    d.id = 1;
    d.address = address;
    d.printPort = 0;
    d.webPort = 0;
    d.files << StoredFileSetup{"Courier", "pclFont", 3, "permanent", "font-bytes"}
            << StoredFileSetup{"inv.ps", "psForm", 0, "nonvolatile", "%!PS form"};
    d.trapDests = {TrapDestSetup{"127.0.0.1", "public", "valid"},
                   TrapDestSetup{"127.0.0.1", "public", "invalid"},
                   TrapDestSetup{"192.0.2.1", "public", "valid"}};
    return d;
  }
  std::unique_ptr<SimDevice> start(const DeviceSetup& d) {
    DeviceLimits limits;
    limits.ioWait = milliseconds(2000);
    limits.silentHold = milliseconds(3000);
    auto device =
        std::make_unique<SimDevice>(d, dir_.path(), ".1.3.6.1.4.1.32473", 0, &sink_, hub_, limits);
    QString error;
    EXPECT_TRUE(device->start(&error)) << error.toStdString();
    return device;
  }
  QByteArray post(SimDevice& d, const char* page, const dsm::HTTPClient::Form& form) {
    dsm::HTTPClient::Limits limits;
    limits.connectTimeout = milliseconds(2000);
    limits.lowSpeedTime = std::chrono::seconds(2);
    return dsm::HTTPClient::post(
        QUrl(QStringLiteral("http://127.0.0.1:%1/%2").arg(d.webPort()).arg(page)), form, {},
        limits);
  }
  QByteArray fetch(SimDevice& d, const char* name, const char* type = "2", const char* id = "0") {
    return post(d, "DSMGetFiles.cgi",
                {{"FileName", name}, {"FileType", type}, {"FontMacroId", id}});
  }

  QTemporaryDir dir_;
  RecordingSink sink_;
  ConnectionHub hub_{16};
};

TEST_F(DeviceFixture, StoresADownloadAndConfirmsItToEveryValidLoopbackDestination) {
  auto device = start(setup());
  const dsm::TCP9100FilePSFont font("Old Style", QByteArray("%!PS-AdobeFont-1.0\n/FontName def\n"));
  ASSERT_TRUE(sendAndClose(device->printPort(), framed(font)));
  const QList<DeviceTrap> traps = sink_.waitFor(2);
  // One destination is valid and loopback; the invalid row and the one outside loopback get
  // nothing.
  ASSERT_EQ(traps.size(), 2);
  EXPECT_EQ(sink_.statuses("127.0.0.1"), (QStringList{"processing", "completed"}));
  EXPECT_EQ(traps.at(1).destination, "127.0.0.1");
  EXPECT_EQ(traps.at(1).enterprise, ".1.3.6.1.4.1.32473.11.5.11.83.1.2.1");
  EXPECT_EQ(traps.at(1).variables.first().first, ".1.3.6.1.4.1.32473.11.5.11.83.1.1.1.5");

  const DeviceTable table = device->fileStorageTable();
  ASSERT_EQ(table.rows.size(), 3);
  EXPECT_EQ(table.rows.last(),
            (QStringList{"3", "Old Style", QString::number(font.content().size()), "psFont",
                         "nonvolatile", "0"}));
  QFile mirrored(QDir(device->directory()).filePath("psFont/Old Style"));
  ASSERT_TRUE(mirrored.open(QIODevice::ReadOnly));
  EXPECT_EQ(mirrored.readAll(), font.content());
  EXPECT_EQ(device->completedDownloads(), 1);
}

TEST_F(DeviceFixture, ABrokenDownloadIsReportedAndNotStored) {
  auto device = start(setup());
  const dsm::TCP9100FilePSForm form("f.ps", QByteArray(500, 'f'));
  ASSERT_TRUE(sendAndClose(device->printPort(), framed(form).left(300)));
  sink_.waitFor(2);
  EXPECT_EQ(sink_.statuses("127.0.0.1"), (QStringList{"processing", "IncompleteData"}));
  EXPECT_EQ(device->files().size(), 2);
}

TEST_F(DeviceFixture, PclFilesGetTheNextFreeIdAndAKeptNameWhenReplaced) {
  auto device = start(setup());
  PjlDownload d{"pclFont", "", 0, "new font"};
  const SimDevice::StoredFile first = device->store(d);
  EXPECT_EQ(first.id, 4u);  // Courier holds 3
  EXPECT_EQ(first.name, "Font 4");
  d.requestedId = 3;
  d.content = "replacement";
  const SimDevice::StoredFile replaced = device->store(d);
  EXPECT_EQ(replaced.name, "Courier");
  ASSERT_EQ(device->files().size(), 3);
  EXPECT_EQ(device->files().first().content, "replacement");
  // A name that tries to leave the device's directory stays inside it.
  device->store(PjlDownload{"psForm", "../../escape", 0, "x"});
  EXPECT_FALSE(QFile::exists(QDir(dir_.path()).filePath("escape")));
  EXPECT_TRUE(
      QDir(device->directory() + "/psForm").entryList(QDir::Files).join(',').contains("escape"));
}

TEST_F(DeviceFixture, CgiPagesFetchAndDeleteAsTheStorageManagerAsks) {
  auto device = start(setup());
  EXPECT_EQ(fetch(*device, "inv.ps"), "%!PS form");
  // A PCL file is also found by its ID, whatever name the caller knows it by.
  EXPECT_EQ(fetch(*device, "Font 3", "3", "3"), "font-bytes");
  // Right name, wrong kind: not that file.
  EXPECT_THROW(fetch(*device, "inv.ps", "1"), dsm::HTTPClient::HTTPClientError);
  EXPECT_THROW(post(*device, "other.cgi", {{"FileName", "inv.ps"}}),
               dsm::HTTPClient::HTTPClientError);
  EXPECT_THROW(post(*device, "DSMGetFiles.cgi", {{"FileType", "2"}}),
               dsm::HTTPClient::HTTPClientError);

  const QByteArray report = post(*device, "DSMDeletefiles.cgi",
                                 {{"FileName", "inv.ps"},
                                  {"FileType", "2"},
                                  {"FontMacroId", "0"},
                                  {"FileName", "gone"},
                                  {"FileType", "1"},
                                  {"FontMacroId", "0"}});
  EXPECT_EQ(report, "deleted inv.ps\nnot found gone\n");
  ASSERT_EQ(device->files().size(), 1);
  EXPECT_FALSE(QFile::exists(QDir(device->directory()).filePath("psForm/inv.ps")));
}

TEST_F(DeviceFixture, TrapTableWritesAreAllOrNothing) {
  auto device = start(setup());
  QString error;
  EXPECT_FALSE(device->writeTrapDest(
      {{"staticTrapDestAddr", 1, "127.0.0.9"}, {"staticTrapDestStatus", 3, "valid"}}, &error));
  EXPECT_TRUE(error.contains("no row 3"));
  EXPECT_FALSE(device->writeTrapDest(
      {{"staticTrapDestAddr", 1, "127.0.0.9"}, {"staticTrapDestStatus", 1, "on"}}, &error));
  EXPECT_EQ(device->trapDestTable().rows.at(1), (QStringList{"127.0.0.1", "public", "invalid"}));
  ASSERT_TRUE(device->writeTrapDest({{"staticTrapDestAddr", 1, "127.0.0.9"},
                                     {"staticTrapDestCommunity", 1, "x"},
                                     {"staticTrapDestStatus", 1, "valid"}},
                                    &error));
  EXPECT_EQ(device->trapDestTable().rows.at(1), (QStringList{"127.0.0.9", "x", "valid"}));
}

TEST_F(DeviceFixture, EachFaultFailsTheWayItIsRehearsed) {
  auto device = start(setup());
  const dsm::TCP9100FilePSForm form("f.ps", QByteArray(4000, 'f'));
  QString error;

  ASSERT_TRUE(device->setFault({FaultKind::Fail, 0, "DiskFull"}, &error));
  ASSERT_TRUE(sendAndClose(device->printPort(), framed(form)));
  sink_.waitFor(2);
  EXPECT_EQ(sink_.statuses("127.0.0.1"), (QStringList{"processing", "DiskFull"}));
  EXPECT_THROW(fetch(*device, "inv.ps"),
               dsm::HTTPClient::HTTPClientError);  // 500

  // Silent: the bytes are taken, nothing is ever confirmed, a page never answers.
  ASSERT_TRUE(device->setFault({FaultKind::Silent, 0, {}}, &error));
  ASSERT_TRUE(sendAndClose(device->printPort(), framed(form)));
  EXPECT_EQ(sink_.waitFor(3, milliseconds(500)).size(), 2);
  EXPECT_THROW(fetch(*device, "inv.ps"), dsm::HTTPClient::HTTPClientError);

  // Refuse: the ports close; back to normal, they open again where they were.
  const quint16 port = device->printPort();
  ASSERT_TRUE(device->setFault({FaultKind::Refuse, 0, {}}, &error));
  EXPECT_FALSE(sendAndClose(port, framed(form)));
  ASSERT_TRUE(device->setFault({FaultKind::None, 0, {}}, &error)) << error.toStdString();
  EXPECT_EQ(device->printPort(), port);
  ASSERT_TRUE(sendAndClose(port, framed(form)));
  sink_.waitFor(4);
  EXPECT_EQ(sink_.statuses("127.0.0.1").mid(2), (QStringList{"processing", "completed"}));

  // Drop: the line is cut mid-content; no file, no trap.
  const qsizetype filesBefore = device->files().size();
  ASSERT_TRUE(device->setFault({FaultKind::Drop, 0, {}}, &error));
  sendAndClose(port, framed(dsm::TCP9100FilePSForm("big.ps", QByteArray(4 << 20, 'b'))));
  EXPECT_EQ(sink_.waitFor(5, milliseconds(500)).size(), 4);
  EXPECT_EQ(device->files().size(), filesBefore);
  EXPECT_THROW(fetch(*device, "f.ps"),
               dsm::HTTPClient::HTTPClientError);  // answer cut short
}

TEST_F(DeviceFixture, ASlowDeviceDoesNotHoldUpAnother) {
  auto slow = start(setup());
  auto quick = start(setup(QStringLiteral("127.0.0.1")));
  QString error;
  ASSERT_TRUE(slow->setFault({FaultKind::Slow, 2000, {}}, &error));
  const dsm::TCP9100FilePSForm form("f.ps", QByteArray(100, 'f'));
  ASSERT_TRUE(sendAndClose(slow->printPort(), framed(form)));
  ASSERT_TRUE(sendAndClose(quick->printPort(), framed(form)));
  // The quick device's two traps come while the slow one still waits to read.
  const QList<DeviceTrap> traps = sink_.waitFor(2, milliseconds(1800));
  ASSERT_EQ(traps.size(), 2);
  EXPECT_EQ(quick->completedDownloads(), 1);
  EXPECT_EQ(slow->completedDownloads(), 0);
  // And the slow one still completes.
  sink_.waitFor(4, milliseconds(15000));
  EXPECT_EQ(slow->completedDownloads(), 1);
}

}  // namespace
}  // namespace Zarvo::suite
