#include "net/utp_binding.h"

#include <chrono>
#include <cstring>

#include "net/admission.h"
#include "net/io_port_context.h"
#include "net/socket_address.h"
#include "net/udp_socket.h"
#include "net/utp_socket.h"
#include "platform/random_source.h"
#include "tracker/input_pump.h"
#include "tracker/message_framing.h"
#include "utp.h"

namespace lattice {
namespace {

UtpSocket* Bound(utp_socket* sock) { return static_cast<UtpSocket*>(utp_get_userdata(sock)); }

// Close unbinds the library socket and ends it; a socket the library is
// already destroying must not be handed back to it, so that one is dropped
// first.
void CloseUnbound(UtpSocket* s, utp_socket* sock, bool libraryKeepsSocket) {
  if (!libraryKeepsSocket) {
    utp_set_userdata(sock, nullptr);
    s->utpSock = nullptr;
  }
  s->Close();
}

UdpSocket& Carrier(utp_callback_arguments* a) {
  return *static_cast<UdpSocket*>(utp_context_get_userdata(a->context));
}

uint64 OnAccept(utp_callback_arguments* a) {
  IoPortContext& loop = *Carrier(a).loop;
  AddressStorage storage;
  std::size_t n = a->address_len > 0 ? static_cast<std::size_t>(a->address_len) : 0;
  if (n > sizeof storage.bytes) n = sizeof storage.bytes;
  std::memcpy(storage.bytes, a->address, n);
  const CompactAddress address = ToCompactAddress(storage.bytes);
  // Refused before any object exists, as a TCP connection is, so it shows in
  // no connection count; aborted, the library frees it when
  // utp_process_udp returns.
  if (!loop.admission.Admit(loop.tracker, address)) {
    utp_abort(a->socket);
    return 0;
  }
  auto* s = new UtpSocket(a->socket, utp_get_receive_id(a->socket), &loop);
  s->peerAddress = address;
  s->admitted = true;
  return 0;
}

// The library delivers whatever arrives, so a connection whose reply is held
// cannot be made to wait; one that keeps sending past this much unhandled
// input while its replies pile up is closed.
constexpr std::size_t kMaxHeldInbound = 2 * (kMaxMessageBody + 4);

// Handles what was received (none: what waits in inbound). Replies go to the
// library first (closing sends its end of stream after them); a reply held
// for lack of ring space follows as the library takes the ring's bytes.
// False when the connection is to be closed: the peer broke the framing, or
// keeps sending while its replies pile up.
bool ServeInput(UtpSocket& s, const std::uint8_t* data, std::size_t length) {
  const InputState state = PumpInput(s.loop->tracker, s, data, length);
  if (s.requested) LeavePending(s);
  return state == InputState::Reading || (state == InputState::Paused && s.inbound.size() <= kMaxHeldInbound);
}

}  // namespace

void UtpSocket::ResumeInput() {
  if (closed || utpSock == nullptr) return;
  if (!ServeInput(*this, nullptr, 0)) Close();
}

namespace {

uint64 OnRead(utp_callback_arguments* a) {
  if (UtpSocket* s = Bound(a->socket)) {
    s->lastActivity = s->loop->tracker.now;
    if (!ServeInput(*s, a->buf, a->len)) CloseUnbound(s, a->socket, true);
  }
  utp_read_drained(a->socket);
  return 0;
}

uint64 OnError(utp_callback_arguments* a) {
  // The library may already have marked the socket for destruction, which
  // utp_close asserts against; utp_abort takes it in any state and still
  // frees a reset socket, which the library keeps until it is closed.
  if (UtpSocket* s = Bound(a->socket)) {
    s->endedByLibrary = true;
    CloseUnbound(s, a->socket, true);
  }
  return 0;
}

uint64 OnStateChange(utp_callback_arguments* a) {
  UtpSocket* s = Bound(a->socket);
  if (s == nullptr) return 0;
  switch (a->state) {
    case UTP_STATE_CONNECT:
    case UTP_STATE_WRITABLE:
      s->FlushToUtp();
      if (InputPaused(*s) && !ServeInput(*s, nullptr, 0)) CloseUnbound(s, a->socket, true);
      break;
    case UTP_STATE_EOF:
      CloseUnbound(s, a->socket, true);
      break;
    case UTP_STATE_DESTROYING:
      // Still bound while the library frees it (the context is going away):
      // drop the reference so nothing touches the freed socket.
      CloseUnbound(s, a->socket, false);
      break;
    default:
      break;
  }
  return 0;
}

uint64 OnSendTo(utp_callback_arguments* a) {
  Carrier(a).Enqueue(a->buf, a->len, a->address, static_cast<std::uint32_t>(a->address_len));
  return 0;
}

// The library cannot work below its own floor of 576 bytes (its size
// arithmetic underflows) nor above what one UDP datagram can carry.
constexpr std::int32_t kMinUdpMtu = 576;
constexpr std::int32_t kMaxUdpMtu = 65507;

uint64 OnGetUdpMtu(utp_callback_arguments* a) {
  const std::int32_t mtuSetting = Carrier(a).loop->mtu;
  std::int32_t mtu = mtuSetting < kMinUdpMtu ? kMinUdpMtu : (mtuSetting > kMaxUdpMtu ? kMaxUdpMtu : mtuSetting);
  return static_cast<uint64>(mtu);
}

// One secret for the process, drawn at the first context.
struct HashSecret {
  std::uint64_t k0 = 0, k1 = 0;
};

HashSecret MakeHashSecret() {
  std::uint64_t words[2] = {};
  if (!platform::FillRandomBytes(reinterpret_cast<std::uint8_t*>(words), sizeof words)) {
    // Still different in every run, which is what defeats keys computed
    // offline, if weaker than the platform source.
    auto ticks = static_cast<std::uint64_t>(std::chrono::steady_clock::now().time_since_epoch().count());
    words[0] = ticks * 0x9E3779B97F4A7C15ULL;
    words[1] = (ticks ^ reinterpret_cast<std::uintptr_t>(&words)) * 0xC2B2AE3D27D4EB4FULL;
  }
  return {words[0], words[1]};
}

}  // namespace

struct_utp_context* CreateUtpContext(UdpSocket& socket) {
  utp_context* context = utp_init(2);
  if (context == nullptr) return nullptr;
  static const HashSecret secret = MakeHashSecret();
  utp_context_set_hash_secret(context, secret.k0, secret.k1);
  utp_set_callback(context, UTP_ON_READ, OnRead);
  utp_set_callback(context, UTP_ON_ACCEPT, OnAccept);
  utp_set_callback(context, UTP_ON_ERROR, OnError);
  utp_set_callback(context, UTP_ON_STATE_CHANGE, OnStateChange);
  utp_set_callback(context, UTP_SENDTO, OnSendTo);
  if (socket.loop->mtu != 0) utp_set_callback(context, UTP_GET_UDP_MTU, OnGetUdpMtu);
  utp_context_set_userdata(context, &socket);
  return context;
}

void DestroyUtpContext(struct_utp_context* context) {
  if (context != nullptr) utp_destroy(context);
}

void ProcessDatagram(UdpSocket& socket, const std::uint8_t* data, std::size_t length, const void* address,
                     std::int32_t addressLength) {
  if (socket.utpContext == nullptr) return;
  // The first byte of a uTP packet is its type and version: 0x41 opens a
  // connection (ST_SYN, version 1).
  constexpr std::uint8_t kSyn = 0x41;
  if (length != 0 && data[0] == kSyn && ShedHandshake(*socket.loop, socket.loop->tracker.now)) return;
  utp_process_udp(socket.utpContext, data, length, static_cast<const sockaddr*>(address),
                  static_cast<socklen_t>(addressLength));
  // Outside the library's calls, so evicted sockets are freed at once.
  EvictPendingUtp(*socket.loop, socket.loop->tracker.now);
}

void RunUtpTimers(UdpSocket& socket) {
  if (socket.utpContext == nullptr) return;
  EvictPendingUtp(*socket.loop, socket.loop->tracker.now);
  utp_issue_deferred_acks(socket.utpContext);
  utp_check_timeouts(socket.utpContext);
}

}  // namespace lattice
