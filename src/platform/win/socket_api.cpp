// Sockets on Windows: Windows Sockets 2, GetAddrInfoW and WSAAccept.
#include "platform/socket_api.h"

#include <mswsock.h>
#include <ws2tcpip.h>

#include <cstdio>
#include <cstring>

namespace platform {
namespace {

int OptionName(BufferOption option) { return option == BufferOption::Receive ? SO_RCVBUF : SO_SNDBUF; }

// The system's message for an error code, in the ANSI code page that the C
// runtime's own texts use, so one log line never mixes two encodings.
std::string SystemMessage(DWORD code) {
  wchar_t wide[1024];
  DWORD length = FormatMessageW(FORMAT_MESSAGE_FROM_SYSTEM | FORMAT_MESSAGE_IGNORE_INSERTS | 0xFF, nullptr, code,
                                0x400, wide, 1024, nullptr);
  if (length == 0) {
    char fallback[32];
    std::snprintf(fallback, sizeof fallback, "error %lu", static_cast<unsigned long>(code));
    return fallback;
  }
  int size = WideCharToMultiByte(CP_ACP, 0, wide, static_cast<int>(length), nullptr, 0, nullptr, nullptr);
  std::string out(size > 0 ? static_cast<std::size_t>(size) : 0, '\0');
  if (size > 0) WideCharToMultiByte(CP_ACP, 0, wide, static_cast<int>(length), out.data(), size, nullptr, nullptr);
  return out;
}

void SetIntOption(SocketHandle handle, int level, int name, int value) {
  DWORD v = static_cast<DWORD>(value);
  setsockopt(handle, level, name, reinterpret_cast<const char*>(&v), sizeof v);
}

// Older mingw-w64 headers lack it; the value is the documented one.
#ifndef SIO_UDP_CONNRESET
#define SIO_UDP_CONNRESET _WSAIOW(IOC_VENDOR, 12)
#endif

// By default an ICMP port-unreachable, answering a datagram sent to a peer
// that has gone, fails the socket's next receive with WSAECONNRESET. One
// datagram socket serves every uTP peer, so one departed peer must not cost
// the others a receive. Should the call fail, StartReceiveFrom still skips
// such reports. Set after bind, once the socket has its endpoint.
void IgnorePortUnreachable(SOCKET s) {
  int type = 0;
  int length = sizeof type;
  if (getsockopt(s, SOL_SOCKET, SO_TYPE, reinterpret_cast<char*>(&type), &length) != 0 || type != SOCK_DGRAM) return;
  BOOL report = FALSE;
  DWORD returned = 0;
  WSAIoctl(s, SIO_UDP_CONNRESET, &report, sizeof report, nullptr, 0, &returned, nullptr, nullptr);
}

}  // namespace

bool StartNetworking() {
  WSADATA data;
  return WSAStartup(MAKEWORD(2, 2), &data) == 0;
}

void StopNetworking() { WSACleanup(); }

namespace {
ResolvedAddress Resolved(const ADDRINFOW& ai) {
  ResolvedAddress r;
  r.family = ai.ai_family;
  r.socketType = ai.ai_socktype;
  r.protocol = ai.ai_protocol;
  std::size_t length = ai.ai_addrlen < sizeof r.address ? ai.ai_addrlen : sizeof r.address;
  r.addressLength = static_cast<int>(length);
  std::memcpy(r.address, ai.ai_addr, length);
  return r;
}
}  // namespace

bool ResolvePassive(const std::wstring& port, bool datagram, std::vector<ResolvedAddress>& out,
                    std::string& errorText) {
  ADDRINFOW hints{};
  hints.ai_flags = AI_PASSIVE;
  hints.ai_family = AF_UNSPEC;
  hints.ai_socktype = datagram ? SOCK_DGRAM : SOCK_STREAM;
  ADDRINFOW* list = nullptr;
  int rc = GetAddrInfoW(nullptr, port.c_str(), &hints, &list);
  if (rc != 0) {
    errorText = SystemMessage(static_cast<DWORD>(rc));
    return false;
  }
  for (ADDRINFOW* ai = list; ai != nullptr; ai = ai->ai_next) out.push_back(Resolved(*ai));
  FreeAddrInfoW(list);
  return true;
}

bool ResolveListenAddress(const std::wstring& host, const std::wstring& port, ResolvedAddress& out,
                          std::string& errorText) {
  ADDRINFOW hints{};
  hints.ai_flags = AI_PASSIVE | AI_NUMERICSERV;
  hints.ai_family = AF_UNSPEC;
  hints.ai_socktype = SOCK_STREAM;
  ADDRINFOW* list = nullptr;
  int rc = GetAddrInfoW(host.c_str(), port.c_str(), &hints, &list);
  if (rc != 0) {
    errorText = SystemMessage(static_cast<DWORD>(rc));
    return false;
  }
  out = Resolved(*list);
  FreeAddrInfoW(list);
  return true;
}

// Overlapped, so the socket and every connection accepted on it can be
// attached to the completion port.
SocketHandle CreateSocket(int family, int socketType, int protocol) {
  SOCKET s = WSASocketW(family, socketType, protocol, nullptr, 0, WSA_FLAG_OVERLAPPED);
  return s == INVALID_SOCKET ? kInvalidSocket : static_cast<SocketHandle>(s);
}

bool IsInet6(int family) { return family == AF_INET6; }

void SetV6Only(SocketHandle handle) { SetIntOption(handle, IPPROTO_IPV6, IPV6_V6ONLY, 1); }

void SetReuseAddress(SocketHandle handle) { SetIntOption(handle, SOL_SOCKET, SO_REUSEADDR, 1); }

// Windows rebinds after a restart anyway; exclusive use keeps another
// process from binding the same port beside this one.
void AllowRebindAfterRestart(SocketHandle handle) { SetIntOption(handle, SOL_SOCKET, SO_EXCLUSIVEADDRUSE, 1); }

bool SetBufferSize(SocketHandle handle, BufferOption option, std::int32_t value) {
  int v = value;
  return setsockopt(handle, SOL_SOCKET, OptionName(option), reinterpret_cast<const char*>(&v), sizeof v) !=
         SOCKET_ERROR;
}

bool GetBufferSize(SocketHandle handle, BufferOption option, std::int32_t* value) {
  int v = 0;
  int length = sizeof v;
  if (getsockopt(handle, SOL_SOCKET, OptionName(option), reinterpret_cast<char*>(&v), &length) == SOCKET_ERROR)
    return false;
  *value = v;
  return true;
}

bool BindSocket(SocketHandle handle, const void* address, int length) {
  if (bind(handle, static_cast<const sockaddr*>(address), length) != 0) return false;
  IgnorePortUnreachable(handle);
  return true;
}

bool ListenSocket(SocketHandle handle) { return listen(handle, 0x7FFFFFFF) != SOCKET_ERROR; }

// Winsock reports through WSAGetLastError and leaves errno alone, so the C
// runtime's strerror would describe some unrelated earlier failure.
std::string LastSocketErrorText() { return SystemMessage(static_cast<DWORD>(WSAGetLastError())); }

SocketHandle AcceptConnection(SocketHandle listening, void* address, std::int32_t* addressLength,
                              bool* outOfResources) {
  static_assert(sizeof(INT) == sizeof(std::int32_t));
  SOCKET s = WSAAccept(listening, static_cast<sockaddr*>(address), reinterpret_cast<INT*>(addressLength), nullptr, 0);
  if (s == INVALID_SOCKET) {
    int error = WSAGetLastError();
    *outOfResources = error == WSAEMFILE || error == WSAENOBUFS;
    return kInvalidSocket;
  }
  *outOfResources = false;
  // ReceiveAvailable takes what is there without waiting; a socket that
  // could block it would stall the whole loop, so it is not taken.
  u_long nonBlocking = 1;
  if (ioctlsocket(s, FIONBIO, &nonBlocking) != 0) {
    closesocket(s);
    return kInvalidSocket;
  }
  return static_cast<SocketHandle>(s);
}

// Windows has no per-process descriptor ceiling to hold a reserve against:
// accept fails only when the system itself is short, and then the accept
// thread backs off until memory comes back.
void OpenAcceptReserve(AcceptReserve*) {}
void CloseAcceptReserve(AcceptReserve*) {}
bool RefuseOneConnection(SocketHandle, AcceptReserve*) { return false; }

namespace {

// One address: an overlapped socket, a non-blocking connect and a wait for
// its outcome, bounded by what is left of the caller's time.
int ConnectOne(const addrinfo& ai, int timeoutMs, SOCKET* out) {
  SOCKET s = WSASocketW(ai.ai_family, ai.ai_socktype, ai.ai_protocol, nullptr, 0, WSA_FLAG_OVERLAPPED);
  if (s == INVALID_SOCKET) return WSAGetLastError();
  u_long nonBlocking = 1;
  int error = 0;
  if (ioctlsocket(s, FIONBIO, &nonBlocking) != 0) {
    error = WSAGetLastError();
  } else if (connect(s, ai.ai_addr, static_cast<int>(ai.ai_addrlen)) != 0) {
    error = WSAGetLastError();
    if (error == WSAEWOULDBLOCK) {
      fd_set writable;
      fd_set failed;
      FD_ZERO(&writable);
      FD_ZERO(&failed);
      FD_SET(s, &writable);
      FD_SET(s, &failed);
      timeval timeout{timeoutMs / 1000, (timeoutMs % 1000) * 1000};
      const int ready = select(0, nullptr, &writable, &failed, &timeout);
      int length = sizeof error;
      if (ready == 0) {
        error = WSAETIMEDOUT;
      } else if (ready < 0) {
        error = WSAGetLastError();
      } else if (getsockopt(s, SOL_SOCKET, SO_ERROR, reinterpret_cast<char*>(&error), &length) != 0) {
        error = WSAGetLastError();
      }
    }
  }
  if (error != 0) {
    closesocket(s);
    return error;
  }
  *out = s;
  return 0;
}

}  // namespace

SocketHandle ConnectStream(const std::string& host, std::uint16_t port, int timeoutMs, std::string& errorText) {
  addrinfo hints{};
  hints.ai_flags = AI_NUMERICSERV;
  hints.ai_family = AF_UNSPEC;
  hints.ai_socktype = SOCK_STREAM;
  hints.ai_protocol = IPPROTO_TCP;
  addrinfo* list = nullptr;
  const std::string service = std::to_string(port);
  int rc = getaddrinfo(host.c_str(), service.c_str(), &hints, &list);
  if (rc != 0) {
    errorText = SystemMessage(static_cast<DWORD>(rc));
    return kInvalidSocket;
  }
  const ULONGLONG deadline = GetTickCount64() + static_cast<ULONGLONG>(timeoutMs);
  int error = WSAETIMEDOUT;
  SOCKET s = INVALID_SOCKET;
  for (addrinfo* ai = list; ai != nullptr && s == INVALID_SOCKET; ai = ai->ai_next) {
    const ULONGLONG now = GetTickCount64();
    if (now >= deadline) break;
    error = ConnectOne(*ai, static_cast<int>(deadline - now), &s);
  }
  freeaddrinfo(list);
  if (s == INVALID_SOCKET) {
    errorText = SystemMessage(static_cast<DWORD>(error));
    return kInvalidSocket;
  }
  return static_cast<SocketHandle>(s);
}

void ShutdownSend(SocketHandle handle) { shutdown(handle, SD_SEND); }

void LimitConnectionBuffers(SocketHandle handle, std::int32_t bytes) {
  setsockopt(handle, SOL_SOCKET, SO_SNDBUF, reinterpret_cast<const char*>(&bytes), sizeof bytes);
  setsockopt(handle, SOL_SOCKET, SO_RCVBUF, reinterpret_cast<const char*>(&bytes), sizeof bytes);
}

void DisableCoalescing(SocketHandle handle) {
  BOOL one = TRUE;
  setsockopt(handle, IPPROTO_TCP, TCP_NODELAY, reinterpret_cast<const char*>(&one), sizeof one);
}

// closesocket alone makes a WSAAccept blocked on the socket fail.
void CloseListeningSocket(SocketHandle handle) { closesocket(handle); }

// Windows has no shutdown of a listening socket; a connection of our own
// makes the blocked accept return, and the thread, told to stop, closes it.
bool WakeAcceptingThread(SocketHandle listening) {
  sockaddr_storage address{};
  int length = sizeof address;
  if (getsockname(listening, reinterpret_cast<sockaddr*>(&address), &length) != 0) return false;
  if (address.ss_family == AF_INET) {
    auto* v4 = reinterpret_cast<sockaddr_in*>(&address);
    if (v4->sin_addr.s_addr == htonl(INADDR_ANY)) v4->sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  } else if (address.ss_family == AF_INET6) {
    auto* v6 = reinterpret_cast<sockaddr_in6*>(&address);
    if (IN6_IS_ADDR_UNSPECIFIED(&v6->sin6_addr)) v6->sin6_addr = in6addr_loopback;
  }
  SOCKET s = socket(address.ss_family, SOCK_STREAM, IPPROTO_TCP);
  if (s == INVALID_SOCKET) return false;
  const bool connected = connect(s, reinterpret_cast<const sockaddr*>(&address), length) == 0;
  closesocket(s);
  return connected;
}

bool WaitForConnection(SocketHandle listening, int timeoutMs) {
  fd_set readable;
  FD_ZERO(&readable);
  FD_SET(listening, &readable);
  timeval timeout{timeoutMs / 1000, (timeoutMs % 1000) * 1000};
  return select(0, &readable, nullptr, nullptr, &timeout) > 0;
}

}  // namespace platform
