// A completion port with loopback sockets attached to it, and bounded waits.
#pragma once

#include <gtest/gtest.h>

#include <algorithm>
#include <chrono>
#include <cstdlib>
#include <vector>

#include "platform/address_family.h"
#include "platform/io_port.h"
#include "platform/socket_api.h"
#include "port/loopback.h"

namespace porttest {

class Networking : public ::testing::Environment {
  void SetUp() override { platform::StartNetworking(); }
  void TearDown() override { platform::StopNetworking(); }
};
inline const auto* const networking = ::testing::AddGlobalTestEnvironment(new Networking);

// Records and buffers live in the fixture, so a test that fails with a
// transfer outstanding never leaves the system writing into a dead frame.
struct Slot {
  platform::IoRecord record;
  char buffer[2048];
  alignas(8) std::uint8_t address[128];
  std::int32_t addressLength = 128;
};

class PortTest : public ::testing::Test {
 protected:
  using Clock = std::chrono::steady_clock;

  void SetUp() override {
    int error = 0;
    // The test command runs this suite once per backend the system has.
    const char* backend = std::getenv("LATTICE_IO_BACKEND");
    ASSERT_NE(port = platform::CreateIoPort(backend, &error), nullptr) << error;
    if (backend != nullptr) {
      ASSERT_STREQ(platform::IoBackendName(port), backend);
    }
    readTag = platform::CreateIoTag();
    writeTag = platform::CreateIoTag();
    ASSERT_NE(readTag, writeTag);
  }

  void TearDown() override {
    while (!open.empty()) Close(open.back());
    Quiet(100);  // aborted transfers still write their records: let them land
    platform::CloseIoTag(readTag);
    platform::CloseIoTag(writeTag);
    platform::CloseIoPort(port);
  }

  platform::SocketHandle Track(platform::SocketHandle h) {
    EXPECT_NE(h, platform::kInvalidSocket);
    open.push_back(h);
    return h;
  }
  // Handle numbers are reused at once, so each is closed exactly once.
  void Close(platform::SocketHandle h) {
    open.erase(std::remove(open.begin(), open.end(), h), open.end());
    platform::CloseSocket(port, h);
  }
  platform::SocketHandle Attached(platform::SocketHandle h) {
    int error = 0;
    EXPECT_TRUE(platform::AttachSocket(port, h, h, &error)) << error;
    return h;
  }
  platform::SocketHandle Bound(int type) {
    platform::SocketHandle h = Track(platform::CreateSocket(platform::kFamilyInet, type, 0));
    Address any = Loopback(0);
    EXPECT_TRUE(platform::BindSocket(h, any.bytes, any.length)) << platform::LastSocketErrorText();
    return h;
  }
  platform::SocketHandle Listening() {
    platform::SocketHandle h = Bound(kStream);
    EXPECT_TRUE(platform::ListenSocket(h)) << platform::LastSocketErrorText();
    return h;
  }
  platform::SocketHandle Client(platform::SocketHandle listening) { return Track(Connect(LocalPort(listening))); }
  // Accepted through the port layer and attached with its handle as key.
  platform::SocketHandle Accept(platform::SocketHandle listening) {
    Address peer;
    peer.length = sizeof peer.bytes;
    bool outOfResources = false;
    return Attached(Track(platform::AcceptConnection(listening, peer.bytes, &peer.length, &outOfResources)));
  }
  struct Pair {
    platform::SocketHandle server, client;
  };
  Pair Connected() {
    platform::SocketHandle listening = Listening();
    platform::SocketHandle client = Client(listening);
    return {Accept(listening), client};
  }

  platform::IoRecord* Prepare(Slot& s, platform::IoTag tag) {
    platform::PrepareRecord(&s.record, tag, &s);
    return &s.record;
  }
  platform::IoResult Receive(platform::SocketHandle h, Slot& s) {
    return platform::StartReceive(port, h, Prepare(s, readTag), s.buffer, sizeof s.buffer);
  }

  // Exactly one completion arrives, with this record, byte count and key,
  // and nothing follows it.
  void ExpectOne(platform::IoRecord* record, std::uint32_t bytes, platform::SocketHandle key) {
    auto got = Collect(1);
    ASSERT_EQ(got.size(), 1u);
    EXPECT_EQ(got[0].record, record);
    EXPECT_EQ(got[0].bytes, bytes);
    EXPECT_EQ(got[0].key, key);
    EXPECT_TRUE(Quiet(100));
  }

  // Completions until `count` have arrived or `ms` have passed; extras taken
  // in the same batches are kept, so a test sees them.
  std::vector<platform::Completion> Collect(std::size_t count, int ms = 10000) {
    std::vector<platform::Completion> got;
    const auto deadline = Clock::now() + std::chrono::milliseconds(ms);
    using enum platform::WaitStatus;
    for (auto status = Ready; got.size() < count && Clock::now() < deadline && (status == Ready || status == TimedOut);) {
      platform::Completion batch[16];
      const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(deadline - Clock::now()).count();
      int n = 0, error = 0;
      status = platform::WaitForCompletions(port, batch, 16, static_cast<int>(std::clamp<long long>(left, 0, 200)), &n,
                                            &error);
      EXPECT_NE(status, Failed) << error;
      got.insert(got.end(), batch, batch + n);
    }
    return got;
  }
  std::vector<platform::Completion> CollectFor(int ms) { return Collect(SIZE_MAX, ms); }
  // True when nothing completes for the whole period (a backend may return
  // early with nothing, so the period is waited out).
  bool Quiet(int ms = 300) { return Collect(1, ms).empty(); }

  platform::IoPort* port = nullptr;
  platform::IoTag readTag{};
  platform::IoTag writeTag{};
  Slot slots[2];
  Slot& in = slots[0];
  Slot& out = slots[1];
  std::vector<char> bulk;

 private:
  std::vector<platform::SocketHandle> open;
};

}  // namespace porttest
