#include <gtest/gtest.h>

#include "log/loop_clock.h"
#include "net/socket_list.h"

namespace lattice {
namespace {

// A connection whose transfers in flight the test controls; counts its fate.
class SweepProbe : public Socket {
 public:
  SweepProbe(std::uintptr_t h, int* destroyed) : Socket(h), destroyed(destroyed) { SocketList().push_back(this); }
  ~SweepProbe() override { ++*destroyed; }
  int Kind() const override { return Tcp; }
  void Close() override { closed = true; }
  std::uint32_t TransfersInFlight() const override { return inFlight; }
  std::uint32_t inFlight = 0;
  int* destroyed;
};

TEST(SocketSweep, ExpiresAfterMoreThanThirtySecondsAndKeepsObjectsWithTransfersInFlight) {
  ASSERT_TRUE(SocketList().empty());
  int destroyed = 0;
  SetLoopClock(1000);
  auto* idle = new SweepProbe(7, &destroyed);
  auto* busy = new SweepProbe(8, &destroyed);
  busy->inFlight = 1;
  auto* fresh = new SweepProbe(9, &destroyed);
  fresh->lastActivity = 1010;

  SweepSockets(1030);  // exactly 30 seconds: not expired
  EXPECT_EQ(SocketList().size(), 3u);
  EXPECT_FALSE(idle->closed);

  SweepSockets(1031);
  EXPECT_EQ(destroyed, 1);  // idle: closed and destroyed by the same sweep
  EXPECT_TRUE(busy->closed);
  EXPECT_FALSE(fresh->closed);

  busy->inFlight = 0;  // its cancelled transfer has reported
  SweepSockets(1032);
  EXPECT_EQ(destroyed, 2);
  fresh->closed = true;
  SweepSockets(1033);
  EXPECT_EQ(destroyed, 3);
  EXPECT_TRUE(SocketList().empty());
}

}  // namespace
}  // namespace lattice
