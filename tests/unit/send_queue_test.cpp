#include <gtest/gtest.h>

#include <cstdio>
#include <cstring>
#include <string>
#include <vector>

#include "log/log.h"
#include "net/io_port_context.h"
#include "net/send_queue.h"
#include "net/udp_socket.h"

namespace lattice {
namespace {

// A scripted datagram sender: each call takes the next outcome.
struct SendScript {
  std::vector<platform::IoResult> outcomes;
  std::vector<std::string> sent;
  std::size_t next = 0;
};
SendScript* script = nullptr;

platform::IoResult ScriptedSend(platform::SocketHandle, platform::IoRecord*, const void* data, std::uint32_t length,
                                const void*, std::int32_t) {
  script->sent.emplace_back(static_cast<const char*>(data), length);
  if (script->next < script->outcomes.size()) return script->outcomes[script->next++];
  return {platform::IoStatus::Pending, 0, 0};
}

platform::IoResult AtOnce(std::uint32_t bytes) { return {platform::IoStatus::CompletedAtOnce, bytes, 0}; }
platform::IoResult Pending() { return {platform::IoStatus::Pending, 0, 0}; }
platform::IoResult Fails(int error) { return {platform::IoStatus::Failed, 0, error}; }

class SendQueueTest : public ::testing::Test {
 protected:
  void SetUp() override {
    script = &steps;
    log = std::tmpfile();
    SetLogStreamForTesting(log);
    socket.sender = ScriptedSend;
  }
  void TearDown() override {
    SetLogStreamForTesting(nullptr);
    std::fclose(log);
    script = nullptr;
  }
  void Enqueue(const std::string& payload, std::uint32_t addressLength = 16) {
    std::uint8_t address[256] = {2};
    EnqueueChunk(socket, payload.data(), payload.size(), address, addressLength);
  }
  std::string Logged() {
    std::fflush(log);
    std::rewind(log);
    std::string text;
    char buffer[512];
    while (std::fgets(buffer, sizeof buffer, log) != nullptr) text += buffer;
    return text;
  }

  SendScript steps;
  IoPortContext context;
  UdpSocket socket{123, &context};
  std::FILE* log = nullptr;
};

TEST_F(SendQueueTest, AddressLengthLimitsAndEmptyDatagrams) {
  Enqueue("a", 128);
  Enqueue("b", 129);
  Enqueue("c", 0xFFFFFFFFu);  // negative as a signed length
  Enqueue("", 16);
  Enqueue("d", 0);
  ASSERT_EQ(socket.sendQueue.size(), 1u);
  EXPECT_EQ(socket.sendQueue.front()->addressLength, 128u);
  std::string logged = Logged();
  EXPECT_NE(logged.find(" EnqueueChunk() addrLen is too large: 129 (max allowed 128)\n"), std::string::npos) << logged;
  EXPECT_NE(logged.find(" EnqueueChunk() addrLen is too large: 4294967295 (max allowed 128)\n"), std::string::npos);
  // Empty data or address is ignored without a word.
  EXPECT_EQ(std::count(logged.begin(), logged.end(), '\n'), 2);
}

TEST_F(SendQueueTest, ImmediateSendsChainInOrderAndTheirNotificationsAreSkipped) {
  Enqueue("one");
  Enqueue("two");
  Enqueue("three");
  steps.outcomes = {AtOnce(3), AtOnce(3), Pending()};
  EXPECT_EQ(FlushSendQueue(socket), 1u);
  EXPECT_EQ(steps.sent, (std::vector<std::string>{"one", "two", "three"}));
  EXPECT_TRUE(socket.sendPending);
  EXPECT_EQ(socket.sendEarlyCount, 2u);

  // While a send is outstanding nothing else starts.
  Enqueue("four");
  EXPECT_EQ(FlushSendQueue(socket), 2u);
  EXPECT_EQ(steps.sent.size(), 3u);

  // The two early notifications only lower the count; the third completes "three".
  OnSendCompleted(socket, 3);
  OnSendCompleted(socket, 3);
  EXPECT_EQ(socket.sendQueue.size(), 2u);
  EXPECT_TRUE(socket.sendPending);
  OnSendCompleted(socket, 5);
  EXPECT_FALSE(socket.sendPending);
  ASSERT_EQ(socket.sendQueue.size(), 1u);
  EXPECT_EQ(std::string(reinterpret_cast<char*>(socket.sendQueue.front()->Data()), 4), "four");
}

TEST_F(SendQueueTest, PartialSendResumesFromTheSentOffset) {
  Enqueue("abcdef");
  steps.outcomes = {AtOnce(2), AtOnce(4)};
  EXPECT_EQ(FlushSendQueue(socket), 0u);
  EXPECT_EQ(steps.sent, (std::vector<std::string>{"abcdef", "cdef"}));
}

TEST_F(SendQueueTest, FailedSendDropsOneDatagramAndLeavesTheRestForTheNextPass) {
  Enqueue("first");
  Enqueue("second");
  steps.outcomes = {Fails(10065)};
  EXPECT_EQ(FlushSendQueue(socket), 1u);
  // Nothing in flight: the loop must wake itself to send what is left.
  EXPECT_FALSE(socket.sendPending);
  EXPECT_NE(Logged().find(" WSASendTo() failed (10065)\n"), std::string::npos);
  steps.outcomes.push_back(AtOnce(6));
  EXPECT_EQ(FlushSendQueue(socket), 0u);
  EXPECT_EQ(steps.sent.back(), "second");
}

TEST_F(SendQueueTest, ZeroByteCompletionDropsTheFrontChunk) {
  Enqueue("lost");
  Enqueue("kept");
  steps.outcomes = {Pending()};
  FlushSendQueue(socket);
  OnSendCompleted(socket, 0);
  ASSERT_EQ(socket.sendQueue.size(), 1u);
  EXPECT_EQ(std::string(reinterpret_cast<char*>(socket.sendQueue.front()->Data()), 4), "kept");
}

}  // namespace
}  // namespace lattice
