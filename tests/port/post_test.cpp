// Notifications posted from any thread wake the waiting thread and arrive
// exactly once, with what was posted.
#include <set>
#include <thread>

#include "port/port_fixture.h"

namespace porttest {
namespace {

TEST_F(PortTest, PostFromAnotherThreadWakesTheWait) {
  std::thread poster([this] {
    std::this_thread::sleep_for(std::chrono::milliseconds(100));  // lets the wait block first
    platform::PostCompletion(port, 77, 1234, Prepare(out, writeTag));
  });
  platform::Completion c[4];
  int n = 0;
  int error = 0;
  platform::WaitStatus status = platform::WaitForCompletions(port, c, 4, 20000, &n, &error);
  poster.join();
  ASSERT_EQ(status, platform::WaitStatus::Ready);
  ASSERT_EQ(n, 1);
  EXPECT_EQ(c[0].key, 77u);
  EXPECT_EQ(c[0].record, &out.record);
  EXPECT_EQ(c[0].bytes, 1234u);
}

TEST_F(PortTest, ManyPostsFromSeveralThreadsArriveExactlyOnce) {
  constexpr std::uintptr_t kThreads = 4;
  constexpr std::uintptr_t kEach = 2000;
  std::vector<std::thread> posters;
  for (std::uintptr_t t = 1; t <= kThreads; ++t) {
    posters.emplace_back([this, t] {
      for (std::uintptr_t i = 0; i < kEach; ++i)
        EXPECT_TRUE(platform::PostCompletion(port, t << 16 | i, static_cast<std::uint32_t>(i), nullptr));
    });
  }
  auto got = Collect(kThreads * kEach);
  for (std::thread& p : posters) p.join();
  std::set<std::uintptr_t> keys;
  for (const platform::Completion& c : got) {
    EXPECT_TRUE(keys.insert(c.key).second) << "twice: " << c.key;
    EXPECT_EQ(c.bytes, c.key & 0xFFFF);
    EXPECT_EQ(c.record, nullptr);
  }
  EXPECT_EQ(keys.size(), kThreads * kEach);
  EXPECT_TRUE(Quiet());
}

}  // namespace
}  // namespace porttest
