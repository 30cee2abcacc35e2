// A wait with nothing to do times out; a wait hands out at most its batch and
// leaves the rest queued for the next one.
#include "port/port_fixture.h"

namespace porttest {
namespace {

TEST_F(PortTest, WaitTimesOutWithNothingToDoAndHandsOutAtMostItsBatch) {
  Pair p = Connected();
  ASSERT_EQ(Receive(p.server, in).status, platform::IoStatus::Pending);
  platform::Completion c[2];
  int n = -1;
  int error = 0;
  EXPECT_EQ(platform::WaitForCompletions(port, c, 2, 50, &n, &error), platform::WaitStatus::TimedOut);
  EXPECT_EQ(n, 0);

  for (std::uintptr_t key = 1; key <= 5; ++key) ASSERT_TRUE(platform::PostCompletion(port, key, 0, nullptr));
  for (int expected : {2, 2, 1}) {
    ASSERT_EQ(platform::WaitForCompletions(port, c, 2, 5000, &n, &error), platform::WaitStatus::Ready);
    EXPECT_EQ(n, expected);
  }
  EXPECT_TRUE(Quiet());
}

}  // namespace
}  // namespace porttest
