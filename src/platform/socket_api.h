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

// Resolves one host (a name or a numeric address, IPv6 without brackets) and
// a port number for a listening TCP socket: the first address found. On
// failure returns false with the system's message text in errorText.
bool ResolveListenAddress(const std::wstring& host, const std::wstring& port, ResolvedAddress& out,
                          std::string& errorText);

// A socket usable with the completion port (overlapped on Windows).
SocketHandle CreateSocket(int family, int socketType, int protocol);
bool IsInet6(int family);
void SetV6Only(SocketHandle handle);
void SetReuseAddress(SocketHandle handle);
// Lets a listener bind again at once after a restart while its old
// connections linger, but never beside another live listener on the port
// (Windows' SO_REUSEADDR would allow that, so there the port is exclusive).
void AllowRebindAfterRestart(SocketHandle handle);

enum class BufferOption { Receive, Send };
bool SetBufferSize(SocketHandle handle, BufferOption option, std::int32_t value);
bool GetBufferSize(SocketHandle handle, BufferOption option, std::int32_t* value);

bool BindSocket(SocketHandle handle, const void* address, int length);
bool ListenSocket(SocketHandle handle);

// The text of the error of the last failed call above, for log lines.
std::string LastSocketErrorText();

// Blocks until a connection arrives; kInvalidSocket on failure, with
// *outOfResources telling whether the process or system ran out of
// descriptors or memory for it. The address storage receives up to
// *addressLength bytes of the peer's address. The new socket does not block
// a plain receive, which ReceiveAvailable relies on.
SocketHandle AcceptConnection(SocketHandle listening, void* address, std::int32_t* addressLength,
                              bool* outOfResources);

// Descriptors an accept thread keeps in hand so that, when the process runs
// out, it can still take the waiting connection and close it at once instead
// of leaving its client hanging in the backlog.
struct AcceptReserve {
  std::intptr_t descriptor = -1;
};
void OpenAcceptReserve(AcceptReserve* reserve);
void CloseAcceptReserve(AcceptReserve* reserve);
// Spends the reserve to accept one waiting connection, closes that connection
// and takes the reserve again. False when nothing could be refused that way.
bool RefuseOneConnection(SocketHandle listening, AcceptReserve* reserve);

// Connects a stream socket to host (a name or a numeric address) and port,
// trying each address the host resolves to until timeoutMs has passed in
// all. It blocks, so only a thread of its own makes it, never the loop. The
// socket comes back usable with the completion port and not blocking a plain
// receive, as an accepted one does; kInvalidSocket on failure, with the
// reason in errorText.
SocketHandle ConnectStream(const std::string& host, std::uint16_t port, int timeoutMs, std::string& errorText);

// Ends the sending direction: the peer reads what was sent, then end of
// stream, instead of a reset that could destroy unread replies.
void ShutdownSend(SocketHandle handle);

// Lowers what the system buffers for one accepted connection, both ways.
void LimitConnectionBuffers(SocketHandle handle, std::int32_t bytes);

// Replies are whole messages written at once; waiting to coalesce them with
// later ones only delays them behind the peer's delayed acknowledgement.
void DisableCoalescing(SocketHandle handle);

// Closes a listening socket so that a thread blocked in AcceptConnection on it
// returns.
void CloseListeningSocket(SocketHandle handle);

// Makes a thread blocked in AcceptConnection on the socket return, without
// closing it, so the thread can be joined before the handle number is freed
// for reuse. False when that could not be done; the caller then closes the
// socket to wake the thread.
bool WakeAcceptingThread(SocketHandle listening);

// Waits up to timeoutMs for a connection to wait in the backlog; true when one
// does (or the socket was woken by WakeAcceptingThread).
bool WaitForConnection(SocketHandle listening, int timeoutMs);

}  // namespace platform
