// Zarvo::Application::callService: the typed call through which services send a request packet
// to the service that answers its command and get a response packet back, whether that service
// lives in this process or behind the naming service. Every failure becomes a response of the
// caller's expected class with a result code, so callers only ever inspect result():
//
//   auto reply = Zarvo::Application::callService<MyResponse>(request, true);
//   if (reply->result() != 0) ...  // 1, 2, 3, 4 or 6 from here, or the service's own code
//
// A caller that does not wait for an answer gets null from the network path.
#pragma once

#include <QByteArray>
#include <QString>
#include <memory>

#include "framework/Application.h"
#include "framework/OrxServiceClient.h"
#include "framework/Packet.h"

namespace Zarvo {

namespace callservice_detail {

template <class Response>
std::unique_ptr<Response> failure(bool wait, int result, const QString& details) {
  if (!wait) return nullptr;
  auto response = std::make_unique<Response>();
  response->setResult(result, details);
  return response;
}

}  // namespace callservice_detail

template <class Response>
std::unique_ptr<Response> Application::callService(Packet& request, bool wait) {
  using callservice_detail::failure;

  // A service of this process answers without touching the network.
  if (Application* app = instance()) {
    if (PacketPtr local = app->processPacket(request)) {
      if (auto* typed = dynamic_cast<Response*>(local.get())) {
        local.release();
        return std::unique_ptr<Response>(typed);
      }
      // Another class: only the outcome carries over.
      auto response = std::make_unique<Response>();
      try {
        response->setResult(local->result(), local->details());
      } catch (const WrongPacketFormat& e) {  // the handler gave something that is no response
        response->setResult(4, QStringLiteral("Wrong response format: ") + e.message());
      }
      return response;
    }
  }

  QByteArray bytes;
  QString command;
  try {
    request.toByteArray(bytes);
    command = request.command();
  } catch (const WrongPacketFormat& e) {
    // A request that cannot be written is answered here rather than escaping into the caller's
    // thread, where nothing would catch it.
    return failure<Response>(wait, 3, QStringLiteral("Wrong request format: ") + e.message());
  }

  QByteArray answer;
  try {
    answer = OrxServiceClient::instance()->SendRequest(bytes, command, wait);
  } catch (const OrxServiceClient::ConnectionError&) {
    return failure<Response>(wait, 1, QStringLiteral("Connection to service failed"));
  } catch (const OrxServiceClient::UnknownCommand&) {
    return failure<Response>(wait, 2, QStringLiteral("Can't find service for command: ") + command);
  } catch (const OrxServiceClient::CommunicationError&) {
    return failure<Response>(wait, 6, QStringLiteral("Communication with service failed"));
  }
  if (!wait) return nullptr;

  auto response = std::make_unique<Response>();
  try {
    response->fromByteArray(answer);
  } catch (const WrongPacketFormat& e) {
    response->setResult(4, QStringLiteral("Wrong response format: ") + e.message());
  }
  return response;
}

}  // namespace Zarvo
