// Who may close the process: "MGMTCloseApplication" from a network peer outside this machine and
// the naming service's host gets the answer of a command the service does not have, and the
// process goes on.
#include <gtest/gtest.h>

#include <atomic>

#include "MGMTCloseApplication_Request.h"
#include "framework/ManagementService.h"
#include "tests/fakes/LogLines.h"

namespace Zarvo {
namespace {

QByteArray closeRequest() {
  MGMTCloseApplicationRequest request;
  QByteArray bytes;
  request.toByteArray(bytes);
  return bytes;
}

TEST(ManagementCallers, OnlyThisMachineAndTheNamingServicesHostMayClose) {
  struct Case {
    const char* why;
    QHostAddress caller;
    bool closes;
  };
  const Case kCases[] = {
      {"this machine", QHostAddress("127.0.0.1"), true},
      {"any loopback address", QHostAddress("127.9.8.7"), true},
      {"the naming service's host", QHostAddress("10.0.0.7"), true},
      {"its neighbour", QHostAddress("10.0.0.8"), false},
      {"a site host", QHostAddress("192.0.2.10"), false},
      {"a peer the system could not name", QHostAddress(), false},
      {"IPv6 loopback: the host listens on IPv4 only", QHostAddress("::1"), false},
  };
  const QString command = QStringLiteral("MGMTCloseApplication");
  for (const Case& c : kCases) {
    SCOPED_TRACE(c.why);
    std::atomic<int> quits{0};
    ManagementService service([&quits] { ++quits; }, Ipv4RangeList::fromText("10.0.0.7"));
    const qsizetype from = testing_log::LogLines::get().mark();
    const PacketPtr answer = service.processRequest(command, closeRequest(), c.caller);
    ASSERT_TRUE(answer);
    EXPECT_EQ(quits.load(), c.closes ? 1 : 0);
    EXPECT_EQ(answer->result(), c.closes ? 0 : 2);
    EXPECT_EQ(answer->details(), c.closes ? "OK" : "Can't handle command: MGMTCloseApplication");
    EXPECT_EQ(testing_log::LogLines::get().since(from, "warning").size(), c.closes ? 0 : 1);
  }
  std::atomic<int> quits{0};
  ManagementService inProcess([&quits] { ++quits; });
  EXPECT_EQ(inProcess.processRequest(command, closeRequest())->result(), 0)
      << "a request made inside the process has no caller to check";
  EXPECT_EQ(quits.load(), 1);
}

}  // namespace
}  // namespace Zarvo
