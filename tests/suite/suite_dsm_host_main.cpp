// The storage manager's executable with its device time limits taken from the environment, so
// the end-to-end runs against the fleet can rehearse a silent device in seconds rather than the
// production five minutes. Everything else is the real service: jobs, the print-port sender with
// its trap-destination registration, the CGI client, "SNMPTrap" over HTTP.
//
//   ZARVO_CONFIRM_MS  confirmation wait (default 300000)
//   ZARVO_CONNECT_MS  print-port connect and close, and the CGI connect (default 30000)
//   ZARVO_CGI_IDLE_S  CGI low-speed time in seconds (default 120)
#include <QDir>

#include "framework/Application.h"
#include "plugin/ZarvoPluginDSM.h"

namespace Zarvo::dsm {
namespace {

template <class Duration>
Duration fromEnv(const char* name, Duration fallback) {
  bool ok = false;
  const int value = qEnvironmentVariableIntValue(name, &ok);
  return ok && value > 0 ? Duration(value) : fallback;
}

}  // namespace
}  // namespace Zarvo::dsm

int main(int argc, char** argv) {
  using namespace Zarvo::dsm;
  qputenv("QT_NO_GLIB", "1");
  TCP9100Sender::Limits limits;
  limits.confirm = fromEnv("ZARVO_CONFIRM_MS", limits.confirm);
  limits.connect = fromEnv("ZARVO_CONNECT_MS", limits.connect);
  limits.close = fromEnv("ZARVO_CONNECT_MS", limits.close);
  DeviceCgiSettings cgi;
  cgi.limits.connectTimeout = fromEnv("ZARVO_CONNECT_MS", cgi.limits.connectTimeout);
  cgi.limits.lowSpeedTime = fromEnv("ZARVO_CGI_IDLE_S", cgi.limits.lowSpeedTime);
  Zarvo::Application app(argc, argv, QStringLiteral("ZarvoPluginDSM"),
                         QStringLiteral("ZarvoPluginDSM.cfg"));
  app.registerServiceFactory(QStringLiteral("DSM"), new Zarvo::ServiceFactoryFunction([&] {
                               return new ZarvoPluginDSM(
                                   app, QDir::current().filePath(QStringLiteral("Files/")),
                                   app.configuration().deviceEnterpriseArc, limits, cgi);
                             }));
  return app.exec();
}
