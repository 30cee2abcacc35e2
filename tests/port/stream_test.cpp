// Stream transfers through the completion port: every transfer reports
// exactly once, with its key, record and byte count, however it ends.
#include <algorithm>
#include <cstdio>
#include <string>

#include "port/port_fixture.h"

namespace porttest {
namespace {

// A transfer that finishes inside the call that starts it still reports
// through the port: the tracker counts on that to know the record is free.
TEST_F(PortTest, TransfersThatCompleteAtOnceReportOnce) {
  Pair p = Connected();
  ASSERT_TRUE(SendAll(p.client, "hello", 5));
  ASSERT_TRUE(WaitReadable(p.server, 5000));
  platform::IoResult r = Receive(p.server, in);  // at once, or a moment later
  ASSERT_NE(r.status, platform::IoStatus::Failed) << r.error;
  if (r.status == platform::IoStatus::CompletedAtOnce) {
    EXPECT_EQ(r.bytes, 5u);
  }
  ExpectOne(&in.record, 5, p.server);
  EXPECT_EQ(std::string(in.buffer, 5), "hello");
  EXPECT_EQ(platform::TagOf(&in.record), readTag);
  EXPECT_EQ(platform::OwnerOf(&in.record), &in);

  r = platform::StartSend(port, p.server, Prepare(out, writeTag), "greetings", 9);  // at once or later
  ASSERT_NE(r.status, platform::IoStatus::Failed) << r.error;
  ExpectOne(&out.record, 9, p.server);
  EXPECT_EQ(platform::TagOf(&out.record), writeTag);
  EXPECT_EQ(ReceiveSome(p.client, 5000), "greetings");

  // An end of stream; the receive before it emptied the socket, so a backend
  // may wait for the system to report it rather than ask at once.
  Close(p.client);
  ASSERT_TRUE(WaitReadable(p.server, 5000));
  r = Receive(p.server, in);
  ASSERT_NE(r.status, platform::IoStatus::Failed) << r.error;
  if (r.status == platform::IoStatus::CompletedAtOnce) {
    EXPECT_EQ(r.bytes, 0u);
  }
  ExpectOne(&in.record, 0, p.server);
}

TEST_F(PortTest, PendingReceiveCompletesWhenDataArrivesAgainAndAgain) {
  Pair p = Connected();
  for (std::string text : {"one", "second", "third!!"}) {
    ASSERT_EQ(Receive(p.server, in).status, platform::IoStatus::Pending) << text;
    EXPECT_TRUE(Quiet(100));
    ASSERT_TRUE(SendAll(p.client, text.data(), static_cast<int>(text.size())));
    ExpectOne(&in.record, static_cast<std::uint32_t>(text.size()), p.server);
    EXPECT_EQ(std::string(in.buffer, text.size()), text);
  }
  // More than a buffer and the end of stream, reported while no receive was
  // outstanding: the receive that takes the rest leaves the end to read,
  // with no further event to announce it.
  const std::string tail(sizeof in.buffer + 900, 't');
  ASSERT_TRUE(SendAll(p.client, tail.data(), static_cast<int>(tail.size())));
  Close(p.client);
  EXPECT_TRUE(Quiet(100));
  for (std::uint32_t expected : {std::uint32_t{sizeof in.buffer}, 900u, 0u}) {
    ASSERT_NE(Receive(p.server, in).status, platform::IoStatus::Failed);
    ExpectOne(&in.record, expected, p.server);
  }
}

// An idle connection waits with a zero-length receive, holding no buffer;
// once it reports, what arrived is taken without waiting, however much.
TEST_F(PortTest, WaitForInputReportsEmptyThenReceiveAvailableTakesTheInput) {
  using enum platform::IoStatus;
  Pair p = Connected();
  auto wait = [&] { return platform::StartReceive(port, p.server, Prepare(in, readTag), nullptr, 0); };
  auto take = [&] { return platform::ReceiveAvailable(port, p.server, in.buffer, sizeof in.buffer); };
  // Until the port knows the socket is empty, a wait may end at once.
  platform::IoResult r = wait();
  ASSERT_NE(r.status, Failed) << r.error;
  if (r.status == CompletedAtOnce) {
    ExpectOne(&in.record, 0, p.server);
    EXPECT_EQ(take().status, Pending);
    r = wait();
  }
  ASSERT_EQ(r.status, Pending);
  platform::CancelTransfer(port, p.server, &in.record);
  ExpectOne(&in.record, 0, p.server);
  r = wait();
  for (std::string text : {"one", "second"}) {
    ASSERT_EQ(r.status, Pending) << text;
    EXPECT_TRUE(Quiet(100));
    ASSERT_TRUE(SendAll(p.client, text.data(), static_cast<int>(text.size())));
    ExpectOne(&in.record, 0, p.server);
    r = take();
    ASSERT_EQ(r.status, CompletedAtOnce) << r.error;
    EXPECT_EQ(std::string(in.buffer, r.bytes), text);
    EXPECT_EQ(take().status, Pending);
    r = wait();
  }
  // More than a buffer, then the end of stream: every part is taken, the end
  // too, although the short read before it emptied the socket.
  const std::string tail(sizeof in.buffer + 900, 't');
  ASSERT_TRUE(SendAll(p.client, tail.data(), static_cast<int>(tail.size())));
  Close(p.client);
  ExpectOne(&in.record, 0, p.server);
  std::size_t taken = 0;
  for (int i = 0; i < 16; ++i) {
    r = take();
    if (r.status == Pending) {  // the rest was still on its way
      ASSERT_NE(wait().status, Failed);
      ExpectOne(&in.record, 0, p.server);
      continue;
    }
    ASSERT_EQ(r.status, CompletedAtOnce) << r.error;
    if (r.bytes == 0) break;
    EXPECT_EQ(std::string(in.buffer, r.bytes), tail.substr(taken, r.bytes));
    taken += r.bytes;
  }
  EXPECT_EQ(r.status, CompletedAtOnce);  // the end itself, not a wait that never ends
  EXPECT_EQ(r.bytes, 0u);
  EXPECT_EQ(taken, tail.size());
}

// Input taken where the port holds it comes in order, however it arrived and
// however long nobody read; and what a socket closed with input not taken
// held goes back, so the port's own buffers never run out.
TEST_F(PortTest, InputTakenInPlaceComesInOrderAndItsBuffersComeBack) {
  using enum platform::IoStatus;
  platform::SocketHandle listening = Listening();
  auto wait = [&](platform::SocketHandle h) {
    return platform::StartReceive(port, h, Prepare(in, readTag), nullptr, 0);
  };
  // Takes everything up to the end of stream, waiting whenever the port has
  // nothing; the last pointer handed out tells where the bytes lay.
  const char* lastData = nullptr;
  auto takeAll = [&](platform::SocketHandle h, std::size_t expected) {
    std::string got;
    for (int i = 0; i < 4096 && got.size() <= expected; ++i) {
      const std::uint8_t* data = nullptr;
      const platform::IoResult r = platform::ReceiveInPlace(port, h, in.buffer, sizeof in.buffer, &data);
      if (r.status == Pending) {
        if (wait(h).status == Failed) break;
        ExpectOne(&in.record, 0, h);
        continue;
      }
      if (r.status != CompletedAtOnce || r.bytes == 0) break;
      got.append(reinterpret_cast<const char*>(data), r.bytes);
      lastData = reinterpret_cast<const char*>(data);
      platform::ReleaseReceived(port, h);
    }
    return got;
  };
  // 64 KiB sent while nobody reads, in pieces, then the end of stream.
  platform::SocketHandle client = Client(listening);
  platform::SocketHandle server = Accept(listening);
  ASSERT_NE(wait(server).status, Failed);
  std::string sent;
  for (int i = 0; i < 64; ++i) {
    const std::string piece(1024, static_cast<char>('a' + i % 26));
    ASSERT_TRUE(SendAll(client, piece.data(), static_cast<int>(piece.size())));
    sent += piece;
  }
  Close(client);
  ExpectOne(&in.record, 0, server);
  EXPECT_TRUE(takeAll(server, sent.size()) == sent);
  Close(server);
  // Far more sockets than the port has buffers, each closed with its input
  // reported and not taken.
  for (int i = 0; i < 2500; ++i) {
    client = Client(listening);
    server = Accept(listening);
    ASSERT_NE(wait(server).status, Failed);
    ASSERT_TRUE(SendAll(client, "0123456789", 10));
    const auto got = Collect(1);
    ASSERT_EQ(got.size(), 1u);
    ASSERT_EQ(got[0].record, &in.record);
    Close(server);
    Close(client);
  }
  client = Client(listening);
  server = Accept(listening);
  ASSERT_NE(wait(server).status, Failed);
  ASSERT_TRUE(SendAll(client, "last", 4));
  Close(client);
  ExpectOne(&in.record, 0, server);
  EXPECT_EQ(takeAll(server, 4), "last");
  // Where the port has buffers of its own, the bytes were left in them.
  if (std::string(platform::IoBackendName(port)) == "io_uring") {
    EXPECT_TRUE(lastData < in.buffer || lastData >= in.buffer + sizeof in.buffer);
  }
}

// A port that never resumed parked sends would stall every client that reads slowly.
TEST_F(PortTest, SendOnAFullBufferWaitsForThePeerThenReportsOnce) {
  Pair p = Connected();
  platform::LimitConnectionBuffers(p.server, 4096);
  bulk.assign(256 * 1024, 'x');
  const auto size = static_cast<std::uint32_t>(bulk.size());
  platform::IoResult r;
  std::size_t sent = 0, received = 0;
  for (int i = 0; i < 4096; ++i) {  // sends that complete at once fill the buffers
    r = platform::StartSend(port, p.server, Prepare(out, writeTag), bulk.data(), size);
    ASSERT_NE(r.status, platform::IoStatus::Failed) << r.error;
    if (r.status == platform::IoStatus::Pending) break;
    auto got = Collect(1);
    ASSERT_EQ(got.size(), 1u);
    sent += got[0].bytes;
  }
  ASSERT_EQ(r.status, platform::IoStatus::Pending);
  std::vector<platform::Completion> got = CollectFor(50);
  for (int i = 0; i < 400 && got.empty(); ++i, got = CollectFor(5)) received += ReceiveSome(p.client, 20).size();
  ASSERT_EQ(got.size(), 1u);
  EXPECT_EQ(got[0].record, &out.record);
  EXPECT_GT(got[0].bytes, 0u);
  EXPECT_LE(got[0].bytes, size);
  for (sent += got[0].bytes; received < sent;) {
    std::string more = ReceiveSome(p.client, 2000);
    ASSERT_FALSE(more.empty()) << received << " of " << sent;
    received += more.size();
  }
  EXPECT_EQ(received, sent);
  EXPECT_TRUE(Quiet());
}

// Cancelling a transfer, or closing its socket, completes what is
// outstanding with 0 bytes, once, and nothing follows.
TEST_F(PortTest, CancelOrCloseCompletesOutstandingTransfersWithZeroBytes) {
  Pair p = Connected();
  ASSERT_EQ(Receive(p.server, in).status, platform::IoStatus::Pending);
  platform::CancelTransfer(port, p.server, &in.record);
  ExpectOne(&in.record, 0, p.server);
  platform::CancelTransfer(port, p.server, &in.record);  // finished already: harmless
  ASSERT_TRUE(SendAll(p.client, "more", 4));
  ASSERT_NE(Receive(p.server, in).status, platform::IoStatus::Failed);
  ExpectOne(&in.record, 4, p.server);

  ASSERT_TRUE(platform::SetBufferSize(p.server, platform::BufferOption::Send, 4096));
  ASSERT_TRUE(platform::SetBufferSize(p.client, platform::BufferOption::Receive, 4096));
  ASSERT_EQ(Receive(p.server, in).status, platform::IoStatus::Pending);
  bulk.assign(1 << 20, 'x');  // the client never reads, so a send stays pending
  bool stuck = false;
  for (int i = 0; i < 256 && !stuck; ++i) {
    platform::IoResult r = platform::StartSend(port, p.server, Prepare(out, writeTag), bulk.data(),
                                               static_cast<std::uint32_t>(bulk.size()));
    ASSERT_NE(r.status, platform::IoStatus::Failed) << r.error;
    stuck = Collect(1, 100).empty();
  }
  ASSERT_TRUE(stuck);
  Close(p.server);
  auto got = Collect(2);
  ASSERT_EQ(got.size(), 2u);
  for (const platform::Completion& c : got) EXPECT_TRUE(c.key == p.server && c.bytes == 0);
  EXPECT_NE(got[0].record, got[1].record);
  for (const platform::Completion& c : got) EXPECT_TRUE(c.record == &in.record || c.record == &out.record);
  EXPECT_TRUE(Quiet());
}

// A closed connection's abort and a newer connection on the same handle
// number are told apart by their records, never by the key.
TEST_F(PortTest, AbortOfClosedSocketAndNewSocketOnSameHandleAreToldApartByRecord) {
  platform::SocketHandle listening = Listening();
  Client(listening);
  platform::SocketHandle first = Accept(listening);
  ASSERT_EQ(Receive(first, in).status, platform::IoStatus::Pending);
  platform::SocketHandle secondClient = Client(listening);  // made first, so the freed number goes to the accept
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
