// Cancelling a transfer, or closing its socket, completes what is outstanding
// with 0 bytes, once, and nothing follows.
#include <algorithm>

#include "port/port_fixture.h"

namespace porttest {
namespace {

TEST_F(PortTest, CancelCompletesPendingReceiveAndSocketStaysUsable) {
  Pair p = Connected();
  ASSERT_EQ(Receive(p.server, in).status, platform::IoStatus::Pending);
  platform::CancelTransfer(p.server, &in.record);
  auto got = Collect(1);
  ASSERT_EQ(got.size(), 1u);
  EXPECT_EQ(got[0].record, &in.record);
  EXPECT_EQ(got[0].bytes, 0u);
  EXPECT_TRUE(Quiet());

  platform::CancelTransfer(p.server, &in.record);  // finished already: harmless
  ASSERT_TRUE(SendAll(p.client, "more", 4));
  ASSERT_NE(Receive(p.server, in).status, platform::IoStatus::Failed);
  got = Collect(1);
  ASSERT_EQ(got.size(), 1u);
  EXPECT_EQ(got[0].bytes, 4u);
  EXPECT_TRUE(Quiet());
}

TEST_F(PortTest, CloseCompletesPendingReceiveAndSendWithZeroBytes) {
  Pair p = Connected();
  ASSERT_TRUE(platform::SetBufferSize(p.server, platform::BufferOption::Send, 4096));
  ASSERT_TRUE(platform::SetBufferSize(p.client, platform::BufferOption::Receive, 4096));
  ASSERT_EQ(Receive(p.server, in).status, platform::IoStatus::Pending);
  // The client never reads, so sends back up until one stays pending.
  bulk.assign(1 << 20, 'x');
  std::size_t atOnce = 0;
  platform::IoResult r;
  while (atOnce < 256 && (r = platform::StartSend(p.server, Prepare(out, writeTag), bulk.data(),
                                                  static_cast<std::uint32_t>(bulk.size())))
                                 .status == platform::IoStatus::CompletedAtOnce)
    ++atOnce;
  ASSERT_EQ(r.status, platform::IoStatus::Pending) << r.error;
  EXPECT_EQ(Collect(atOnce).size(), atOnce);
  EXPECT_TRUE(Quiet(100));

  Close(p.server);
  auto got = Collect(2);
  ASSERT_EQ(got.size(), 2u);
  for (const platform::Completion& c : got) {
    EXPECT_EQ(c.key, p.server);
    EXPECT_EQ(c.bytes, 0u);
  }
  EXPECT_EQ(std::count_if(got.begin(), got.end(), [&](auto& c) { return c.record == &in.record; }), 1);
  EXPECT_EQ(std::count_if(got.begin(), got.end(), [&](auto& c) { return c.record == &out.record; }), 1);
  EXPECT_TRUE(Quiet());
}

}  // namespace
}  // namespace porttest
