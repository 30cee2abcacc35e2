#include <gtest/gtest.h>

#include <string>

#include "fake_socket.h"

namespace lattice::test {
namespace {

class FrameMessagesTest : public TrackerTest {
 protected:
  const std::string share = Sid(7);
  const std::string addr = V4(10, 0, 0, 1, 1000);
  FakeSocket socket{Tcp};

  void SetUp() override {
    TrackerTest::SetUp();
    socket.SetAddress(addr);
  }
  std::string Request(unsigned peer) { return Framed({.peer = Pid(peer), .share = share}); }
  std::string Inbound() const { return std::string(socket.inbound.begin(), socket.inbound.end()); }
};

TEST_F(FrameMessagesTest, MessageDeliveredByteByByteIsHandledOnlyWhenComplete) {
  const std::string message = Request(1);
  for (std::size_t i = 0; i + 1 < message.size(); ++i) {
    socket.Receive(message.substr(i, 1));
    ASSERT_TRUE(FrameMessages(socket));
    ASSERT_EQ(socket.inbound.size(), i + 1);
    ASSERT_EQ(socket.outbound.count, 0u);
  }
  EXPECT_EQ(trackerStats.getPeersTotal[Tcp], 0u);
  socket.Receive(message.substr(message.size() - 1));
  ASSERT_TRUE(FrameMessages(socket));
  EXPECT_TRUE(socket.inbound.empty());
  EXPECT_EQ(socket.TakeOutbound(), PeersMessage({}, share));
  EXPECT_EQ(trackerStats.getPeersTotal[Tcp], 1u);
  EXPECT_EQ(trackerStats.peersSentTotal[Tcp], 1u);
  EXPECT_EQ(trackerStats.peersSentPeriod[Tcp], 1u);
}

TEST_F(FrameMessagesTest, MessagesOfOneReadAreHandledInArrivalOrder) {
  // Two ids on one connection: the second request sees the first registered,
  // so its introduction lands on this same connection before its reply.
  socket.Receive(Request(1) + Request(2) + Request(1).substr(0, 7));
  ASSERT_TRUE(FrameMessages(socket));
  const Entry one{.id = Pid(1), .a = addr, .listed = true, .tcp = {addr}};
  const Entry two{.id = Pid(2), .a = addr, .listed = true, .tcp = {addr}};
  EXPECT_EQ(socket.TakeOutbound(), PeersMessage({}, share) + PeersMessage({two}, share) + PeersMessage({one}, share));
  EXPECT_EQ(Inbound(), Request(1).substr(0, 7));  // the partial third stays at the front
  EXPECT_EQ(trackerStats.getPeersTotal[Tcp], 2u);
  EXPECT_EQ(trackerStats.peersSentTotal[Tcp], 3u);  // two replies and one introduction
}

TEST_F(FrameMessagesTest, EmptyMessageWaitsForOneMoreByteAndRejectedMessagesAreConsumed) {
  socket.Receive(std::string(4, '\0'));
  ASSERT_TRUE(FrameMessages(socket));
  EXPECT_EQ(socket.inbound.size(), 4u);

  const std::string next = Request(1);
  socket.Receive(next.substr(0, 1));
  ASSERT_TRUE(FrameMessages(socket));
  EXPECT_EQ(Inbound(), next.substr(0, 1));  // the empty message is gone, silently

  socket.Receive(next.substr(1) + Frame("dx") + Frame("de"));
  ASSERT_TRUE(FrameMessages(socket));
  EXPECT_TRUE(socket.inbound.empty());
  EXPECT_EQ(socket.TakeOutbound(), PeersMessage({}, share));
  EXPECT_EQ(trackerStats.getPeersTotal[Tcp], 1u);
  EXPECT_EQ(trackerStats.peersSentTotal[Tcp], 1u);
}

TEST_F(FrameMessagesTest, DeclaredBodyAboveTheLimitAsksForClose) {
  auto prefix = [](std::uint32_t n) {
    return std::string{static_cast<char>(n >> 24), static_cast<char>(n >> 16), static_cast<char>(n >> 8),
                       static_cast<char>(n)};
  };
  // Messages before the oversized one are still answered.
  socket.Receive(Request(1) + prefix(kMaxMessageBody + 1) + "d");
  EXPECT_FALSE(FrameMessages(socket));
  EXPECT_EQ(socket.TakeOutbound(), PeersMessage({}, share));

  FakeSocket huge;
  huge.Receive(prefix(0xFFFFFFFFu) + "d");
  EXPECT_FALSE(FrameMessages(huge));

  FakeSocket limit;
  limit.Receive(prefix(kMaxMessageBody) + "d");
  EXPECT_TRUE(FrameMessages(limit));
  EXPECT_EQ(limit.inbound.size(), 5u);  // waits for the rest
  limit.Receive(std::string(kMaxMessageBody - 1, 'x'));
  EXPECT_TRUE(FrameMessages(limit));
  EXPECT_TRUE(limit.inbound.empty());
  EXPECT_EQ(limit.outbound.count, 0u);
}

TEST_F(FrameMessagesTest, ReplyThatDoesNotFitIsHeldAndLaterRequestsWaitBehindIt) {
  const std::string filler(8190, 'f');
  ASSERT_EQ(socket.outbound.Write(filler.data(), filler.size()), filler.size());
  socket.Receive(Request(1) + Request(2));
  ASSERT_TRUE(FrameMessages(socket));
  EXPECT_TRUE(InputPaused(socket));
  EXPECT_EQ(Inbound(), Request(2));  // not handled while the reply waits
  EXPECT_EQ(trackerStats.getPeersTotal[Tcp], 1u);
  EXPECT_EQ(trackerStats.peersSentTotal[Tcp], 0u);  // counted once it is queued
  EXPECT_FALSE(ReleaseHeldReply(socket));

  socket.outbound.Consume(filler.size());
  ASSERT_TRUE(ReleaseHeldReply(socket));
  EXPECT_FALSE(InputPaused(socket));
  ASSERT_TRUE(FrameMessages(socket));
  const Entry one{.id = Pid(1), .a = addr, .listed = true, .tcp = {addr}};
  const Entry two{.id = Pid(2), .a = addr, .listed = true, .tcp = {addr}};
  EXPECT_EQ(socket.TakeOutbound(), PeersMessage({}, share) + PeersMessage({two}, share) + PeersMessage({one}, share));
  EXPECT_EQ(trackerStats.peersSentTotal[Tcp], 3u);

  FakeSocket utp(Utp);
  utp.Receive(Request(3));
  ASSERT_TRUE(FrameMessages(utp));
  EXPECT_EQ(trackerStats.getPeersTotal[Utp], 1u);
  EXPECT_EQ(trackerStats.peersSentTotal[Utp], 1u);
  EXPECT_EQ(trackerStats.getPeersTotal[Udp], 0u);
}

}  // namespace
}  // namespace lattice::test
