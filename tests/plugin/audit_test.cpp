// The storage manager's audit lines: their form, that a name cannot forge one, and that the
// handlers and the end of every run write them, in order.
#include "plugin/Audit.h"

#include <gtest/gtest.h>

#include <QDir>
#include <QFile>
#include <QTemporaryDir>
#include <chrono>
#include <thread>

#include "plugin/ZarvoPluginDSM.h"
#include "tests/fakes/FakeCgiDevices.h"
#include "tests/fakes/FakeDeviceSender.h"
#include "tests/fakes/LogLines.h"
#include "tests/fakes/ServiceClients.h"
#include "tests/plugin/JobRequests.h"

namespace Zarvo::dsm {
namespace {

using namespace std::chrono_literals;
using testing_jobs::DeviceFile;

TEST(Audit, NamesAreQuotedSoTheyCannotForgeALineOrAField) {
  struct Case {
    const char* why;
    QString name;
    QString shown;
  };
  const Case cases[] = {
      {"a plain name", "Garamond.pfa", "\"Garamond.pfa\""},
      {"a quote would end the field", "a\"b", "\"a\\\"b\""},
      {"a backslash would start an escape", "C:\\a", "\"C:\\\\a\""},
      {"a line break would start a forged line", "x\nOperation 9 ended",
       "\"x\\nOperation 9 ended\""},
      {"a carriage return and a tab", "a\rb\tc", "\"a\\rb\\tc\""},
      {"other control characters", QString("a") + QChar(0x1b) + "b", "\"a\\x1bb\""},
      {"a Unicode line separator", QString("a") + QChar(0x2028), "\"a\\x2028\""},
      {"a name of megabytes is cut, the rest counted", QString(audit::kMaxQuotedChars + 5, 'n'),
       "\"" + QString(audit::kMaxQuotedChars, 'n') + "\"... (5 more characters)"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.why);
    EXPECT_EQ(audit::quoted(c.name), c.shown);
  }
}

TEST(Audit, AnEndLineNamesEachFailedFileAndCountsTheRest) {
  auto request = testing_jobs::transferRequest<ZarvoPluginDSM::CopyFileRequest>(
      "127.0.0.2", {{"a.ps", 10, "psForm", 0}, {"b.ps", 10, "psForm", 0}},
      {"127.0.0.3", "127.0.0.4"});
  TransferPlan plan(request);  // tasks: a->3, b->3, a->4, b->4
  plan.beginRun();
  const FileOutcome outcomes[] = {FileOutcome::completed(), FileOutcome::timeout(),
                                  FileOutcome::confirmed(false, "Disk full; retry")};
  for (std::size_t k = 0; k < 3; ++k) {
    plan.startTask(k);
    plan.setOutcome(k, outcomes[k]);
    plan.endTask(k);
  }
  plan.cancelRun();  // the fourth task is never reached
  EXPECT_EQ(audit::operationEnded(7, plan),
            "Operation 7 ended: CANCELED, 1 of 4 tasks done; failed: \"b.ps\" to 127.0.0.3: "
            "Timeout; \"a.ps\" to 127.0.0.4: \"Disk full; retry\"; 1 not reached");
  EXPECT_EQ(audit::operationStarted(7, plan.type(), plan.sourceText(), plan.destinationText(),
                                    plan.files().size(), false),
            "Operation 7 started: COPY from 127.0.0.2 to 127.0.0.3;127.0.0.4, 2 files");
}

TEST(Audit, AnEndLineOfAHugeFailureStaysOneReadableLine) {
  QList<DeviceFile> files;
  for (int i = 0; i < 60; ++i) files.append({QString("f%1.ps").arg(i), 1, "psForm", 0});
  auto request = testing_jobs::deleteRequest<ZarvoPluginDSM::DeleteFileRequest>("127.0.0.3", files);
  DeletePlan plan(request);
  plan.beginRun();
  plan.startAll();
  plan.endAll(FileOutcome::deviceDosntResponse());
  (void)plan.finishRun([] { return false; });
  const QString line = audit::operationEnded(2, plan);
  EXPECT_TRUE(
      line.startsWith("Operation 2 ended: FAILED, 0 of 60 tasks done; failed: \"f0.ps\" "
                      "on 127.0.0.3: DeviceDosntResponse;"))
      << line.toStdString();
  EXPECT_EQ(line.count("DeviceDosntResponse"), audit::kMaxFailuresNamed);
  EXPECT_TRUE(line.endsWith("; and 40 more failed")) << line.toStdString();
}

class AuditedService : public ::testing::Test {
 protected:
  AuditedService() : pages_({"127.0.0.1"}) {
    QDir(dir_.path()).mkpath("Files");
    DeviceCgiSettings cgi;
    cgi.port = pages_.port();
    plugin_ = std::make_unique<ZarvoPluginDSM>(services_, dir_.path() + "/Files/", &sender_, cgi);
    mark_ = testing_log::LogLines::get().mark();
  }
  QStringList info() const { return testing_log::LogLines::get().since(mark_, "info"); }
  // The info lines so far, once `count` of them are there (bounded wait).
  QStringList infoLines(int count) const {
    const auto end = std::chrono::steady_clock::now() + 20s;
    while (info().size() < count && std::chrono::steady_clock::now() < end)
      std::this_thread::sleep_for(5ms);
    return info();
  }

  QTemporaryDir dir_;
  testing_devices::FakeCgiDevices pages_;
  testing_devices::FakeDeviceSender sender_;
  testing_orx::FakeServiceClient services_;
  std::unique_ptr<ZarvoPluginDSM> plugin_;
  qsizetype mark_ = 0;
};

TEST_F(AuditedService, OperationsAreAuditedWhenTheyStartAndWhenEachRunEnds) {
  sender_.setOutcome("127.0.0.3", FileOutcome::timeout());
  QFile upload(dir_.filePath("up.ps"));
  ASSERT_TRUE(upload.open(QIODevice::WriteOnly));
  upload.write("%!PS\nshowpage\n");
  upload.close();
  auto add = testing_jobs::addRequest<ZarvoPluginDSM::AddFileRequest>(
      "127.0.0.3", {{upload.fileName(), "Form.ps"}}, {});
  (void)plugin_->DSMAddFile(add);
  EXPECT_EQ(infoLines(2), (QStringList{
                              "Operation 0 started: ADD from - to 127.0.0.3, 1 file",
                              "Operation 0 ended: FAILED, 0 of 1 task done; failed: \"Form.ps\" "
                              "to 127.0.0.3: Timeout",
                          }));

  sender_.setOutcome("127.0.0.3", FileOutcome::completed());
  ZarvoPluginDSM::RetryOperationRequest retry;
  retry.set_OperationID(0);
  (void)plugin_->DSMRetryOperation(retry);
  const QStringList lines = infoLines(4);
  ASSERT_EQ(lines.size(), 4);
  EXPECT_EQ(lines[2], "Operation 0 retried: ADD from - to 127.0.0.3, 1 file");
  EXPECT_EQ(lines[3], "Operation 0 ended: COMPLETED, 1 of 1 task done");
}

TEST_F(AuditedService, EveryStoreChangeIsAuditedWhetherItTookPlaceOrNot) {
  QFile upload(dir_.filePath("up.pcl"));
  ASSERT_TRUE(upload.open(QIODevice::WriteOnly));
  upload.write("\x1b)s64W" + QByteArray(64, '\0'));
  upload.close();
  ZarvoPluginDSM::ServerAddFileRequest add;
  for (const char16_t* name : {u"C:\\up\\Font.pcl", u"Font.pcl"}) {
    add.append_LargeFile();
    add.back_LargeFile().set_value(upload.fileName().toStdU16String());
    add.back_LargeFile().set_filename(name);
  }
  (void)plugin_->DSMServerAddFile(add);
  ZarvoPluginDSM::ServerSetFileIdRequest setId;
  setId.set_FileName(u"Font.pcl");
  setId.set_FileID(u"40000");
  (void)plugin_->DSMServerSetFileId(setId);
  ZarvoPluginDSM::ServerDeleteFileRequest remove;
  for (const char16_t* name : {u"Font.pcl", u"Font.pcl"}) {
    remove.append_File();
    remove.back_File().set_FileName(name);
  }
  (void)plugin_->DSMServerDeleteFile(remove);

  const QString from = "\"" + upload.fileName() + "\"";
  EXPECT_EQ(info(), (QStringList{
                        "Store: added \"Font.pcl\" from " + from,
                        "Store: not added \"Font.pcl\" from " + from +
                            " (unreadable upload, invalid name or a stored file of that name)",
                        "Store: ID of \"Font.pcl\" not set to 40000 (no PCL font or macro of "
                        "that name, or an ID above 32767)",
                        "Store: deleted \"Font.pcl\"",
                        "Store: not deleted \"Font.pcl\" (no such file)",
                    }));
}

}  // namespace
}  // namespace Zarvo::dsm
