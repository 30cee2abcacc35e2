// A transfer that finishes inside the call that starts it still reports
// exactly one completion through the port, with its key, record and bytes.
#include <string>

#include "port/port_fixture.h"

namespace porttest {
namespace {

TEST_F(PortTest, ReceiveAndEndOfStreamThatCompleteAtOnceReportOnce) {
  Pair p = Connected();
  ASSERT_TRUE(SendAll(p.client, "hello", 5));
  ASSERT_TRUE(WaitReadable(p.server, 5000));
  platform::IoResult r = Receive(p.server, in);
  ASSERT_EQ(r.status, platform::IoStatus::CompletedAtOnce) << r.error;
  EXPECT_EQ(r.bytes, 5u);
  EXPECT_EQ(std::string(in.buffer, 5), "hello");
  auto got = Collect(1);
  ASSERT_EQ(got.size(), 1u);
  EXPECT_EQ(got[0].key, p.server);
  EXPECT_EQ(got[0].record, &in.record);
  EXPECT_EQ(got[0].bytes, 5u);
  EXPECT_EQ(platform::TagOf(got[0].record), readTag);
  EXPECT_EQ(platform::OwnerOf(got[0].record), &in);
  EXPECT_TRUE(Quiet());

  // The tracker closes at once on an immediate end of stream, and still
  // counts on the completion that follows to know the record is free.
  Close(p.client);
  ASSERT_TRUE(WaitReadable(p.server, 5000));
  r = Receive(p.server, in);
  ASSERT_EQ(r.status, platform::IoStatus::CompletedAtOnce) << r.error;
  EXPECT_EQ(r.bytes, 0u);
  got = Collect(1);
  ASSERT_EQ(got.size(), 1u);
  EXPECT_EQ(got[0].record, &in.record);
  EXPECT_EQ(got[0].bytes, 0u);
  EXPECT_TRUE(Quiet());
}

// Whether the send finishes at once or later, it reports once.
TEST_F(PortTest, SendReportsOnceWithItsByteCount) {
  Pair p = Connected();
  platform::IoResult r = platform::StartSend(p.server, Prepare(out, writeTag), "greetings", 9);
  ASSERT_NE(r.status, platform::IoStatus::Failed) << r.error;
  auto got = Collect(1);
  ASSERT_EQ(got.size(), 1u);
  EXPECT_EQ(got[0].key, p.server);
  EXPECT_EQ(got[0].record, &out.record);
  EXPECT_EQ(got[0].bytes, 9u);
  EXPECT_EQ(platform::TagOf(got[0].record), writeTag);
  EXPECT_EQ(ReceiveSome(p.client, 5000), "greetings");
  EXPECT_TRUE(Quiet());
}

}  // namespace
}  // namespace porttest
