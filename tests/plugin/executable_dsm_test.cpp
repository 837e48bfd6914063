// The storage manager as a peer of the suite sees it: the built executable, run from a temporary
// directory and pointed at the loopback fakes of the naming, device management and SNMP
// services, answering DSM commands over HTTP.
#include <gtest/gtest.h>

#include <QFile>

#include "tests/fakes/Bytes.h"
#include "tests/fakes/FakeNamingService.h"
#include "tests/fakes/FakeSuiteServices.h"
#include "tests/fakes/HttpProbe.h"
#include "tests/fakes/RunningHost.h"
#include "tests/plugin/DsmEndToEnd.h"

#ifdef ZARVO_EXECUTABLE

namespace Zarvo::dsm {
namespace {

using testing_bytes::hex;
using testing_dsm::kUtf8Declaration;
using testing_dsm::request;
using testing_http::Answer;
using testing_http::exchange;
using testing_http::fromUtf16Le;
using testing_http::post;
using testing_orx::elementTexts;
using testing_orx::FakeNamingService;
using testing_suite::FakeDeviceManagementService;
using testing_suite::FakeSNMPService;
using testing_suite::utf16Le;

const QString kUtf16Declaration =
    QStringLiteral("<?xml version=\"1.0\" encoding=\"UTF-16\" standalone=\"no\" ?>");

QByteArray configFor(const FakeNamingService& naming) {
  return "<c><DispatcherURL>" + naming.url().toString().toUtf8() + "</DispatcherURL></c>";
}

TEST(ExecutableDsm, GetFileListAsksBothServicesAndAnswersTheTableRows) {
  FakeNamingService naming;
  FakeDeviceManagementService dms;
  FakeSNMPService snmp;
  naming.setServiceUrl("DMSGetDeviceList", dms.url().toString());
  naming.setServiceUrl("SNMPGetValues", snmp.url().toString());
  dms.setDevice(7, {{"IP", "10.0.0.5"},
                    {"SNMP_VER", "3"},
                    {"UserName", "adm"},
                    {"SecurityLevel", "Authentication"},
                    {"AuthMethod", "MD5"},
                    {"AuthPass", "secret"},
                    {"ContextName", "ctx"},
                    {"Location", "lab"}});
  snmp.setTable("10.0.0.5", "scmFileStorageTable",
                {{"scmFileStorageFileIndex", "scmFileStorageFileName", "scmFileStorageFileSize",
                  "scmFileStorageFileType", "scmFileStorageFilePersistence", "scmFileStorageFileID",
                  "scmFileStorageFileDate"},
                 {{"1", "Courier & <Bold>", "2048", "pclFont", "permanent", "12", "x"},
                  {"2", "Logo", "512", "pclMacro", "volatile", "5", "y"}}});

  testing_exe::RunningHost host(ZARVO_EXECUTABLE, configFor(naming));
  ASSERT_TRUE(host.start()) << host.output().toStdString();
  const Answer a =
      exchange(host.port(),
               post("/DSMGetFileList", request("DSMGetFileList", "<DeviceID>7</DeviceID>")), 30000);
  ASSERT_TRUE(a.ok) << host.output().toStdString();
  EXPECT_EQ(a.status(), 200);

  ASSERT_EQ(dms.requests().size(), 1);
  EXPECT_EQ(hex(dms.requests().first()),
            hex(utf16Le(kUtf16Declaration +
                        "<OrxRequest command=\"DMSGetDeviceList\"><Filter><Device ID=\"7\"/>"
                        "</Filter><PropertyList><Device><IP/><SNMP_VER/><AuthPass/><AuthMethod/>"
                        "<ContextName/><ContextID/><PrivacyPass/><UserName/><SecurityLevel/>"
                        "</Device></PropertyList></OrxRequest>")));
  ASSERT_EQ(snmp.getRequests().size(), 1);
  EXPECT_EQ(
      hex(snmp.getRequests().first()),
      hex(utf16Le(kUtf16Declaration +
                  "<OrxRequest command=\"SNMPGetValues\"><Priority>0</Priority><Device>"
                  "<RequestParams><IP IP_VER=\"4\" address=\"10.0.0.5\"/><SNMP SNMP_VER=\"3\">"
                  "<SecurityAttrs AuthPassPhr=\"secret\" AuthProto=\"MD5\" ContextID=\"\" "
                  "ContextName=\"ctx\" SecLevel=\"AUTHNOPRIV\" UserName=\"adm\"/></SNMP>"
                  "</RequestParams><RequestVariables><scmFileStorageTable/>"
                  "</RequestVariables></Device></OrxRequest>")));
  EXPECT_EQ(hex(a.body), hex(kUtf8Declaration + "<OrxResponse>\n"
                                                "\t<Result>0</Result>\n"
                                                "\t<Details>OK</Details>\n"
                                                "\t<FileStorage>\n"
                                                "\t\t<FileIndex>1</FileIndex>\n"
                                                "\t\t<FileName>Courier &amp; &lt;Bold></FileName>\n"
                                                "\t\t<FileSize>2048</FileSize>\n"
                                                "\t\t<FileType>pclFont</FileType>\n"
                                                "\t\t<FilePersistence>permanent</FilePersistence>\n"
                                                "\t\t<FileStorageFileID>12</FileStorageFileID>\n"
                                                "\t</FileStorage>\n"
                                                "\t<FileStorage>\n"
                                                "\t\t<FileIndex>2</FileIndex>\n"
                                                "\t\t<FileName>Logo</FileName>\n"
                                                "\t\t<FileSize>512</FileSize>\n"
                                                "\t\t<FileType>pclMacro</FileType>\n"
                                                "\t\t<FilePersistence>volatile</FilePersistence>\n"
                                                "\t\t<FileStorageFileID>5</FileStorageFileID>\n"
                                                "\t</FileStorage>\n"
                                                "</OrxResponse>\n"));
}

TEST(ExecutableDsm, RegistersItsCommandsAndServesTheStoreBesideTheExecutable) {
  FakeNamingService naming;
  testing_exe::RunningHost host(ZARVO_EXECUTABLE, configFor(naming));
  ASSERT_TRUE(host.dir().mkdir("Files"));
  {
    QFile font(host.dir().filePath("Files/font.sft"));
    ASSERT_TRUE(font.open(QIODevice::WriteOnly));
    font.write("\x1b*c9D\x1b)s64W" + QByteArray(64, 'h'));
  }
  ASSERT_TRUE(host.start()) << host.output().toStdString();

  // Registration follows the listening line.
  ASSERT_TRUE(naming.waitForRequests("NSRegisterService", 1)) << host.output().toStdString();
  ASSERT_EQ(naming.count("NSRegisterService"), 1);
  const QStringList methods =
      elementTexts(naming.requests().first().body, QStringLiteral("method"));
  EXPECT_EQ(methods,
            (QStringList{"DSMAddFile", "DSMCancelOperation", "DSMClearCompletedOperation",
                         "DSMCopyFile", "DSMDeleteFile", "DSMDetailsOperation", "DSMGetFileList",
                         "DSMGetOperationList", "DSMMoveFile", "DSMRetryOperation",
                         "DSMServerAddFile", "DSMServerDeleteFile", "DSMServerGetFileList",
                         "DSMServerSetFileId", "MGMTCloseApplication", "SNMPTrap"}))
      << "the fifteen commands of the service and the management service's own";

  Answer a = exchange(host.port(), post("/DSMServerGetFileList", request("DSMServerGetFileList")));
  ASSERT_TRUE(a.ok);
  EXPECT_EQ(elementTexts(a.body, "FileName"), QStringList{"font.sft"});
  EXPECT_EQ(elementTexts(a.body, "FileType"), QStringList{"pclFont"});
  EXPECT_EQ(elementTexts(a.body, "FileID"), QStringList{"9"});
}

}  // namespace

}  // namespace Zarvo::dsm

#endif
