// ServiceClient: the seam through which a service reaches the other services of the suite. A
// service or helper that calls others is handed one (the application in production, which tries
// its own services first and then the HTTP client; a fake in tests) instead of reaching for a
// process-wide object.
//
// Callers use the typed call, which turns every failure into a response of the class they expect,
// so they only ever look at result():
//
//   auto reply = services.callService<CmdSNMPGetValuesResponse>(request, true);
//   if (reply->result() != 0) ...  // 1, 2, 3, 4 or 6 from the way there, or the service's own
#pragma once

#include <QByteArray>
#include <QUrl>
#include <memory>

#include "framework/Packet.h"
#include "framework/ResultCode.h"

namespace Zarvo {

class ServiceClient {
 public:
  // What one call came to, before it is read as the caller's response class: a packet (an answer
  // made in this process, or the failure that left no answer), or the body another process
  // answered with. Both empty when the caller did not wait and no packet was made here.
  struct Answer {
    PacketPtr packet;
    QByteArray bytes;
  };

  virtual ~ServiceClient() = default;

  // Sends `request` to the service that answers its command. A caller that does not wait gets
  // nothing back from another process, a failure included.
  [[nodiscard]] virtual Answer call(Packet& request, bool wait) = 0;

  // Where the naming service is that names the other services; clients that ask none ignore it.
  virtual void setNamingServiceUrl(const QUrl& url) { (void)url; }

  // The typed call: a new response of class `Response`, or null when the caller did not wait and
  // no answer was made in this process. An answer of that class is handed over as it is; one of
  // another class carries over only its result and details; the bytes from another process are
  // read into a new response, and bytes that are no such response give result 4.
  template <class Response>
  [[nodiscard]] std::unique_ptr<Response> callService(Packet& request, bool wait);
};

template <class Response>
std::unique_ptr<Response> ServiceClient::callService(Packet& request, bool wait) {
  Answer answer = call(request, wait);
  if (answer.packet) {
    if (auto* typed = dynamic_cast<Response*>(answer.packet.get())) {
      answer.packet.release();
      return std::unique_ptr<Response>(typed);
    }
    auto response = std::make_unique<Response>();
    try {
      response->setResult(answer.packet->result(), answer.packet->details());
    } catch (const WrongPacketFormat& e) {  // the handler gave something that is no response
      const Failure failure = Failure::wrongResponse(e.message());
      response->setResult(failure.result(), failure.details);
    }
    return response;
  }
  if (!wait) return nullptr;

  auto response = std::make_unique<Response>();
  try {
    response->fromByteArray(answer.bytes);
  } catch (const WrongPacketFormat& e) {
    const Failure failure = Failure::wrongResponse(e.message());
    response->setResult(failure.result(), failure.details);
  }
  return response;
}

}  // namespace Zarvo
