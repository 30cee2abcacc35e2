// The tracker's UDP socket and a client libutp context joined in memory:
// Pump carries the datagrams both ways, never from inside a library callback.
#pragma once

#include <algorithm>
#include <cstring>
#include <memory>
#include <string>
#include <vector>

#include "net/io_port_context.h"
#include "net/udp_socket.h"
#include "net/utp_binding.h"
#include "platform/io_port.h"
#include "utp.h"

namespace lattice::test {

inline sockaddr_in Loopback(std::uint16_t port) {
  sockaddr_in a{};
  a.sin_family = AF_INET;
  a.sin_port = htons(port);
  a.sin_addr.s_addr = htonl(0x7F000001);
  return a;
}

struct UtpStream {
  utp_socket* sock = nullptr;  // null once the client library destroyed it
  std::string received;
  bool reset = false;
};

class UtpLink {
 public:
  explicit UtpLink(Tracker& trackerState, std::int32_t mtu = 0) : context(trackerState) {
    context.readTag = platform::CreateIoTag();
    context.writeTag = platform::CreateIoTag();
    context.mtu = mtu;
    tracker = std::make_unique<UdpSocket>(kNoHandle, &context);
    utp_context_set_userdata(client, this);
    utp_set_callback(client, UTP_SENDTO, [](utp_callback_arguments* a) -> uint64 {
      auto* link = static_cast<UtpLink*>(utp_context_get_userdata(a->context));
      std::string d(reinterpret_cast<const char*>(a->buf), a->len);
      if (link->flipIndex >= 0 && !d.empty()) d[static_cast<std::size_t>(link->flipIndex) % d.size()] ^= link->flipMask;
      link->flipIndex = -1;
      link->toTracker.push_back(std::move(d));
      return 0;
    });
    utp_set_callback(client, UTP_ON_READ, [](utp_callback_arguments* a) -> uint64 {
      static_cast<UtpStream*>(utp_get_userdata(a->socket))->received.append(reinterpret_cast<const char*>(a->buf), a->len);
      utp_read_drained(a->socket);
      return 0;
    });
    utp_set_callback(client, UTP_ON_STATE_CHANGE, [](utp_callback_arguments* a) -> uint64 {
      if (a->state == UTP_STATE_DESTROYING) static_cast<UtpStream*>(utp_get_userdata(a->socket))->sock = nullptr;
      return 0;
    });
    utp_set_callback(client, UTP_ON_ERROR, [](utp_callback_arguments* a) -> uint64 {
      static_cast<UtpStream*>(utp_get_userdata(a->socket))->reset = true;
      return 0;
    });
  }
  ~UtpLink() {
    utp_destroy(client);
    for (Socket* s : context.sockets) s->Close();
    tracker.reset();
    context.sockets.SweepSockets(0);
    platform::CloseIoTag(context.readTag);
    platform::CloseIoTag(context.writeTag);
  }

  UtpStream& Connect(std::uint16_t port) {
    streams.push_back(std::make_unique<UtpStream>());
    UtpStream& s = *streams.back();
    utp_set_userdata(s.sock = utp_create_socket(client), &s);
    const sockaddr_in server = Loopback(3000);
    utp_connect(s.sock, reinterpret_cast<const sockaddr*>(&server), sizeof server);
    Pump(port);
    return s;
  }

  // Through the receive completion, as the loop delivers a datagram.
  void Deliver(const void* data, std::size_t size, std::uint16_t fromPort) {
    size = std::min<std::size_t>(size, UdpSocket::kBufferSize);
    std::memcpy(tracker->recvBuffer, data, size);
    const sockaddr_in from = Loopback(fromPort);
    std::memcpy(tracker->sourceAddress, &from, sizeof from);
    tracker->sourceAddressLength = sizeof from;
    tracker->OnReceiveCompleted(static_cast<std::uint32_t>(size));
  }

  // Carries datagrams both ways, the client's as coming from `port`, until
  // both sides fall quiet; the tracker's timers run on each round when asked.
  void Pump(std::uint16_t port, bool timers = true) {
    const sockaddr_in server = Loopback(3000);
    for (int round = 0; round < 200; ++round) {
      const bool moved = !toTracker.empty() || !tracker->sends.chunks.empty();
      for (; !tracker->sends.chunks.empty(); tracker->sends.chunks.pop_front()) {
        Chunk* chunk = tracker->sends.chunks.front();
        largestDatagram = std::max<std::size_t>(largestDatagram, chunk->length);
        utp_process_udp(client, chunk->Data(), chunk->length, reinterpret_cast<const sockaddr*>(&server), sizeof server);
        FreeChunk(chunk);
      }
      for (const std::string& d : std::exchange(toTracker, {})) Deliver(d.data(), d.size(), port);
      context.sockets.FlushWantedSends();  // as the loop does after each batch
      if (timers) RunUtpTimers(*tracker);
      utp_issue_deferred_acks(client);
      if (!moved && toTracker.empty()) return;
    }
  }

  IoPortContext context;
  std::unique_ptr<UdpSocket> tracker;
  utp_context* client = utp_init(2);
  std::vector<std::unique_ptr<UtpStream>> streams;
  std::vector<std::string> toTracker;
  std::size_t largestDatagram = 0;
  int flipIndex = -1;  // the client's next datagram gets this byte xor-ed with flipMask
  std::uint8_t flipMask = 0;
};

}  // namespace lattice::test
