// Loopback helpers of the port tests over BSD sockets.
#include "port/loopback.h"

#include <arpa/inet.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

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
  socklen_t length = sizeof a;
  return getsockname(static_cast<int>(handle), reinterpret_cast<sockaddr*>(&a), &length) == 0 ? ntohs(a.sin_port) : 0;
}

platform::SocketHandle Connect(std::uint16_t port) {
  int fd = socket(AF_INET, SOCK_STREAM, 0);
  Address to = Loopback(port);
  if (fd >= 0 && connect(fd, reinterpret_cast<const sockaddr*>(to.bytes), to.length) == 0) return fd;
  if (fd >= 0) close(fd);
  return platform::kInvalidSocket;
}

bool SendAll(platform::SocketHandle handle, const char* data, int length) {
  for (ssize_t n = 0; length > 0; data += n, length -= static_cast<int>(n))
    if ((n = send(static_cast<int>(handle), data, length, MSG_NOSIGNAL)) <= 0) return false;
  return true;
}

bool WaitReadable(platform::SocketHandle handle, int timeoutMs) {
  pollfd p{static_cast<int>(handle), POLLIN, 0};
  return poll(&p, 1, timeoutMs) == 1;
}

std::string ReceiveSome(platform::SocketHandle handle, int timeoutMs) {
  char buffer[4096];
  ssize_t n = WaitReadable(handle, timeoutMs) ? recv(static_cast<int>(handle), buffer, sizeof buffer, 0) : 0;
  return std::string(buffer, n > 0 ? static_cast<std::size_t>(n) : 0);
}

}  // namespace porttest
