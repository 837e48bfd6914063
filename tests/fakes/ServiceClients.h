// Stand-ins for the other services of the suite, as the code under test reaches them through a
// Zarvo::ServiceClient. Header-only: the fakes library itself links none of our own code.
//
//   FakeServiceClient   in process: every call answered by a function of the test; without one,
//                       no service can be reached (result 1).
//   LoopbackServices    a fixture: a production OrxServiceClient of the test's own (empty cache,
//                       short waits) that finds services through a loopback naming fake.
//
//   class Registration : public testing_orx::LoopbackServices {
//     void SetUp() override { route("SNMPGetValues", snmp_.url()); }
//   };
//   TrapDestRegistration made(client(), "127.0.0.7");
#pragma once

#include <gtest/gtest.h>

#include <chrono>
#include <functional>

#include "framework/OrxServiceClient.h"
#include "framework/ServiceClient.h"
#include "tests/fakes/FakeNamingService.h"

namespace testing_orx {

class FakeServiceClient : public Zarvo::ServiceClient {
 public:
  // Answers one request, given its command and its bytes as they would travel.
  using Answerer = std::function<Answer(const QString& command, const QByteArray& request)>;

  explicit FakeServiceClient(Answerer answer = {}) : answer_(std::move(answer)) {}

  Answer call(Zarvo::Packet& request, bool wait) override {
    QByteArray bytes;
    request.toByteArray(bytes);
    if (answer_) return answer_(request.command(), bytes);
    Answer none;
    if (wait)
      none.packet = std::make_unique<Zarvo::ResponsePacket>(Zarvo::Failure::connectionFailed());
    return none;
  }

 private:
  const Answerer answer_;
};

// Waits long enough for a loaded test machine, short enough that a test of a failure ends soon.
inline Zarvo::OrxServiceClient::Limits shortClientLimits() {
  using namespace std::chrono_literals;
  Zarvo::OrxServiceClient::Limits limits;
  limits.connectWait = 5000ms;
  limits.writeWait = 5000ms;
  limits.readWait = 15000ms;
  limits.readTotal = 20000ms;
  limits.retryDelay = 5ms;
  return limits;
}

class LoopbackServices : public ::testing::Test {
 protected:
  LoopbackServices() : client_(shortClientLimits()) { client_.setNamingServiceUrl(naming_.url()); }

  Zarvo::OrxServiceClient& client() { return client_; }
  // The naming fake names `url` for `command`.
  void route(const QString& command, const QUrl& url) {
    naming_.setServiceUrl(command, url.toString());
  }

  FakeNamingService naming_;

 private:
  Zarvo::OrxServiceClient client_;
};

}  // namespace testing_orx
