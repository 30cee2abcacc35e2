// Datagram transfers: send-to, and receive-from at once and pending, with the
// source address written into the caller's storage.
#include <cstring>
#include <string>

#include "net/socket_address.h"
#include "port/port_fixture.h"

namespace porttest {
namespace {

class DatagramTest : public PortTest {
 protected:
  void SetUp() override {
    PortTest::SetUp();
    a = Attached(Bound(kDatagram));
    b = Attached(Bound(kDatagram));
  }
  void SendToB(const std::string& text) {
    Address to = Loopback(LocalPort(b));
    auto length = static_cast<std::uint32_t>(text.size());
    platform::IoResult r = platform::StartSendTo(a, Prepare(out, writeTag), text.data(), length, to.bytes, to.length);
    ASSERT_NE(r.status, platform::IoStatus::Failed) << r.error;
  }
  platform::IoResult ReceiveOnB() {
    in.addressLength = sizeof in.address;
    std::memset(in.address, 0, sizeof in.address);
    return platform::StartReceiveFrom(b, Prepare(in, readTag), in.buffer, sizeof in.buffer, in.address,
                                      &in.addressLength);
  }
  // Both transfers report once: the send on a, the receipt on b.
  void ExpectSentAndReceived(std::uint32_t bytes) {
    auto got = Collect(2);
    ASSERT_EQ(got.size(), 2u);
    if (got[0].record != &out.record) std::swap(got[0], got[1]);
    EXPECT_EQ(got[0].record, &out.record);
    EXPECT_EQ(got[0].key, a);
    EXPECT_EQ(got[0].bytes, bytes);
    EXPECT_EQ(got[1].record, &in.record);
    EXPECT_EQ(got[1].key, b);
    EXPECT_EQ(got[1].bytes, bytes);
    EXPECT_EQ(lattice::AddressPort(in.address), LocalPort(a));
    EXPECT_EQ(in.addressLength, Loopback(0).length);
    EXPECT_TRUE(Quiet());
  }
  platform::SocketHandle a = platform::kInvalidSocket;
  platform::SocketHandle b = platform::kInvalidSocket;
};

// A zero-length datagram is a receipt like any other, not an end of stream.
TEST_F(DatagramTest, ReceiveFromAtOnceReportsOnceWithTheSource) {
  for (std::string text : {"ping", ""}) {
    SCOPED_TRACE(text.size());
    SendToB(text);
    ASSERT_TRUE(WaitReadable(b, 5000));
    platform::IoResult r = ReceiveOnB();
    ASSERT_EQ(r.status, platform::IoStatus::CompletedAtOnce) << r.error;
    EXPECT_EQ(r.bytes, text.size());
    EXPECT_EQ(std::string(in.buffer, r.bytes), text);
    ExpectSentAndReceived(static_cast<std::uint32_t>(text.size()));
  }
}

TEST_F(DatagramTest, PendingReceiveFromFillsTheSourceWhenTheDatagramArrives) {
  ASSERT_EQ(ReceiveOnB().status, platform::IoStatus::Pending);
  EXPECT_TRUE(Quiet(100));
  SendToB("datagram");
  ExpectSentAndReceived(8);
  EXPECT_EQ(std::string(in.buffer, 8), "datagram");
}

}  // namespace
}  // namespace porttest
