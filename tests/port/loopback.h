// The client side of the port tests, which the port layer does not offer:
// loopback addresses and plain blocking sockets. One implementation per system.
#pragma once

#include <cstdint>
#include <string>

#include "platform/io_port.h"

namespace porttest {

extern const int kStream;
extern const int kDatagram;

struct Address {
  alignas(8) std::uint8_t bytes[128] = {};
  std::int32_t length = 0;
};

Address Loopback(std::uint16_t port);  // 127.0.0.1; port 0 lets the system choose
std::uint16_t LocalPort(platform::SocketHandle handle);
platform::SocketHandle Connect(std::uint16_t port);  // kInvalidSocket on failure
bool SendAll(platform::SocketHandle handle, const char* data, int length);
bool WaitReadable(platform::SocketHandle handle, int timeoutMs);
std::string ReceiveSome(platform::SocketHandle handle, int timeoutMs);  // empty on time-out

}  // namespace porttest
