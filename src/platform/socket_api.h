// Socket creation, options, resolution and accept: the calls the listening
// code and the accept threads make, each system's own behind one set of names.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include "platform/io_port.h"

namespace platform {

bool StartNetworking();
void StopNetworking();

struct ResolvedAddress {
  int family = 0;
  int socketType = 0;
  int protocol = 0;
  std::uint8_t address[128] = {};
  int addressLength = 0;
};

// Resolves the port text for every local address (passive, any family).
// On failure returns false with the system's message text in errorText.
bool ResolvePassive(const std::wstring& port, bool datagram, std::vector<ResolvedAddress>& out,
                    std::string& errorText);

// A socket usable with the completion port (overlapped on Windows).
SocketHandle CreateSocket(int family, int socketType, int protocol);
bool IsInet6(int family);
void SetV6Only(SocketHandle handle);
void SetReuseAddress(SocketHandle handle);

enum class BufferOption { Receive, Send };
bool SetBufferSize(SocketHandle handle, BufferOption option, std::int32_t value);
bool GetBufferSize(SocketHandle handle, BufferOption option, std::int32_t* value);

bool BindSocket(SocketHandle handle, const void* address, int length);
bool ListenSocket(SocketHandle handle);

// The text of the error of the last failed call above, for log lines.
std::string LastSocketErrorText();

// Blocks until a connection arrives; kInvalidSocket on failure. The address
// storage receives up to *addressLength bytes of the peer's address.
SocketHandle AcceptConnection(SocketHandle listening, void* address, std::int32_t* addressLength);

// Replies are whole messages written at once; waiting to coalesce them with
// later ones only delays them behind the peer's delayed acknowledgement.
void DisableCoalescing(SocketHandle handle);

// Closes a listening socket so that a thread blocked in AcceptConnection on it
// returns.
void CloseListeningSocket(SocketHandle handle);

}  // namespace platform
