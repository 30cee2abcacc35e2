// Posted notifications, waits, and datagram transfers through the port.
#include <cstring>
#include <set>
#include <chrono>
#include <string>
#include <thread>

#include "net/socket_address.h"
#include "port/port_fixture.h"

namespace porttest {
namespace {

// Notifications posted from any thread wake the waiting thread and arrive
// exactly once, with what was posted.
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

// A wait with nothing to do times out; a wait hands out at most its batch and
// leaves the rest queued for the next one.
TEST_F(PortTest, WaitTimesOutWithNothingToDoAndHandsOutAtMostItsBatch) {
  Pair p = Connected();
  ASSERT_EQ(Receive(p.server, in).status, platform::IoStatus::Pending);
  platform::Completion c[2];
  int n = -1;
  int error = 0;
  EXPECT_EQ(platform::WaitForCompletions(port, c, 2, 50, &n, &error), platform::WaitStatus::TimedOut);
  EXPECT_EQ(n, 0);

  for (std::uintptr_t key = 1; key <= 5; ++key) ASSERT_TRUE(platform::PostCompletion(port, key, 0, nullptr));
  // Completions already queued are handed out without waiting for the time-out.
  const auto begun = std::chrono::steady_clock::now();
  for (int expected : {2, 2, 1}) {
    ASSERT_EQ(platform::WaitForCompletions(port, c, 2, 5000, &n, &error), platform::WaitStatus::Ready);
    EXPECT_EQ(n, expected);
  }
  EXPECT_LT(std::chrono::steady_clock::now() - begun, std::chrono::seconds(4));
  EXPECT_TRUE(Quiet());
}

// Datagram transfers: send-to, and receive-from at once and pending, with the
// source address written into the caller's storage.
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
    platform::IoResult r =
        platform::StartSendTo(port, a, Prepare(out, writeTag), text.data(), length, to.bytes, to.length);
    ASSERT_NE(r.status, platform::IoStatus::Failed) << r.error;
  }
  platform::IoResult ReceiveOnB() {
    in.addressLength = sizeof in.address;
    std::memset(in.address, 0, sizeof in.address);
    return platform::StartReceiveFrom(port, b, Prepare(in, readTag), in.buffer, sizeof in.buffer, in.address,
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

// Batches leave in order and arrive whole with their sources; they are no
// transfers, so the port reports nothing for them.
TEST_F(DatagramTest, BatchesLeaveAndArriveInOrderWithoutCompletions) {
  Address to = Loopback(LocalPort(b));
  const std::string texts[3] = {"first", "", "third!"};
  platform::DatagramSlot out[3];
  for (int i = 0; i < 3; ++i) {
    out[i].data = const_cast<char*>(texts[i].data());
    out[i].length = static_cast<std::uint32_t>(texts[i].size());
    out[i].address = to.bytes;
    out[i].addressLength = to.length;
  }
  platform::IoResult r = platform::SendDatagrams(port, a, out, 3);
  if (r.status == platform::IoStatus::Pending) GTEST_SKIP() << "no batch calls on this system";
  ASSERT_EQ(r.status, platform::IoStatus::CompletedAtOnce) << r.error;
  ASSERT_EQ(r.bytes, 3u);
  ASSERT_TRUE(WaitReadable(b, 5000));
  char room[4][64];
  Address from[4];
  platform::DatagramSlot got[4];
  for (int i = 0; i < 4; ++i) got[i] = {room[i], sizeof room[i], from[i].bytes, sizeof from[i].bytes};
  r = platform::ReceiveDatagrams(port, b, got, 4);
  ASSERT_EQ(r.status, platform::IoStatus::CompletedAtOnce) << r.error;
  ASSERT_EQ(r.bytes, 3u);
  for (int i = 0; i < 3; ++i) {
    EXPECT_EQ(std::string(room[i], got[i].length), texts[i]);
    EXPECT_FALSE(got[i].truncated);
    EXPECT_EQ(lattice::AddressPort(from[i].bytes), LocalPort(a));
    EXPECT_EQ(got[i].addressLength, Loopback(0).length);
  }
  EXPECT_EQ(platform::ReceiveDatagrams(port, b, got, 4).status, platform::IoStatus::Pending);
  EXPECT_TRUE(Quiet(100));
}

}  // namespace
}  // namespace porttest
