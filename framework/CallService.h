// ServiceClient::callService: reads what a call came to as the response class the caller expects.
// An answer of that class is handed over as it is; an answer of another class carries over only
// its result and details; the bytes from another process are read into a new response, and bytes
// that are no such response give result 4.
#pragma once

#include <memory>

#include "framework/Packet.h"
#include "framework/ResultCode.h"
#include "framework/ServiceClient.h"

namespace Zarvo {

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
