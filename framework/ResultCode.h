// The result codes the framework answers with by itself, and the Details text of each. Peers
// match these texts, so they are produced here and nowhere else, byte for byte:
//
//   return std::make_unique<ResponsePacket>(Failure::cantHandle(command));  // 2, with the name
#pragma once

#include <QString>

namespace Zarvo {

// The Result element of a response the framework made. Services add codes of their own.
enum class ResultCode : int {
  kSuccess = 0,
  kConnectionFailed = 1,     // no connection to the service that answers the command
  kUnknownCommand = 2,       // no handler here, or no service named for it
  kWrongRequestFormat = 3,   // the request could not be read (or written)
  kWrongResponseFormat = 4,  // the answer could not be read as the caller's response class
  kServicePaused = 5,        // the service is stopping or not running
  kCommunicationFailed = 6,  // the exchange broke off after the connection was made
  kHandlerException = -1,    // the handler threw something that is no ZarvoException
};

// A failure the framework answers by itself: its code and the text that goes with it.
struct Failure {
  ResultCode code;
  QString details;

  [[nodiscard]] int result() const { return int(code); }

  static Failure connectionFailed() {
    return {ResultCode::kConnectionFailed, QStringLiteral("Connection to service failed")};
  }
  // This process has the command's service, but that service has no handler for it.
  static Failure cantHandle(const QString& command) {
    return {ResultCode::kUnknownCommand, QStringLiteral("Can't handle command: ") + command};
  }
  // The naming service names nobody for the command.
  static Failure noServiceFor(const QString& command) {
    return {ResultCode::kUnknownCommand,
            QStringLiteral("Can't find service for command: ") + command};
  }
  static Failure wrongRequest(const QString& why) {
    return {ResultCode::kWrongRequestFormat, QStringLiteral("Wrong request format: ") + why};
  }
  static Failure wrongResponse(const QString& why) {
    return {ResultCode::kWrongResponseFormat, QStringLiteral("Wrong response format: ") + why};
  }
  static Failure servicePaused() {
    return {ResultCode::kServicePaused, QStringLiteral("Service paused")};
  }
  static Failure communicationFailed() {
    return {ResultCode::kCommunicationFailed, QStringLiteral("Communication with service failed")};
  }
  static Failure handlerException() {
    return {ResultCode::kHandlerException, QStringLiteral("Command handler raised an exception")};
  }
};

}  // namespace Zarvo
