// Devices are addresses, not names: a request's DeviceIP, Source or destination that is no
// dotted IPv4 unicast address (or lies outside DeviceNetworks) reaches nothing. Loopback
// listeners sit where such a text would land if it were resolved or parsed around (0.0.0.0 and
// "localhost" reach 127.0.0.1; 127.0.1.5 is outside 127.0.0.0/24), and none of them is
// connected to: not the print port, not a device page, and no trap registration is made.
#include <gtest/gtest.h>

#include <QDir>
#include <QTemporaryDir>
#include <chrono>
#include <thread>

#include "plugin/DeviceAddressPolicy.h"
#include "plugin/TCP9100File.h"
#include "plugin/TCP9100Sender.h"
#include "plugin/ZarvoPluginDSM.h"
#include "tests/fakes/FakeCgiDevices.h"
#include "tests/fakes/FakeDeviceSender.h"
#include "tests/fakes/FakePrinter.h"
#include "tests/fakes/ServiceClients.h"
#include "tests/plugin/JobRequests.h"

namespace Zarvo::dsm {
namespace {

using namespace std::chrono_literals;
using testing_devices::FakeCgiDevices;
using testing_devices::FakeDeviceSender;
using testing_printer::FakePrinter;

const Ipv4RangeList kNetworks = Ipv4RangeList::fromText("127.0.0.0/24");
const QString kInside = QStringLiteral("127.0.0.1");
const QString kOutside = QStringLiteral("127.0.1.5");

// What a request might name a device with, and why none of it is a device address here.
struct Refused {
  const char* text;
  const char* why;
};
const Refused kRefused[] = {
    {"localhost", "a host name: names are not resolved"},
    {"127.0.0.5:81", "a port"},
    {"user@127.0.0.1", "a user part"},
    {"127.0.0.1/DSMGetFiles.cgi", "a path"},
    {"127.1", "a short form the C library would read as 127.0.0.1"},
    {"0.0.0.0", "a connect to it reaches this machine"},
    {"255.255.255.255", "broadcast"},
    {"224.0.0.1", "multicast"},
    {"127.0.1.5", "outside DeviceNetworks 127.0.0.0/24"},
    {"", "nothing"},
};

TEST(DeviceAddressPolicy, TheSenderConnectsToNoneAndRegistersNothing) {
  FakePrinter here(kInside);
  FakePrinter outside(kOutside, here.port());
  std::atomic<int> registrations{0};
  TCP9100Sender::Limits limits;
  limits.connect = 2s;
  limits.close = 2s;
  limits.confirm = 5s;
  TCP9100Sender sender(
      here.port(), limits,
      [&registrations](const QString&) -> std::unique_ptr<TrapRegistration> {
        ++registrations;
        return nullptr;
      },
      DeviceAddressPolicy(kNetworks));
  const TCP9100FilePSForm form(QStringLiteral("f.ps"), "%!PS\nshowpage\n");
  for (const Refused& r : kRefused) {
    SCOPED_TRACE(r.why);
    EXPECT_EQ(sender.send(QString::fromUtf8(r.text), form).text, "DeviceDosntResponse");
  }
  EXPECT_EQ(here.connections(), 0);
  EXPECT_EQ(outside.connections(), 0);
  EXPECT_EQ(registrations.load(), 0);
  EXPECT_EQ(sender.sessionCount(), 0);

  EXPECT_EQ(DeviceAddressPolicy(kNetworks).connectable(" 127.0.0.5 ")->toString(), "127.0.0.5")
      << "blanks around an address are no part of it";
  EXPECT_TRUE(DeviceAddressPolicy().connectable("10.1.2.3")) << "without DeviceNetworks";

  // The address itself goes through: the fakes are where the refused texts would have landed.
  here.onDownload([&](const FakePrinter::Download&) { sender.notify(kInside, true, "completed"); });
  EXPECT_EQ(sender.send(kInside, form).text, "completed");
  EXPECT_EQ(here.connections(), 1);
  EXPECT_EQ(registrations.load(), 1);
}

// The service's jobs: downloads, fetches from a source and deletes name only device addresses.
class DeviceJobs : public ::testing::Test {
 protected:
  DeviceJobs() : pages_({kInside, kOutside}) {
    QDir(dir_.path()).mkpath("Files");
    QFile stored(dir_.path() + "/Files/f.ps");
    EXPECT_TRUE(stored.open(QIODevice::WriteOnly));
    stored.write("%!PS\nshowpage\n");
    stored.close();
    DeviceCgiSettings cgi;
    cgi.port = pages_.port();
    cgi.limits.connectTimeout = 5s;
    cgi.devices = DeviceAddressPolicy(kNetworks);
    plugin_ = std::make_unique<ZarvoPluginDSM>(services_, dir_.path() + "/Files/", &sender_, cgi);
    pages_.putFile(kInside, "f.ps", "%!PS\nshowpage\n", "psForm");
    pages_.putFile(kOutside, "f.ps", "%!PS\nshowpage\n", "psForm");
  }

  // The file results of operation `id` once it has ended.
  QStringList results(std::uint32_t id) {
    ZarvoPluginDSM::DetailsOperationRequest request;
    (void)request.set_OperationID(id);
    const auto end = std::chrono::steady_clock::now() + 20s;
    while (std::chrono::steady_clock::now() < end) {
      auto r = plugin_->DSMDetailsOperation(request);
      if (r->get_Status() != u"IN_PROGRESS") {
        QStringList out;
        for (std::size_t i = 0; i < r->size_File(); ++i)
          out << QString::fromStdU16String(r->get_File(i).get_Details());
        return out;
      }
      std::this_thread::sleep_for(5ms);
    }
    return {"still running"};
  }

  QTemporaryDir dir_;
  FakeCgiDevices pages_;
  FakeDeviceSender sender_;
  testing_orx::FakeServiceClient services_;
  std::unique_ptr<ZarvoPluginDSM> plugin_;
};

TEST_F(DeviceJobs, RefusedAddressesFailAsDevicesThatDoNotRespondAndNothingIsSent) {
  std::uint32_t id = 0;
  for (const Refused& r : kRefused) {
    SCOPED_TRACE(r.why);
    const QString text = QString::fromUtf8(r.text);
    auto add = testing_jobs::addRequest<ZarvoPluginDSM::AddFileRequest>(text, {}, {"f.ps"});
    (void)plugin_->DSMAddFile(add);
    EXPECT_EQ(results(id++), QStringList{"DeviceDosntResponse"}) << "add to it";

    auto copy = testing_jobs::transferRequest<ZarvoPluginDSM::CopyFileRequest>(
        text, {{"f.ps", 14, "psForm", 0}}, {kInside});
    (void)plugin_->DSMCopyFile(copy);
    EXPECT_EQ(results(id++), QStringList{"DeviceDosntResponse"}) << "copy from it";

    auto move = testing_jobs::transferRequest<ZarvoPluginDSM::MoveFileRequest>(
        kInside, {{"f.ps", 14, "psForm", 0}}, {text});
    (void)plugin_->DSMMoveFile(move);
    EXPECT_EQ(results(id++), QStringList{"DeviceDosntResponse"}) << "move to it";

    auto remove = testing_jobs::deleteRequest<ZarvoPluginDSM::DeleteFileRequest>(
        text, {{"f.ps", 14, "psForm", 0}});
    (void)plugin_->DSMDeleteFile(remove);
    EXPECT_EQ(results(id++), QStringList{"DeviceDosntResponse"}) << "delete on it";
  }
  EXPECT_TRUE(sender_.sent().isEmpty());
  // The moves fetched their file from the allowed source; nothing else reached a page.
  for (const auto& request : pages_.requests()) {
    EXPECT_EQ(request.device, kInside);
    EXPECT_EQ(request.page, "DSMGetFiles.cgi");
  }
  EXPECT_TRUE(pages_.hasFile(kInside, "f.ps")) << "no move deleted its source";
}

}  // namespace
}  // namespace Zarvo::dsm
