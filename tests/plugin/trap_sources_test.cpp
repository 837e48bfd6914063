// Who may decide a download's outcome: "SNMPTrap" from outside this machine and the trap sources
// is answered as a command the service does not have and confirms nothing. Without TrapSources
// the SNMP service's host is asked of the naming service once, when the first trap from
// elsewhere arrives.
#include <gtest/gtest.h>

#include <QTemporaryDir>
#include <atomic>
#include <chrono>

#include "NSFindService_Response.h"
#include "plugin/TCP9100File.h"
#include "plugin/TrapSources.h"
#include "plugin/ZarvoPluginDSM.h"
#include "tests/fakes/FakePrinter.h"
#include "tests/fakes/ServiceClients.h"

namespace Zarvo::dsm {
namespace {

using namespace std::chrono_literals;
using FindResponse = Zarvo::LMXResponse<NSFindService_Response::c_OrxResponse>;

// Answers "NSFindService" with `url` (a failure when empty) and counts the questions.
testing_orx::FakeServiceClient::Answerer namingWith(const QString& url, std::atomic<int>* asked) {
  return [url, asked](const QString& command, const QByteArray&) {
    Zarvo::ServiceClient::Answer answer;
    if (command != QLatin1String("NSFindService")) {
      answer.packet = std::make_unique<Zarvo::ResponsePacket>(Zarvo::Failure::connectionFailed());
      return answer;
    }
    ++*asked;
    auto response = std::make_unique<FindResponse>();
    if (url.isEmpty()) {
      response->setResult(2, QStringLiteral("Can't find service for command: SNMPGetValues"));
    } else {
      (void)response->set_ServiceURL(url.toStdU16String());
    }
    answer.packet = std::move(response);
    return answer;
  };
}

TEST(TrapSources, ThisMachineAndTheConfiguredOrLearntSnmpHost) {
  struct Case {
    const char* why;
    std::optional<Ipv4RangeList> configured;
    QString snmpUrl;  // what the naming service answers
    QStringList admitted, refused;
    int lookups;  // after every check of the case
  };
  const Case kCases[] = {
      {"configured: the naming service is not asked",
       Ipv4RangeList::fromText("10.0.0.9 10.5.0.0/16"),
       "http://10.0.0.7:8090/",
       {"127.0.0.1", "127.3.2.1", "10.0.0.9", "10.5.7.7"},
       {"10.0.0.7", "10.0.0.8", "192.0.2.1"},
       0},
      {"learnt once, at the first trap from elsewhere",
       std::nullopt,
       "http://10.0.0.7:8090/",
       {"127.0.0.1", "10.0.0.7", "10.0.0.7"},
       {"10.0.0.8"},
       1},
      {"a name in the URL is resolved",
       std::nullopt,
       "http://localhost:8090/",
       {"127.0.0.1"},
       {"10.0.0.7"},
       1},
      {"no SNMP service known: refused, and asked again next time",
       std::nullopt,
       QString(),
       {"127.0.0.1"},
       {"10.0.0.7", "10.0.0.7"},
       2},
  };
  for (const Case& c : kCases) {
    SCOPED_TRACE(c.why);
    std::atomic<int> asked{0};
    testing_orx::FakeServiceClient naming(namingWith(c.snmpUrl, &asked));
    TrapSources sources(naming, c.configured);
    EXPECT_TRUE(sources.admits(QHostAddress("127.0.0.1")));
    EXPECT_EQ(asked.load(), 0) << "this machine needs no lookup";
    for (const QString& a : c.admitted)
      EXPECT_TRUE(sources.admits(QHostAddress(a))) << a.toStdString();
    for (const QString& r : c.refused)
      EXPECT_FALSE(sources.admits(QHostAddress(r))) << r.toStdString();
    EXPECT_FALSE(sources.admits(QHostAddress())) << "a peer without an address";
    EXPECT_EQ(asked.load(), c.lookups);
  }
}

QByteArray trapBytes(const QString& device, const QString& status) {
  ZarvoPluginDSM::SNMPTrapRequest trap;
  (void)trap.set_HostIp(device.toStdU16String());
  (void)trap.set_Enterprise((kDefaultDeviceEnterpriseArc + ".11.5.11.83.1.2.1").toStdU16String());
  (void)trap.set_GenericNumber("6");
  (void)trap.set_SpecificNumber("1");
  auto& variables = trap.enable_Variables();
  (void)variables.append_Variable();
  (void)variables.back_Variable().set_OID(
      (kDefaultDeviceEnterpriseArc + ".11.5.11.83.1.1.1.5").toStdU16String());
  (void)variables.back_Variable().set_Value(status.toStdU16String());
  QByteArray bytes;
  trap.toByteArray(bytes);
  return bytes;
}

TEST(TrapSources, AForgedTrapDoesNotDecideAWaitingDownload) {
  // The printer confirms each download twice through the service's own dispatch: first a
  // stranger claims a failure, then the SNMP service's host reports success. Only the second
  // may count.
  const QString device = QStringLiteral("127.0.0.190");
  testing_printer::FakePrinter printer(device, TCP9100Sender::kDevicePort);
  QTemporaryDir store;
  testing_orx::FakeServiceClient services;  // no SNMP service: downloads go unregistered
  Configuration configuration;
  configuration.trapSources = Ipv4RangeList::fromText("10.20.30.40");
  TCP9100Sender::Limits limits;
  limits.confirm = 20s;  // ends at the confirmation that counts, long before this
  ZarvoPluginDSM dsm(services, store.path() + "/", configuration, limits);

  std::atomic<int> strangerResult{-99};
  std::atomic<int> sourceResult{-99};
  printer.onDownload([&](const testing_printer::FakePrinter::Download&) {
    const auto stranger = dsm.processRequest(QStringLiteral("SNMPTrap"),
                                             trapBytes(device, QStringLiteral("Flash full")),
                                             QHostAddress(QStringLiteral("192.0.2.9")));
    strangerResult = stranger->result();
    const auto source = dsm.processRequest(QStringLiteral("SNMPTrap"),
                                           trapBytes(device, QStringLiteral("completed")),
                                           QHostAddress(QStringLiteral("10.20.30.40")));
    sourceResult = source->result();
  });
  const TCP9100FilePSForm form(QStringLiteral("f.ps"), "%!PS\nshowpage\n");
  const FileOutcome outcome = dsm.sender().send(device, form);
  EXPECT_EQ(outcome.text, "completed") << "the stranger's \"Flash full\" was not taken";
  EXPECT_TRUE(outcome.succeeded);
  EXPECT_EQ(strangerResult.load(), 2);
  EXPECT_EQ(sourceResult.load(), 0);
}

}  // namespace
}  // namespace Zarvo::dsm
