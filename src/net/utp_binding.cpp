#include "net/utp_binding.h"

#include <cstring>

#include "log/loop_clock.h"
#include "net/run_flags.h"
#include "net/send_queue.h"
#include "net/udp_socket.h"
#include "net/utp_socket.h"
#include "tracker/message_framing.h"
#include "utp.h"

namespace lattice {
namespace {

UtpSocket* Bound(utp_socket* sock) { return static_cast<UtpSocket*>(utp_get_userdata(sock)); }

// Unbinds the library socket before closing, so a socket the library is
// already tearing down is not handed back to it.
void CloseUnbound(UtpSocket* s, utp_socket* sock, bool libraryKeepsSocket) {
  if (!libraryKeepsSocket) s->utpSock = nullptr;
  s->Close();
  utp_set_userdata(sock, nullptr);
}

uint64 OnAccept(utp_callback_arguments* a) {
  auto* s = new UtpSocket(a->socket, utp_get_receive_id(a->socket));
  std::size_t n = a->address_len > 0 ? static_cast<std::size_t>(a->address_len) : 0;
  if (n > sizeof s->peerAddress.bytes) n = sizeof s->peerAddress.bytes;
  std::memcpy(s->peerAddress.bytes, a->address, n);
  return 0;
}

uint64 OnRead(utp_callback_arguments* a) {
  if (UtpSocket* s = Bound(a->socket)) {
    s->inbound.insert(s->inbound.end(), a->buf, a->buf + a->len);
    s->lastActivity = LoopClock();
    bool acceptable = FrameMessages(*s);
    // Replies to what was handled go to the library first; closing sends
    // its end of stream after them.
    s->FlushToUtp();
    if (!acceptable) CloseUnbound(s, a->socket, true);
  }
  utp_read_drained(a->socket);
  return 0;
}

uint64 OnError(utp_callback_arguments* a) {
  // utp_close is still needed: a reset socket is freed only once closed.
  if (UtpSocket* s = Bound(a->socket)) CloseUnbound(s, a->socket, true);
  return 0;
}

uint64 OnStateChange(utp_callback_arguments* a) {
  UtpSocket* s = Bound(a->socket);
  if (s == nullptr) return 0;
  switch (a->state) {
    case UTP_STATE_CONNECT:
    case UTP_STATE_WRITABLE:
      s->FlushToUtp();
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
  auto* udp = static_cast<UdpSocket*>(utp_context_get_userdata(a->context));
  EnqueueChunk(*udp, a->buf, a->len, a->address, static_cast<std::uint32_t>(a->address_len));
  return 0;
}

// The library cannot work below its own floor of 576 bytes (its size
// arithmetic underflows) nor above what one UDP datagram can carry.
constexpr std::int32_t kMinUdpMtu = 576;
constexpr std::int32_t kMaxUdpMtu = 65507;

uint64 OnGetUdpMtu(utp_callback_arguments*) {
  std::int32_t mtu = mtuSetting < kMinUdpMtu ? kMinUdpMtu : (mtuSetting > kMaxUdpMtu ? kMaxUdpMtu : mtuSetting);
  return static_cast<uint64>(mtu);
}

}  // namespace

struct_utp_context* CreateUtpContext(UdpSocket& socket) {
  utp_context* context = utp_init(2);
  if (context == nullptr) return nullptr;
  utp_set_callback(context, UTP_ON_READ, OnRead);
  utp_set_callback(context, UTP_ON_ACCEPT, OnAccept);
  utp_set_callback(context, UTP_ON_ERROR, OnError);
  utp_set_callback(context, UTP_ON_STATE_CHANGE, OnStateChange);
  utp_set_callback(context, UTP_SENDTO, OnSendTo);
  if (mtuSetting != 0) utp_set_callback(context, UTP_GET_UDP_MTU, OnGetUdpMtu);
  utp_context_set_userdata(context, &socket);
  return context;
}

void DestroyUtpContext(struct_utp_context* context) {
  if (context != nullptr) utp_destroy(context);
}

void ProcessDatagram(UdpSocket& socket, const std::uint8_t* data, std::size_t length, const void* address,
                     std::int32_t addressLength) {
  if (socket.utpContext == nullptr) return;
  utp_process_udp(socket.utpContext, data, length, static_cast<const sockaddr*>(address),
                  static_cast<socklen_t>(addressLength));
}

void RunUtpTimers(UdpSocket& socket) {
  if (socket.utpContext == nullptr) return;
  utp_issue_deferred_acks(socket.utpContext);
  utp_check_timeouts(socket.utpContext);
}

}  // namespace lattice
