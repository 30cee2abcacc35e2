// Sockets for POSIX systems: BSD sockets and getaddrinfo.
#include "platform/socket_api.h"

#include <arpa/inet.h>
#include <netdb.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <fcntl.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cerrno>
#include <chrono>
#include <clocale>
#include <cstdlib>
#include <cstring>

namespace platform {
namespace {

int OptionName(BufferOption option) { return option == BufferOption::Receive ? SO_RCVBUF : SO_SNDBUF; }

// Port texts are ASCII in practice; anything wider cannot name a port here.
std::string Narrow(const std::wstring& text) {
  std::string out;
  for (wchar_t c : text) out.push_back(c > 0 && c < 0x80 ? static_cast<char>(c) : '?');
  return out;
}

}  // namespace

bool StartNetworking() { return true; }
void StopNetworking() {}

bool ResolvePassive(const std::wstring& port, bool datagram, std::vector<ResolvedAddress>& out,
                    std::string& errorText) {
  addrinfo hints{};
  hints.ai_flags = AI_PASSIVE;
  hints.ai_family = AF_UNSPEC;
  hints.ai_socktype = datagram ? SOCK_DGRAM : SOCK_STREAM;
  addrinfo* list = nullptr;
  std::string service = Narrow(port);
  int rc = getaddrinfo(nullptr, service.c_str(), &hints, &list);
  if (rc != 0) {
    errorText = rc == EAI_SYSTEM ? std::strerror(errno) : gai_strerror(rc);
    return false;
  }
  for (addrinfo* ai = list; ai != nullptr; ai = ai->ai_next) {
    ResolvedAddress r;
    r.family = ai->ai_family;
    r.socketType = ai->ai_socktype;
    r.protocol = ai->ai_protocol;
    r.addressLength = static_cast<int>(ai->ai_addrlen);
    std::memcpy(r.address, ai->ai_addr, ai->ai_addrlen < sizeof r.address ? ai->ai_addrlen : sizeof r.address);
    out.push_back(r);
  }
  freeaddrinfo(list);
  return true;
}

bool ResolveListenAddress(const std::wstring& host, const std::wstring& port, ResolvedAddress& out,
                          std::string& errorText) {
  addrinfo hints{};
  hints.ai_flags = AI_PASSIVE | AI_NUMERICSERV;
  hints.ai_family = AF_UNSPEC;
  hints.ai_socktype = SOCK_STREAM;
  addrinfo* list = nullptr;
  const std::string name = Narrow(host);
  const std::string service = Narrow(port);
  int rc = getaddrinfo(name.c_str(), service.c_str(), &hints, &list);
  if (rc != 0) {
    errorText = rc == EAI_SYSTEM ? std::strerror(errno) : gai_strerror(rc);
    return false;
  }
  out = ResolvedAddress{};
  out.family = list->ai_family;
  out.socketType = list->ai_socktype;
  out.protocol = list->ai_protocol;
  out.addressLength = static_cast<int>(list->ai_addrlen < sizeof out.address ? list->ai_addrlen : sizeof out.address);
  std::memcpy(out.address, list->ai_addr, static_cast<std::size_t>(out.addressLength));
  freeaddrinfo(list);
  return true;
}

SocketHandle CreateSocket(int family, int socketType, int protocol) {
  // Transfers pass MSG_DONTWAIT themselves, so the descriptor stays blocking
  // and the accept threads can block on it.
  int fd = socket(family, socketType | SOCK_CLOEXEC, protocol);
  return fd < 0 ? kInvalidSocket : static_cast<SocketHandle>(fd);
}

bool IsInet6(int family) { return family == AF_INET6; }

void SetV6Only(SocketHandle handle) {
  int one = 1;
  setsockopt(static_cast<int>(handle), IPPROTO_IPV6, IPV6_V6ONLY, &one, sizeof one);
}

void SetReuseAddress(SocketHandle handle) {
  int one = 1;
  setsockopt(static_cast<int>(handle), SOL_SOCKET, SO_REUSEADDR, &one, sizeof one);
}

void AllowRebindAfterRestart(SocketHandle handle) { SetReuseAddress(handle); }

bool SetBufferSize(SocketHandle handle, BufferOption option, std::int32_t value) {
  int v = value;
  return setsockopt(static_cast<int>(handle), SOL_SOCKET, OptionName(option), &v, sizeof v) != -1;
}

bool GetBufferSize(SocketHandle handle, BufferOption option, std::int32_t* value) {
  int v = 0;
  socklen_t len = sizeof v;
  if (getsockopt(static_cast<int>(handle), SOL_SOCKET, OptionName(option), &v, &len) == -1) return false;
  *value = v;
  return true;
}

bool BindSocket(SocketHandle handle, const void* address, int length) {
  if (handle == kInvalidSocket) {
    errno = EBADF;
    return false;
  }
  return bind(static_cast<int>(handle), static_cast<const sockaddr*>(address),
              static_cast<socklen_t>(length)) >= 0;
}

bool ListenSocket(SocketHandle handle) {
  // The system clamps the backlog to its own maximum.
  return listen(static_cast<int>(handle), 0x7FFFFFFF) != -1;
}

std::string LastSocketErrorText() { return std::strerror(errno); }

SocketHandle AcceptConnection(SocketHandle listening, void* address, std::int32_t* addressLength,
                              bool* outOfResources) {
  socklen_t len = static_cast<socklen_t>(*addressLength);
  int fd;
  do {
    fd = accept4(static_cast<int>(listening), static_cast<sockaddr*>(address), &len, SOCK_CLOEXEC | SOCK_NONBLOCK);
  } while (fd < 0 && errno == EINTR);
  if (fd < 0) {
    *outOfResources = errno == EMFILE || errno == ENFILE || errno == ENOBUFS || errno == ENOMEM;
    return kInvalidSocket;
  }
  *outOfResources = false;
  *addressLength = static_cast<std::int32_t>(len);
  return static_cast<SocketHandle>(fd);
}

void OpenAcceptReserve(AcceptReserve* reserve) {
  if (reserve->descriptor < 0) reserve->descriptor = open("/dev/null", O_RDONLY | O_CLOEXEC);
}

void CloseAcceptReserve(AcceptReserve* reserve) {
  if (reserve->descriptor >= 0) close(static_cast<int>(reserve->descriptor));
  reserve->descriptor = -1;
}

bool RefuseOneConnection(SocketHandle listening, AcceptReserve* reserve) {
  // A reserve lost to another thread's open below is taken again as soon as
  // a number is free, which may be now.
  OpenAcceptReserve(reserve);
  if (reserve->descriptor < 0) return false;
  CloseAcceptReserve(reserve);
  int fd = accept4(static_cast<int>(listening), nullptr, nullptr, SOCK_CLOEXEC);
  if (fd >= 0) close(fd);
  // Another thread may take the freed number first; then the failures
  // back off until a number is free for the reserve again.
  OpenAcceptReserve(reserve);
  return fd >= 0;
}

namespace {

// One address: a non-blocking connect and a wait for its outcome, bounded by
// what is left of the caller's time.
int ConnectOne(const addrinfo& ai, int timeoutMs, int* fdOut) {
  int fd = socket(ai.ai_family, ai.ai_socktype | SOCK_CLOEXEC | SOCK_NONBLOCK, ai.ai_protocol);
  if (fd < 0) return errno;
  int rc;
  do {
    rc = connect(fd, ai.ai_addr, ai.ai_addrlen);
  } while (rc < 0 && errno == EINTR);
  int error = rc == 0 ? 0 : errno;
  if (error == EINPROGRESS) {
    pollfd p{fd, POLLOUT, 0};
    int ready;
    do {
      ready = poll(&p, 1, timeoutMs);
    } while (ready < 0 && errno == EINTR);
    socklen_t length = sizeof error;
    if (ready == 0) {
      error = ETIMEDOUT;
    } else if (ready < 0 || getsockopt(fd, SOL_SOCKET, SO_ERROR, &error, &length) != 0) {
      error = errno;
    }
  }
  if (error != 0) {
    close(fd);
    return error;
  }
  *fdOut = fd;
  return 0;
}

}  // namespace

SocketHandle ConnectStream(const std::string& host, std::uint16_t port, int timeoutMs, std::string& errorText) {
  addrinfo hints{};
  hints.ai_flags = AI_NUMERICSERV;
  hints.ai_family = AF_UNSPEC;
  hints.ai_socktype = SOCK_STREAM;
  addrinfo* list = nullptr;
  const std::string service = std::to_string(port);
  int rc = getaddrinfo(host.c_str(), service.c_str(), &hints, &list);
  if (rc != 0) {
    errorText = rc == EAI_SYSTEM ? std::strerror(errno) : gai_strerror(rc);
    return kInvalidSocket;
  }
  const auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(timeoutMs);
  int error = ETIMEDOUT;
  int fd = -1;
  for (addrinfo* ai = list; ai != nullptr && fd < 0; ai = ai->ai_next) {
    const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(deadline - std::chrono::steady_clock::now());
    if (left.count() <= 0) break;
    error = ConnectOne(*ai, static_cast<int>(left.count()), &fd);
  }
  freeaddrinfo(list);
  if (fd < 0) {
    errorText = std::strerror(error);
    return kInvalidSocket;
  }
  return static_cast<SocketHandle>(fd);
}

void ShutdownSend(SocketHandle handle) { shutdown(static_cast<int>(handle), SHUT_WR); }

void LimitConnectionBuffers(SocketHandle handle, std::int32_t bytes) {
  setsockopt(static_cast<int>(handle), SOL_SOCKET, SO_SNDBUF, &bytes, sizeof bytes);
  setsockopt(static_cast<int>(handle), SOL_SOCKET, SO_RCVBUF, &bytes, sizeof bytes);
}

void DisableCoalescing(SocketHandle handle) {
  int one = 1;
  setsockopt(static_cast<int>(handle), IPPROTO_TCP, TCP_NODELAY, &one, sizeof one);
}

void CloseListeningSocket(SocketHandle handle) {
  WakeAcceptingThread(handle);
  CloseSocket(nullptr, handle);
}

// close() alone does not wake a thread blocked in accept(); shutdown() does,
// and every later accept() on the socket fails at once.
bool WakeAcceptingThread(SocketHandle listening) {
  shutdown(static_cast<int>(listening), SHUT_RDWR);
  return true;
}

bool WaitForConnection(SocketHandle listening, int timeoutMs) {
  pollfd p{static_cast<int>(listening), POLLIN, 0};
  return poll(&p, 1, timeoutMs) > 0;
}

}  // namespace platform
