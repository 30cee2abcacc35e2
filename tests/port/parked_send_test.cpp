// A send that finds the socket buffer full waits for the peer and then
// reports once; a port that never resumed parked sends would stall every
// client that reads slowly.
#include <string>

#include "port/port_fixture.h"

namespace porttest {
namespace {

TEST_F(PortTest, SendOnAFullBufferWaitsForThePeerThenReportsOnce) {
  Pair p = Connected();
  platform::LimitConnectionBuffers(p.server, 4096);
  bulk.assign(256 * 1024, 'x');
  const auto size = static_cast<std::uint32_t>(bulk.size());
  // Sends that complete at once fill the buffers; then one has to wait.
  platform::IoResult r;
  std::size_t sent = 0;
  for (int i = 0; i < 4096; ++i) {
    r = platform::StartSend(p.server, Prepare(out, writeTag), bulk.data(), size);
    ASSERT_NE(r.status, platform::IoStatus::Failed) << r.error;
    if (r.status == platform::IoStatus::Pending) break;
    auto got = Collect(1);
    ASSERT_EQ(got.size(), 1u);
    sent += got[0].bytes;
  }
  ASSERT_EQ(r.status, platform::IoStatus::Pending);

  // The peer reads; as the buffers drain the waiting send goes on.
  std::size_t received = 0;
  std::vector<platform::Completion> got = CollectFor(50);
  for (int i = 0; i < 400 && got.empty(); ++i) {
    received += ReceiveSome(p.client, 20).size();
    got = CollectFor(5);
  }
  ASSERT_EQ(got.size(), 1u);
  EXPECT_EQ(got[0].record, &out.record);
  EXPECT_GT(got[0].bytes, 0u);
  EXPECT_LE(got[0].bytes, size);
  sent += got[0].bytes;
  while (received < sent) {
    std::string more = ReceiveSome(p.client, 2000);
    ASSERT_FALSE(more.empty()) << received << " of " << sent;
    received += more.size();
  }
  EXPECT_EQ(received, sent);
  EXPECT_TRUE(Quiet());
}

}  // namespace
}  // namespace porttest
