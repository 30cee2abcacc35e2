// Loopback helpers of the port tests over Windows Sockets.
#include "port/loopback.h"

#include <ws2tcpip.h>

#include <cstring>

namespace porttest {

const int kStream = SOCK_STREAM;
const int kDatagram = SOCK_DGRAM;

Address Loopback(std::uint16_t port) {
  sockaddr_in a{};
  a.sin_family = AF_INET;
  a.sin_port = htons(port);
  a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  Address out;
  std::memcpy(out.bytes, &a, sizeof a);
  out.length = sizeof a;
  return out;
}

std::uint16_t LocalPort(platform::SocketHandle handle) {
  sockaddr_in a{};
  int length = sizeof a;
  return getsockname(handle, reinterpret_cast<sockaddr*>(&a), &length) == 0 ? ntohs(a.sin_port) : 0;
}

platform::SocketHandle Connect(std::uint16_t port) {
  SOCKET s = socket(AF_INET, SOCK_STREAM, IPPROTO_TCP);
  Address to = Loopback(port);
  if (s != INVALID_SOCKET && connect(s, reinterpret_cast<const sockaddr*>(to.bytes), to.length) == 0) return s;
  if (s != INVALID_SOCKET) closesocket(s);
  return platform::kInvalidSocket;
}

bool SendAll(platform::SocketHandle handle, const char* data, int length) {
  for (int n = 0; length > 0; data += n, length -= n)
    if ((n = send(handle, data, length, 0)) <= 0) return false;
  return true;
}

bool WaitReadable(platform::SocketHandle handle, int timeoutMs) {
  WSAPOLLFD p{handle, POLLRDNORM, 0};
  return WSAPoll(&p, 1, timeoutMs) == 1;
}

std::string ReceiveSome(platform::SocketHandle handle, int timeoutMs) {
  char buffer[4096];
  int n = WaitReadable(handle, timeoutMs) ? recv(handle, buffer, sizeof buffer, 0) : 0;
  return std::string(buffer, n > 0 ? static_cast<std::size_t>(n) : 0);
}

}  // namespace porttest
