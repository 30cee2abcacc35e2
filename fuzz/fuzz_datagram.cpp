// Datagrams into the tracker's uTP path: the UDP receive completion, the
// library, the binding, framing and the registry. A real client context makes
// the handshake and the requests; the input injects raw datagrams, corrupts
// the client's, and chooses when timers run and connections close.
//
// Input: a sequence of commands, each one byte, with operands after it:
//   0 N BYTES...   raw datagram of N bytes from port P (the next byte, 0 kept)
//   1 I B          flip byte I of the client's next datagram with B
//   2              run the library timers on both sides
//   3              client opens a connection
//   4 K            client writes a get_peers for peer K on its last connection
//   5              client closes its last connection
//   6              sweep: close and destroy what is closed
#include <cstddef>
#include <cstdint>
#include <cstring>
#include <memory>
#include <string>
#include <vector>

#include "log/log.h"
#include "net/io_port_context.h"
#include "net/socket_list.h"
#include "net/udp_socket.h"
#include "net/utp_binding.h"
#include "platform/io_port.h"
#include "tracker/peer_registry.h"
#include "utp.h"

namespace {

using namespace lattice;

sockaddr_in Loopback(std::uint16_t port) {
  sockaddr_in a{};
  a.sin_family = AF_INET;
  a.sin_port = htons(port);
  a.sin_addr.s_addr = htonl(0x7F000001);
  return a;
}

struct Harness {
  IoPortContext context;
  std::unique_ptr<UdpSocket> tracker;
  utp_context* client = nullptr;
  std::vector<std::string> fromClient;
  std::vector<utp_socket*> clientSockets;
  int flipIndex = -1;
  std::uint8_t flipValue = 0;

  Harness() {
    context.readTag = platform::CreateIoTag();
    context.writeTag = platform::CreateIoTag();
    tracker = std::make_unique<UdpSocket>(static_cast<std::uintptr_t>(-1), &context);
    client = utp_init(2);
    utp_context_set_userdata(client, this);
    utp_set_callback(client, UTP_SENDTO, [](utp_callback_arguments* a) -> uint64 {
      auto* h = static_cast<Harness*>(utp_context_get_userdata(a->context));
      std::string d(reinterpret_cast<const char*>(a->buf), a->len);
      if (h->flipIndex >= 0 && !d.empty()) {
        d[static_cast<std::size_t>(h->flipIndex) % d.size()] ^= static_cast<char>(h->flipValue);
        h->flipIndex = -1;
      }
      h->fromClient.push_back(std::move(d));
      return 0;
    });
    utp_set_callback(client, UTP_ON_READ, [](utp_callback_arguments* a) -> uint64 {
      utp_read_drained(a->socket);
      return 0;
    });
  }

  ~Harness() {
    for (Socket* s : SocketList()) s->Close();
    utp_destroy(client);
    tracker.reset();
    SweepSockets(0);
    ResetRegistry();
  }

  // Delivers through the receive completion, as the loop does.
  void Receive(const std::uint8_t* data, std::size_t size, std::uint16_t port) {
    if (size > RecvRecord::kBufferSize) size = RecvRecord::kBufferSize;
    std::memcpy(tracker->recv.buffer, data, size);
    sockaddr_in from = Loopback(port);
    std::memcpy(tracker->recv.sourceAddress, &from, sizeof from);
    tracker->recv.sourceAddressLength = sizeof from;
    tracker->OnReceiveCompleted(static_cast<std::uint32_t>(size));
  }

  void Exchange() {
    for (int round = 0; round < 8; ++round) {
      std::vector<std::string> batch;
      batch.swap(fromClient);
      for (const std::string& d : batch) Receive(reinterpret_cast<const std::uint8_t*>(d.data()), d.size(), 4000);
      sockaddr_in server = Loopback(3000);
      while (!tracker->sendQueue.empty()) {
        Chunk* chunk = tracker->sendQueue.front();
        tracker->sendQueue.pop_front();
        utp_process_udp(client, chunk->Data(), chunk->length, reinterpret_cast<sockaddr*>(&server), sizeof server);
        FreeChunk(chunk);
      }
      utp_issue_deferred_acks(client);
      if (fromClient.empty()) return;
    }
  }
};

std::string GetPeers(std::uint8_t peer) {
  std::string body = "d1:m9:get_peers4:peer20:" + std::string(20, static_cast<char>(peer)) + "5:share20:" +
                     std::string(20, 'S') + "e";
  std::uint32_t n = static_cast<std::uint32_t>(body.size());
  return std::string{static_cast<char>(n >> 24), static_cast<char>(n >> 16), static_cast<char>(n >> 8),
                     static_cast<char>(n)} +
         body;
}

}  // namespace

extern "C" int LLVMFuzzerInitialize(int*, char***) {
  // Every new binding writes a log line; keep the fuzzer's output readable.
  static std::FILE* sink = std::fopen("/dev/null", "w");
  SetLogStreamForTesting(sink);
  return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  Harness h;
  std::size_t i = 0;
  auto next = [&](std::uint8_t fallback = 0) { return i < size ? data[i++] : fallback; };
  while (i < size) {
    switch (next() % 7) {
      case 0: {
        std::size_t n = next();
        std::uint16_t port = next();
        if (n > size - i) n = size - i;
        h.Receive(data + i, n, port);
        i += n;
        break;
      }
      case 1:
        h.flipIndex = next();
        h.flipValue = next(1);
        break;
      case 2:
        RunUtpTimers(*h.tracker);
        utp_check_timeouts(h.client);
        break;
      case 3: {
        if (h.clientSockets.size() >= 16) break;
        utp_socket* s = utp_create_socket(h.client);
        sockaddr_in server = Loopback(3000);
        utp_connect(s, reinterpret_cast<sockaddr*>(&server), sizeof server);
        h.clientSockets.push_back(s);
        break;
      }
      case 4:
        if (!h.clientSockets.empty()) {
          std::string m = GetPeers(next());
          utp_write(h.clientSockets.back(), m.data(), m.size());
        }
        break;
      case 5:
        if (!h.clientSockets.empty()) {
          utp_close(h.clientSockets.back());
          h.clientSockets.pop_back();
        }
        break;
      case 6:
        SweepSockets(0x7FFFFFFF);
        break;
    }
    h.Exchange();
  }
  return 0;
}
