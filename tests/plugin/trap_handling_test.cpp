// Which "SNMPTrap" requests are a device's download status, under which prefix, and the service's
// answer to every trap.
#include <gtest/gtest.h>

#include <QTemporaryDir>

#include "plugin/TrapHandling.h"
#include "plugin/ZarvoPluginDSM.h"
#include "tests/fakes/Bytes.h"
#include "tests/fakes/ServiceClients.h"

namespace Zarvo::dsm {
namespace {

SNMPTrap_Request::c_OrxRequest trap(const QString& host, const QString& enterprise,
                                    const QList<QPair<QString, QString>>& variables,
                                    bool withVariables = true) {
  SNMPTrap_Request::c_OrxRequest t;
  (void)t.set_HostIp(host.toStdU16String());
  (void)t.set_Enterprise(enterprise.toStdU16String());
  (void)t.set_GenericNumber("6");
  (void)t.set_SpecificNumber("1");
  if (withVariables) {
    auto& vars = t.enable_Variables();
    for (const auto& v : variables) {
      (void)vars.append_Variable();
      (void)vars.back_Variable().set_OID(v.first.toStdU16String());
      (void)vars.back_Variable().set_Value(v.second.toStdU16String());
    }
  }
  return t;
}

TEST(TrapStatus, OnlyTheDownloadStatusOfTheDeviceMakerCounts) {
  const QString arc = kDefaultDeviceEnterpriseArc;
  const DeviceTrapIds ids = DeviceTrapIds::forArc(arc);
  const QString ent = arc + ".11.5.11.83.1.2.1";
  const QString oid = arc + ".11.5.11.83.1.1.1.5";
  EXPECT_EQ(ids.enterprise, ent);
  EXPECT_EQ(ids.statusOid, oid);
  struct Case {
    const char* why;
    SNMPTrap_Request::c_OrxRequest request;
    std::optional<std::pair<bool, QString>> expected;
  };
  const Case kCases[] = {
      {"stored", trap("10.0.0.5", ent, {{oid, "completed"}}), {{true, "completed"}}},
      {"a failure text", trap("10.0.0.5", ent, {{oid, "FlashFull"}}), {{false, "FlashFull"}}},
      {"still working", trap("10.0.0.5", ent, {{oid, "processing"}}), std::nullopt},
      {"processing, then the outcome: the outcome, once",
       trap("10.0.0.5", ent, {{oid, "processing"}, {oid, "completed"}, {oid, "Later"}}),
       {{true, "completed"}}},
      {"other variables are passed over",
       trap("10.0.0.5", ent, {{".1.2.3", "x"}, {oid, "Err"}}),
       {{false, "Err"}}},
      {"the right suffix under another prefix",
       trap("10.0.0.5", ".1.3.6.1.4.1.9" + ent.mid(arc.size()), {{oid, "completed"}}),
       std::nullopt},
      {"a status variable with an instance suffix",
       trap("10.0.0.5", ent, {{oid + ".0", "completed"}}), std::nullopt},
      {"no Variables at all", trap("10.0.0.5", ent, {}, false), std::nullopt},
  };
  for (const Case& c : kCases) {
    SCOPED_TRACE(c.why);
    const std::optional<DownloadStatus> s = downloadStatusOf(c.request, ids);
    ASSERT_EQ(s.has_value(), c.expected.has_value());
    if (!s) continue;
    EXPECT_EQ(s->address, "10.0.0.5");
    EXPECT_EQ(s->ok, c.expected->first);
    EXPECT_EQ(s->text, c.expected->second);
  }
}

TEST(TrapStatus, TheHandlerAnswersOkToEveryTrapAndConfirmsOnlyRecognisedOnes) {
  // The handler's notification reaches a download under way; without one it changes nothing.
  QTemporaryDir store;
  const QString arc = ".1.3.6.1.4.1.4242";  // another maker: the configured prefix is used
  testing_orx::FakeServiceClient services;
  ZarvoPluginDSM dsm(services, store.path() + "/", arc);
  const QString ent = arc + ".11.5.11.83.1.2.1";
  const QString oid = arc + ".11.5.11.83.1.1.1.5";
  for (const auto& request :
       {trap("10.0.0.5", ent, {{oid, "completed"}}),
        trap("10.0.0.5", kDefaultDeviceEnterpriseArc + ".11.5.11.83.1.2.1", {{oid, "x"}}),
        trap("10.0.0.5", ent, {}, false)}) {
    ZarvoPluginDSM::SNMPTrapRequest packet;
    static_cast<SNMPTrap_Request::c_OrxRequest&>(packet) = request;
    const auto answer = dsm.SNMPTrap(packet);
    ASSERT_NE(answer, nullptr);
    EXPECT_EQ(answer->get_Result(), 0);
    EXPECT_EQ(QString::fromStdU16String(answer->get_Details()), "OK");
  }
  EXPECT_EQ(dsm.sender().sessionCount(), 0) << "a trap without a download creates nothing";
}

}  // namespace
}  // namespace Zarvo::dsm
