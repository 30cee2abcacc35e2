// The uTP library bound to the tracker's UDP sockets.
#pragma once

#include <cstddef>
#include <cstdint>

struct struct_utp_context;

namespace lattice {

class UdpSocket;

// One library context per UDP socket, its user data the socket.
struct_utp_context* CreateUtpContext(UdpSocket& socket);
void DestroyUtpContext(struct_utp_context* context);

// Hands one received datagram to the library.
void ProcessDatagram(UdpSocket& socket, const std::uint8_t* data, std::size_t length, const void* address,
                     std::int32_t addressLength);

// The library's timers: deferred acknowledgements, then time-outs.
void RunUtpTimers(UdpSocket& socket);

}  // namespace lattice
