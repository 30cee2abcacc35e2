// A receive with nothing to read stays outstanding and completes when data
// arrives, again and again on the same record.
#include <string>

#include "port/port_fixture.h"

namespace porttest {
namespace {

TEST_F(PortTest, PendingReceiveCompletesWhenDataArrives) {
  Pair p = Connected();
  for (std::string text : {"one", "second", "third!!"}) {
    SCOPED_TRACE(text);
    platform::IoResult r = Receive(p.server, in);
    ASSERT_EQ(r.status, platform::IoStatus::Pending) << r.error;
    EXPECT_TRUE(Quiet(100));
    ASSERT_TRUE(SendAll(p.client, text.data(), static_cast<int>(text.size())));
    auto got = Collect(1);
    ASSERT_EQ(got.size(), 1u);
    EXPECT_EQ(got[0].key, p.server);
    EXPECT_EQ(got[0].record, &in.record);
    ASSERT_EQ(got[0].bytes, text.size());
    EXPECT_EQ(std::string(in.buffer, got[0].bytes), text);
  }
  EXPECT_TRUE(Quiet());
}

}  // namespace
}  // namespace porttest
