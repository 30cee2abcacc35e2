// The completion port: the one I/O mechanism the event loop is written against.
//
// Contract, kept by every backend:
// - A transfer that is started either fails at once (and reports nothing) or
//   reports exactly one completion through the port, also when it completed
//   at once inside the call that started it. Such immediate completions are
//   queued, never delivered by a callback from inside the starting call.
// - A completion carries the key the handle was attached with, the I/O record
//   of the transfer (null for a posted notification) and the byte count.
// - Cancelling a transfer, or closing its socket, makes each outstanding
//   transfer complete with 0 bytes.
// - A stream receive of length 0 is a wait for input: it holds no buffer and
//   completes, with 0 bytes, once the socket has data, its end of stream or
//   an error to report; ReceiveAvailable then takes what is there. This is
//   how many idle connections are watched without a buffer each.
// - Posting a notification is safe from any thread; everything else belongs to
//   the thread that waits on the port.
// - A wait returns up to a batch of completions, or reports a time-out, or
//   reports that the port was closed.
#pragma once

#include <cstdint>

#include "io_record.h"

namespace platform {

using SocketHandle = std::uintptr_t;
inline constexpr SocketHandle kInvalidSocket = ~SocketHandle{0};

struct Completion {
  std::uintptr_t key = 0;
  IoRecord* record = nullptr;
  std::uint32_t bytes = 0;
};

class IoPort;

// backend names the mechanism to use where the platform has more than one
// (on Linux "io_uring" or "epoll"); null or an unknown name takes the best the
// system allows.
IoPort* CreateIoPort(const char* backend, int* error);
void CloseIoPort(IoPort* port);
// The mechanism in use ("io_uring", "epoll", "iocp"), and why a better one
// was refused (a system error code, 0 when none was).
const char* IoBackendName(const IoPort* port);
int IoBackendFallbackError(const IoPort* port);
bool AttachSocket(IoPort* port, SocketHandle handle, std::uintptr_t key, int* error);

enum class WaitStatus { Ready, TimedOut, PortClosed, Failed };
WaitStatus WaitForCompletions(IoPort* port, Completion* entries, int capacity, int timeoutMs,
                              int* count, int* error);
bool PostCompletion(IoPort* port, std::uintptr_t key, std::uint32_t bytes, IoRecord* record);

// Tags mark a record as a receive or a send, so a completion tells which one
// finished. They are never waited on.
IoTag CreateIoTag();
void CloseIoTag(IoTag tag);
void PrepareRecord(IoRecord* record, IoTag tag, void* owner);
IoTag TagOf(const IoRecord* record);
void* OwnerOf(const IoRecord* record);

enum class IoStatus { CompletedAtOnce, Pending, Failed };
struct IoResult {
  IoStatus status = IoStatus::Failed;
  std::uint32_t bytes = 0;  // for CompletedAtOnce
  int error = 0;            // for Failed
};

IoResult StartReceive(IoPort* port, SocketHandle handle, IoRecord* record, void* buffer, std::uint32_t length);
IoResult StartSend(IoPort* port, SocketHandle handle, IoRecord* record, const void* data, std::uint32_t length);
// Transfers name the port the handle is attached to.
// address/addressLength must stay valid until the transfer completes.
IoResult StartReceiveFrom(IoPort* port, SocketHandle handle, IoRecord* record, void* buffer, std::uint32_t length,
                          void* address, std::int32_t* addressLength);
IoResult StartSendTo(IoPort* port, SocketHandle handle, IoRecord* record, const void* data, std::uint32_t length,
                     const void* address, std::int32_t addressLength);

// Takes what a stream socket holds without waiting; not a transfer, so it
// reports nothing through the port. CompletedAtOnce with the byte count (0:
// the peer ended the stream), Pending when there is nothing to take now, or
// Failed.
IoResult ReceiveAvailable(IoPort* port, SocketHandle handle, void* buffer, std::uint32_t length);

// The same, but bytes the backend already holds (io_uring's provided buffers)
// are left where they lie instead of being copied into buffer: *data points at
// the bytes taken, in the backend's memory or in buffer. They stay valid until
// ReleaseReceived on the socket, which must come before anything else is
// started, taken or closed on it.
IoResult ReceiveInPlace(IoPort* port, SocketHandle handle, void* buffer, std::uint32_t length,
                        const std::uint8_t** data);
void ReleaseReceived(IoPort* port, SocketHandle handle);

// Many datagrams in one call, without waiting, where the system can batch
// them; not transfers, so nothing is reported through the port. Sending takes
// data/length/address/addressLength of each slot, in order. Receiving fills
// each slot's data (length: its room, then the datagram's length), address
// (addressLength: its room, then the source's length) and truncated.
// CompletedAtOnce with bytes = how many datagrams (at least one), Pending when
// none can be taken or sent now (always, where the system has no batch call),
// or Failed with the error of the first.
struct DatagramSlot {
  void* data = nullptr;
  std::uint32_t length = 0;
  void* address = nullptr;
  std::int32_t addressLength = 0;
  bool truncated = false;
};
inline constexpr std::uint32_t kMaxDatagramBatch = 64;
// Whether this system has the batch calls at all.
bool CanBatchDatagrams();
IoResult SendDatagrams(IoPort* port, SocketHandle handle, const DatagramSlot* slots, std::uint32_t count);
IoResult ReceiveDatagrams(IoPort* port, SocketHandle handle, DatagramSlot* slots, std::uint32_t count);

// Makes an outstanding transfer on this record complete with 0 bytes.
void CancelTransfer(IoPort* port, SocketHandle handle, IoRecord* record);
// Closes the socket; its outstanding transfers complete with 0 bytes. port is
// the port it is attached to, or null for a socket attached to none.
void CloseSocket(IoPort* port, SocketHandle handle);

// The C runtime's text for an error code, for log lines.
const char* ErrorText(int error);

}  // namespace platform
