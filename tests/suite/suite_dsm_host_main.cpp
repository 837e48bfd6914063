// The storage manager's executable with its device time limits taken from the environment, so
// the end-to-end runs against the fleet can rehearse a silent device in seconds rather than the
// production five minutes. Everything else is the real service: jobs, the print-port sender with
// its trap-destination registration, the CGI client, "SNMPTrap" over HTTP.
//
//   ZARVO_CONFIRM_MS  confirmation wait (default 300000)
//   ZARVO_CONNECT_MS  print-port connect and close, and the CGI connect (default 30000)
//   ZARVO_CGI_IDLE_S  CGI low-speed time in seconds (default 120)
#include <QDir>
#include <memory>

#include "framework/Application.h"
#include "plugin/TCP9100Sender.h"
#include "plugin/TrapDestRegistration.h"
#include "plugin/TrapHandling.h"
#include "plugin/ZarvoPluginDSM.h"

namespace Zarvo::dsm {
namespace {

using std::chrono::milliseconds;

milliseconds fromEnv(const char* name, milliseconds fallback) {
  bool ok = false;
  const int value = qEnvironmentVariableIntValue(name, &ok);
  return ok && value > 0 ? milliseconds(value) : fallback;
}

// Outlives the service, as the service's constructor asks of a sender it is given.
TCP9100Sender* gSender = nullptr;

DeviceCgiSettings cgiSettings() {
  DeviceCgiSettings cgi;
  cgi.limits.connectTimeout = fromEnv("ZARVO_CONNECT_MS", cgi.limits.connectTimeout);
  bool ok = false;
  const int idle = qEnvironmentVariableIntValue("ZARVO_CGI_IDLE_S", &ok);
  if (ok && idle > 0) cgi.limits.lowSpeedTime = std::chrono::seconds(idle);
  return cgi;
}

class ShortLimitDSM : public ZarvoPluginDSM {
 public:
  explicit ShortLimitDSM(Zarvo::ServiceClient& services)
      : ZarvoPluginDSM(services, QDir::current().filePath(QStringLiteral("Files/")), gSender,
                       cgiSettings()),
        trapIds_(
            DeviceTrapIds::forArc(deviceEnterpriseArcFrom(QStringLiteral("ZarvoPluginDSM.cfg")))) {
    // Confirmations go to the sender the jobs use.
    registerHandler(QStringLiteral("SNMPTrap"), &ShortLimitDSM::trap);
  }
  // The sender's waits end first, so every job's download returns and the base class can
  // stop and join the jobs.
  ~ShortLimitDSM() override { gSender->stopAll(); }

  std::unique_ptr<SNMPTrapResponse> trap(SNMPTrapRequest& request) {
    if (const auto status = downloadStatusOf(request, trapIds_)) {
      gSender->notify(status->address, status->ok, status->text);
    }
    auto response = std::make_unique<SNMPTrapResponse>();
    (void)response->set_Result(0);
    (void)response->set_Details(u"OK");
    return response;
  }

 private:
  DeviceTrapIds trapIds_;
};

int run(int argc, char** argv) {
  qputenv("QT_NO_GLIB", "1");
  TCP9100Sender::Limits limits;
  limits.confirm = fromEnv("ZARVO_CONFIRM_MS", limits.confirm);
  limits.connect = fromEnv("ZARVO_CONNECT_MS", limits.connect);
  limits.close = fromEnv("ZARVO_CONNECT_MS", limits.close);
  Zarvo::ServiceClient* services = nullptr;  // the application, before any download
  auto sender = std::make_unique<TCP9100Sender>(
      TCP9100Sender::kDevicePort, limits,
      [&services](const QString& address) -> std::unique_ptr<TrapRegistration> {
        return std::make_unique<TrapDestRegistration>(*services, address);
      });
  gSender = sender.get();
  int code = 0;
  {
    Zarvo::Application app(argc, argv, QStringLiteral("ZarvoPluginDSM"),
                           QStringLiteral("ZarvoPluginDSM.cfg"));
    services = &app;
    app.registerServiceFactory(QStringLiteral("DSM"), new Zarvo::ServiceFactoryFunction([&app] {
                                 return new ShortLimitDSM(app);
                               }));
    code = app.exec();
  }
  return code;
}

}  // namespace
}  // namespace Zarvo::dsm

int main(int argc, char** argv) { return Zarvo::dsm::run(argc, argv); }
