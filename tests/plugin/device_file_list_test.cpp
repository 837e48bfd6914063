// DSMGetFileList: a device record becomes SNMP parameters, the "scmFileStorageTable" becomes
// FileStorage elements, and every outcome of the two exchanges (run against the loopback fakes
// through the naming service) reaches the answer's Result and Details.
#include <gtest/gtest.h>

#include <QTemporaryDir>

#include "plugin/DeviceFileList.h"
#include "plugin/ZarvoPluginDSM.h"
#include "tests/fakes/FakeSuiteServices.h"
#include "tests/plugin/ListedFiles.h"
#include "tests/fakes/HttpProbe.h"
#include "tests/fakes/ServiceClients.h"

namespace Zarvo::dsm {
namespace {

using testing_http::fromUtf16Le;
using testing_orx::httpResponse;
using testing_suite::FakeDeviceManagementService;
using testing_suite::FakeSNMPService;
using testing_suite::SnmpTable;

// ----------------------------------------------------------------------------------------------
// Device record to SNMP parameters

// The fields of an SNMP device entry, on one line.
QString summaryOf(const deviceReq& e) {
  return QString("ip%1 %2 v%3 r=%4 w=%5 level=%6 proto=%7 user=%8 auth=%9 priv=%10 ctx=%11/%12")
      .arg(e.ipVersion)
      .arg(QString(e.address))
      .arg(e.snmpVersion)
      .arg(QString(e.readCommunity), QString(e.writeCommunity))
      .arg(e.securityLevel)
      .arg(e.authProtocol)
      .arg(QString(e.userName), QString(e.authPassPhrase), QString(e.privPassPhrase),
           QString(e.contextName), QString(e.contextId));
}

TEST(DeviceRequest, PropertiesBecomeSnmpParametersByVersion) {
  std::map<QString, QString> v3 = {
      {"IP", "10.0.0.5"},    {"SNMP_VER", "3"},     {"AuthPass", "ap"},
      {"AuthMethod", "MD5"}, {"ContextName", "cn"}, {"ContextID", "ci"},
      {"PrivacyPass", ""},   {"UserName", "u"},     {"SecurityLevel", "AuthenticationEncryption"}};
  std::map<QString, QString> v2 = v3;
  v2["SNMP_VER"] = "2";
  struct Case {
    const char* why;
    std::map<QString, QString> properties;
    QString expected;
  };
  const Case kCases[] = {
      {"version 3: every property; an empty one leaves its field empty; the service's write "
       "community",
       v3, "ip4 10.0.0.5 v3 r=public w= level=2 proto=0 user=u auth=ap priv= ctx=cn/ci"},
      {"version 3 properties are not used for version 2", v2,
       "ip4 10.0.0.5 v2 r=public w= level=0 proto=0 user= auth= priv= ctx=/"},
      {"no SNMP_VER reads as 0; no IP is neither family",
       {},
       "ip0  v0 r=public w= level=0 proto=0 user= auth= priv= ctx=/"},
      {"IPv6 address; a version that is no number",
       {{"IP", "fe80::1"}, {"SNMP_VER", "v3"}},
       "ip6 fe80::1 v0 r=public w= level=0 proto=0 user= auth= priv= ctx=/"},
      {"a host name is neither family",
       {{"IP", "printer.local"}, {"SNMP_VER", "1"}},
       "ip0 printer.local v1 r=public w= level=0 proto=0 user= auth= priv= ctx=/"},
      {"Authentication, any method but MD5 is SHA1 (exact case)",
       {{"SNMP_VER", "3"}, {"SecurityLevel", "Authentication"}, {"AuthMethod", "md5"}},
       "ip0  v3 r=public w= level=1 proto=1 user= auth= priv= ctx=/"},
      {"an unknown level is NOAUTH; no method is SHA1",
       {{"SNMP_VER", "3"}, {"SecurityLevel", "authentication"}},
       "ip0  v3 r=public w= level=0 proto=1 user= auth= priv= ctx=/"},
  };
  for (const Case& c : kCases) {
    SCOPED_TRACE(c.why);
    DeviceRecord r;
    r.properties = c.properties;
    EXPECT_EQ(summaryOf(deviceRequestFor(r)), c.expected);
  }
}

// ----------------------------------------------------------------------------------------------
// Table to FileStorage

// A device entry whose table holds these columns (each: name, then its rows).
deviceRes withTable(const QList<QStringList>& columns) {
  deviceRes d;
  d.createTable("scmFileStorageTable");
  for (const QStringList& c : columns) {
    d.addColumn("scmFileStorageTable", c.first());
    for (int row = 1; row < c.size(); ++row)
      d.setCell("scmFileStorageTable", c.first(), row, c[row]);
  }
  return d;
}

TEST(FileStorageRows, ColumnsFillFieldsByPositionWithZeroAndEmptyDefaults) {
  const QStringList all[] = {
      {"scmFileStorageFileIndex", "1", "2"},
      {"scmFileStorageFileName", "Courier", "Logo"},
      {"scmFileStorageFileSize", "1024", "12a"},
      {"scmFileStorageFileType", "pclFont", "pclMacro"},
      {"scmFileStorageFilePersistence", "permanent", "volatile"},
      {"scmFileStorageFileID", "12", "4294967296"},
      {"otherColumn", "x", "y"},
  };
  struct Case {
    const char* why;
    QList<QStringList> columns;
    QStringList expected;
  };
  const Case kCases[] = {
      {"every column; letters and out-of-range numbers give 0",
       {all[0], all[1], all[2], all[3], all[4], all[5], all[6]},
       {"1|Courier|1024|pclFont|permanent|12", "2|Logo|0|pclMacro|volatile|0"}},
      {"name and type only", {all[1], all[3]}, {"0|Courier|0|pclFont||0", "0|Logo|0|pclMacro||0"}},
      {"a longer later column appends rows",
       {{"scmFileStorageFileIndex", "1"}, {"scmFileStorageFileName", "a", "b"}},
       {"1|a|0|||0", "0|b|0|||0"}},
      {"a header-only first column still lets others add rows",
       {{"otherColumn"}, {"scmFileStorageFileSize", "5"}},
       {"0||5|||0"}},
      {"a minus sign is no unsigned number (a plus sign is read as one)",
       {{"scmFileStorageFileSize", "-1", "+7", "0"}},
       {"0||0|||0", "0||7|||0", "0||0|||0"}},
  };
  for (const Case& c : kCases) {
    SCOPED_TRACE(c.why);
    DSMGetFileList_Response::c_OrxResponse response;
    appendFileStorage(withTable(c.columns), response);
    EXPECT_EQ(listedFiles(response), c.expected);
  }
}

TEST(FileStorageRows, EntriesWithErrorsOrWithoutTheTableOrItsColumnsGiveNothing) {
  deviceRes noColumns;
  noColumns.createTable("scmFileStorageTable");
  deviceRes listed1 = withTable({{"scmFileStorageFileName", "a"}});
  deviceRes withError = listed1;
  withError.addError(2, "timeout");
  deviceRes countOnly = listed1;
  countOnly.errorCount = 1;
  deviceRes otherTable;
  otherTable.createTable("staticTrapDestTable");
  otherTable.addColumn("staticTrapDestTable", "scmFileStorageFileName");
  otherTable.setCell("staticTrapDestTable", "scmFileStorageFileName", 1, "x");

  struct Case {
    const char* why;
    deviceRes device;
  };
  const Case kCases[] = {
      {"a table without columns has no rows", noColumns},
      {"an error reported for the device", withError},
      {"an error count without messages", countOnly},
      {"another table", otherTable},
      {"no table at all", deviceRes()},
  };
  for (const Case& c : kCases) {
    SCOPED_TRACE(c.why);
    DSMGetFileList_Response::c_OrxResponse response;
    appendFileStorage(c.device, response);
    EXPECT_EQ(response.size_FileStorage(), 0u);
  }
}

// ----------------------------------------------------------------------------------------------
// The whole command against the fakes

class FileList : public testing_orx::LoopbackServices {
 protected:
  void SetUp() override {
    route("DMSGetDeviceList", dms_.url());
    route("SNMPGetValues", snmp_.url());
    dms_.setDevice(7, {{"IP", "10.0.0.5"}, {"SNMP_VER", "2"}});
    snmp_.setTable("10.0.0.5", "scmFileStorageTable",
                   {{"scmFileStorageFileIndex", "scmFileStorageFileName"}, {{"3", "Courier"}}});
  }

  std::unique_ptr<DSMGetFileListResponse> run(quint32 deviceId) {
    ZarvoPluginDSM::GetFileListRequest request;
    (void)request.set_DeviceID(deviceId);
    return dsm_.DSMGetFileList(request);
  }
  static QString details(const DSMGetFileListResponse& r) {
    return QString::fromStdU16String(r.get_Details());
  }

  FakeDeviceManagementService dms_;
  FakeSNMPService snmp_;
  QTemporaryDir store_;
  ZarvoPluginDSM dsm_{client(), store_.path() + "/"};
};

TEST_F(FileList, EveryFailureOfTheLookupIsPassedOnAndEndsTheCommand) {
  struct Case {
    const char* why;
    QByteArray answer;  // the device service's whole HTTP answer; empty: the modelled one
    quint32 deviceId;
    int result;
    QString detailsStart;
  };
  const Case kCases[] = {
      {"an HTML error page is no empty device list",
       httpResponse("<html><body><h1>500 Internal Server Error</h1></body></html>"), 7, 4,
       "Wrong response format: "},
      {"a cut body", httpResponse(testing_suite::utf16Le("<OrxResponse><Result>0</Result><Det")), 7,
       4, "Wrong response format: "},
      {"the service's own failure",
       httpResponse("<OrxResponse><Result>3</Result><Details>Unknown "
                    "filter</Details></OrxResponse>"),
       7, 3, "Unknown filter"},
      {"a device the service does not return", {}, 8, 0, "OK"},
  };
  for (const Case& c : kCases) {
    SCOPED_TRACE(c.why);
    if (c.answer.isEmpty()) {
      dms_.server().clearReply("DMSGetDeviceList");
    } else {
      dms_.server().setReply("DMSGetDeviceList", {c.answer});
    }
    auto r = run(c.deviceId);
    EXPECT_EQ(r->get_Result(), c.result);
    EXPECT_TRUE(details(*r).startsWith(c.detailsStart)) << details(*r).toStdString();
    EXPECT_EQ(r->size_FileStorage(), 0u);
    EXPECT_TRUE(snmp_.getRequests().isEmpty()) << "no SNMP query without a device";
  }
}

TEST_F(FileList, ADeviceRecordedUnderNoUsableAddressIsNotAskedAbout) {
  Configuration narrow;
  narrow.deviceNetworks = Ipv4RangeList::fromText("10.1.0.0/16");
  ZarvoPluginDSM narrowed(client(), store_.path() + "/", narrow);
  struct Case {
    const char* why;
    const char* ip;
    ZarvoPluginDSM* dsm;
  };
  const Case kCases[] = {
      {"a host name", "printer.example", &dsm_},          {"a port", "10.0.0.5:161", &dsm_},
      {"this machine by another name", "0.0.0.0", &dsm_}, {"multicast", "224.0.0.1", &dsm_},
      {"outside DeviceNetworks", "10.0.0.5", &narrowed},
  };
  for (const Case& c : kCases) {
    SCOPED_TRACE(c.why);
    dms_.setDevice(7, {{"IP", c.ip}, {"SNMP_VER", "2"}});
    ZarvoPluginDSM::GetFileListRequest request;
    (void)request.set_DeviceID(7);
    const auto r = c.dsm->DSMGetFileList(request);
    EXPECT_EQ(r->get_Result(), 0);
    EXPECT_EQ(details(*r), "DeviceDosntResponse");
    EXPECT_EQ(r->size_FileStorage(), 0u);
    EXPECT_TRUE(snmp_.getRequests().isEmpty()) << "no SNMP request about it";
  }
}

TEST_F(FileList, EveryFailureOfTheTableQueryIsPassedOnWithoutFiles) {
  struct Case {
    const char* why;
    std::function<void(FakeSNMPService&)> arrange;
    int result;
    QString detailsStart;
  };
  const Case kCases[] = {
      {"an HTML error page is no empty table",
       [](FakeSNMPService& s) {
         s.server().setReply("SNMPGetValues", {httpResponse("<html>busy</html>")});
       },
       4, "Wrong response format: "},
      {"the service's own failure", [](FakeSNMPService& s) { s.setResult(5, "Device busy"); }, 5,
       "Device busy"},
      {"errors of the device: success without files",
       [](FakeSNMPService& s) {
         s.setDeviceErrors("10.0.0.5", {{2, "timeout"}});
       },
       0, "OK"},
  };
  for (const Case& c : kCases) {
    SCOPED_TRACE(c.why);
    FakeSNMPService snmp;
    snmp.setTable("10.0.0.5", "scmFileStorageTable", {{"scmFileStorageFileName"}, {{"Courier"}}});
    route("SNMPGetValues", snmp.url());  // the earlier case's URL: refused once, then asked again
    c.arrange(snmp);
    auto r = run(7);
    EXPECT_EQ(r->get_Result(), c.result);
    EXPECT_TRUE(details(*r).startsWith(c.detailsStart)) << details(*r).toStdString();
    EXPECT_EQ(r->size_FileStorage(), 0u);
  }
}

TEST_F(FileList, AnIdentifierAbove2147483647IsNotLookedUp) {
  // Sent on, it would become a negative identifier or none at all, and match every device.
  auto r = run(2147483648u);
  EXPECT_EQ(r->get_Result(), 0);
  EXPECT_EQ(details(*r), "");
  EXPECT_EQ(r->size_FileStorage(), 0u);
  EXPECT_TRUE(dms_.requests().isEmpty());
  EXPECT_TRUE(snmp_.getRequests().isEmpty());

  dms_.setDevice(2147483647u, {{"IP", "10.0.0.5"}, {"SNMP_VER", "2"}});
  r = run(2147483647u);
  ASSERT_EQ(dms_.requests().size(), 1);
  EXPECT_TRUE(fromUtf16Le(dms_.requests().first()).contains("<Device ID=\"2147483647\"/>"));
  EXPECT_EQ(r->size_FileStorage(), 1u);
}

}  // namespace

}  // namespace Zarvo::dsm
