#include "framework/NamingWatch.h"

#include "NSFindService_Request.h"
#include "NSFindService_Response.h"
#include "framework/LMXPacket.h"
#include "framework/Log.h"
#include "framework/ServiceClient.h"

namespace Zarvo {

NamingWatch::NamingWatch(ServiceClient& services, QUrl ownUrl,
                         std::function<QString()> probeCommand,
                         std::function<bool()> registerAgain, std::chrono::milliseconds interval)
    : services_(services),
      ownUrl_(std::move(ownUrl)),
      probeCommand_(std::move(probeCommand)),
      registerAgain_(std::move(registerAgain)),
      interval_(interval) {}

NamingWatch::~NamingWatch() {
  requestStop();
  wait();
}

void NamingWatch::run() {
  const StopToken stop = stopToken();
  while (!stop.sleepFor(interval_)) {
    const QString command = probeCommand_();
    if (command.isEmpty()) continue;
    ++checks_;
    QString why;
    const QString named = askNamingService(command, why);
    if (stop.stopRequested()) return;
    if (!named.isEmpty() && QUrl(named) == ownUrl_) continue;
    if (why.isEmpty()) why = QStringLiteral("names %1 for it").arg(named);
    ZLOG("info") << "Naming service does not know this process (asked for "
                 << command.toUtf8() << ": " << why.toUtf8() << "); registering again";
    ++reRegistrations_;
    (void)registerAgain_();
  }
}

QString NamingWatch::askNamingService(const QString& command, QString& why) {
  LMXRequest<NSFindService_Request::c_OrxRequest> request;
  request.set_Command(command.toStdU16String());
  const auto response =
      services_.callService<LMXResponse<NSFindService_Response::c_OrxResponse>>(request, true);
  if (!response) {
    why = QStringLiteral("no answer");
    return QString();
  }
  if (response->result() != 0) {
    why = QStringLiteral("result %1 %2").arg(response->result()).arg(response->details());
    return QString();
  }
  const QString url = QString::fromStdU16String(response->get_ServiceURL()).trimmed();
  if (url.isEmpty()) why = QStringLiteral("no URL");
  return url;
}

}  // namespace Zarvo
