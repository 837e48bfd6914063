// The child programs the service binding runs (systemctl): exit code, streams, a bounded run.
#include "service/Subprocess.h"

#include <gtest/gtest.h>

#include "tests/fakes/Bytes.h"

namespace Zarvo {
namespace {

using testing_bytes::hex;

TEST(Subprocess, ReportsExitCodeStreamsAndBoundsTheRun) {
  const ProgramResult ok = runProgram("/bin/sh", {"-c", "echo out; echo err >&2; exit 3"}, 10'000);
  EXPECT_TRUE(ok.ran);
  EXPECT_EQ(ok.exitCode, 3);
  EXPECT_EQ(hex(ok.out), hex(QByteArray("out\n")));
  EXPECT_EQ(ok.describe("sh"), "err");

  const ProgramResult missing = runProgram("/nonexistent/systemctl", {}, 10'000);
  EXPECT_FALSE(missing.ran);
  EXPECT_TRUE(missing.describe("x").contains("/nonexistent/systemctl"));

  const ProgramResult slow = runProgram("/bin/sleep", {"30"}, 200);
  EXPECT_FALSE(slow.ran) << "a child that outlives its time is ended";
  EXPECT_TRUE(slow.failure.contains("200 ms")) << slow.failure.toStdString();
}

}  // namespace
}  // namespace Zarvo
