// A closed connection's abort and a newer connection on the same handle number
// are told apart by their records, never by the key.
#include <cstdio>
#include <string>

#include "port/port_fixture.h"

namespace porttest {
namespace {

TEST_F(PortTest, AbortOfClosedSocketAndNewSocketOnSameHandleAreToldApartByRecord) {
  platform::SocketHandle listening = Listening();
  Client(listening);
  platform::SocketHandle first = Accept(listening);
  ASSERT_EQ(Receive(first, in).status, platform::IoStatus::Pending);
  // The client is made first, so the number freed next goes to the accept.
  platform::SocketHandle secondClient = Client(listening);
  Close(first);
  platform::SocketHandle second = Accept(listening);
  if (second != first) std::printf("note: handle %llu was not reused\n", static_cast<unsigned long long>(first));
  ASSERT_TRUE(SendAll(secondClient, "new!", 4));
  ASSERT_NE(Receive(second, out).status, platform::IoStatus::Failed);

  auto got = Collect(2);
  ASSERT_EQ(got.size(), 2u);
  if (got[0].record != &in.record) std::swap(got[0], got[1]);
  EXPECT_EQ(got[0].record, &in.record);
  EXPECT_EQ(got[0].bytes, 0u);
  EXPECT_EQ(got[1].record, &out.record);
  EXPECT_EQ(got[1].key, second);
  EXPECT_EQ(got[1].bytes, 4u);
  EXPECT_EQ(std::string(out.buffer, 4), "new!");
  EXPECT_TRUE(Quiet());
}

}  // namespace
}  // namespace porttest
