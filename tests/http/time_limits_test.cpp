// The time limits keep their described production values: a default lowered to make a test
// fast would cut off slow but healthy peers in the field. Tests pass shorter values in instead.
#include <gtest/gtest.h>

#include "http/TimeLimits.h"

namespace {

using namespace std::chrono_literals;
namespace limits = Zarvo::limits;

TEST(TimeLimitsTest, DefaultsAreTheDescribedValues) {
  struct Row {
    const char* why;
    std::chrono::milliseconds actual;
    std::chrono::milliseconds described;
  };
  const Row kRows[] = {
      {"connecting to another service", limits::kServiceConnect, 10s},
      {"each server-side read wait", limits::kServerReadWait, 30s},
      {"each write wait", limits::kWriteWait, 30s},
      {"each client-side read wait: a service may work long on a request", limits::kClientReadWait,
       120s},
      {"connecting to a device's print port", limits::kDeviceConnect, 30s},
      {"a print-port write without progress", limits::kDeviceWriteWait, 30s},
      {"closing a device's print port", limits::kDeviceClose, 30s},
      {"a download's confirmation", limits::kConfirmWait, 300s},
      {"the pause between two attempts to reach a service", limits::kRetryPause, 3s},
      {"pending events between two service stops", limits::kStopEventWindow, 1500ms},
  };
  for (const Row& r : kRows) {
    SCOPED_TRACE(r.why);
    EXPECT_EQ(r.actual.count(), r.described.count());
  }
}

// A caller must outwait the callee: a service that uses its own read and write budgets in full
// must still be answered within the client's read wait.
TEST(TimeLimitsTest, ClientOutwaitsTheServerItCalls) {
  EXPECT_GT(limits::kClientReadWait, limits::kServerReadWait + limits::kWriteWait);
  EXPECT_GE(limits::kClientReadTotal, limits::kClientReadWait);
}

}  // namespace
