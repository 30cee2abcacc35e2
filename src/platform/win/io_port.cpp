// The completion port on Windows: a direct wrapper of the I/O completion port
// and overlapped Winsock transfers.
//
// The port handle itself stands for IoPort. Records are never given
// FILE_SKIP_COMPLETION_PORT_ON_SUCCESS: a transfer that completes at once
// must still queue its completion, which the contract and the loop rely on.
#include "platform/io_port.h"

#include <cstring>

namespace platform {
namespace {

HANDLE Native(IoPort* port) { return reinterpret_cast<HANDLE>(port); }

constexpr int kMaxBatch = 128;

// Winsock's three-way answer (done, pending, failed) in the port's terms.
IoResult Outcome(int rc, DWORD bytes) {
  if (rc == 0) return {IoStatus::CompletedAtOnce, bytes, 0};
  int error = WSAGetLastError();
  if (error == WSA_IO_PENDING) return {IoStatus::Pending, 0, 0};
  return {IoStatus::Failed, 0, error};
}

// The system writes status words into the header; only the tag must survive
// from one transfer to the next on the same record.
void Rearm(IoRecord* record) {
  HANDLE tag = record->overlapped.hEvent;
  std::memset(&record->overlapped, 0, sizeof record->overlapped);
  record->overlapped.hEvent = tag;
}

// The entry's Internal field is the packet's own NTSTATUS, in its low 32
// bits (the rest is not written). It is read here rather than from the record
// because a record may already carry a newer transfer. A cancelled send can
// report the bytes it moved before it was stopped; the contract says 0.
bool Succeeded(const OVERLAPPED_ENTRY& entry) {
  return static_cast<LONG>(static_cast<ULONG>(entry.Internal)) >= 0;
}

// How a datagram socket reports that something it sent was answered by an
// ICMP unreachable. Bounded retries, since many departed peers can leave
// many reports queued; past the bound the receive fails as any other would.
constexpr int kMaxUnreachableReports = 64;
bool IsUnreachableReport(int error) {
  return error == WSAECONNRESET || error == WSAENETRESET || error == ERROR_PORT_UNREACHABLE;
}

WSABUF Buffer(const void* data, std::uint32_t length) {
  WSABUF b;
  b.len = length;
  b.buf = static_cast<CHAR*>(const_cast<void*>(data));
  return b;
}

}  // namespace

// Windows has one mechanism; the name asked for does not matter.
IoPort* CreateIoPort(const char* /*backend*/, int* error) {
  HANDLE port = CreateIoCompletionPort(INVALID_HANDLE_VALUE, nullptr, 0, 0);
  if (port == nullptr) {
    if (error != nullptr) *error = static_cast<int>(GetLastError());
    return nullptr;
  }
  return reinterpret_cast<IoPort*>(port);
}

const char* IoBackendName(const IoPort* /*port*/) { return "iocp"; }
int IoBackendFallbackError(const IoPort* /*port*/) { return 0; }

// Every thread that posts to the port (the accept threads) is joined before
// the loop closes it, so no post can reach a handle number reused meanwhile.
void CloseIoPort(IoPort* port) {
  if (port != nullptr) CloseHandle(Native(port));
}

bool AttachSocket(IoPort* port, SocketHandle handle, std::uintptr_t key, int* error) {
  HANDLE result = CreateIoCompletionPort(reinterpret_cast<HANDLE>(handle), Native(port), key, 0);
  if (result != Native(port)) {
    if (error != nullptr) *error = static_cast<int>(GetLastError());
    return false;
  }
  return true;
}

WaitStatus WaitForCompletions(IoPort* port, Completion* entries, int capacity, int timeoutMs, int* count,
                              int* error) {
  *count = 0;
  OVERLAPPED_ENTRY native[kMaxBatch];
  ULONG removed = 0;
  ULONG wanted = static_cast<ULONG>(capacity < kMaxBatch ? capacity : kMaxBatch);
  if (!GetQueuedCompletionStatusEx(Native(port), native, wanted, &removed, static_cast<DWORD>(timeoutMs), FALSE)) {
    DWORD code = GetLastError();
    if (code == WAIT_TIMEOUT) return WaitStatus::TimedOut;
    if (code == ERROR_ABANDONED_WAIT_0) return WaitStatus::PortClosed;
    if (error != nullptr) *error = static_cast<int>(code);
    return WaitStatus::Failed;
  }
  for (ULONG i = 0; i < removed; ++i) {
    entries[i].key = native[i].lpCompletionKey;
    entries[i].record = reinterpret_cast<IoRecord*>(native[i].lpOverlapped);
    entries[i].bytes = Succeeded(native[i]) ? native[i].dwNumberOfBytesTransferred : 0;
  }
  *count = static_cast<int>(removed);
  return WaitStatus::Ready;
}

bool PostCompletion(IoPort* port, std::uintptr_t key, std::uint32_t bytes, IoRecord* record) {
  return PostQueuedCompletionStatus(Native(port), bytes, key, record != nullptr ? &record->overlapped : nullptr) !=
         FALSE;
}

IoTag CreateIoTag() { return WSACreateEvent(); }

void CloseIoTag(IoTag tag) { WSACloseEvent(tag); }

void PrepareRecord(IoRecord* record, IoTag tag, void* owner) {
  std::memset(&record->overlapped, 0, sizeof record->overlapped);
  record->overlapped.hEvent = tag;
  record->owner = owner;
}

IoTag TagOf(const IoRecord* record) { return record->overlapped.hEvent; }
void* OwnerOf(const IoRecord* record) { return record->owner; }

IoResult StartReceive(IoPort* /*port*/, SocketHandle handle, IoRecord* record, void* buffer, std::uint32_t length) {
  Rearm(record);
  WSABUF b = Buffer(buffer, length);
  DWORD bytes = 0;
  DWORD flags = 0;
  int rc = WSARecv(handle, &b, 1, &bytes, &flags, &record->overlapped, nullptr);
  return Outcome(rc, bytes);
}

IoResult StartSend(IoPort* /*port*/, SocketHandle handle, IoRecord* record, const void* data, std::uint32_t length) {
  Rearm(record);
  WSABUF b = Buffer(data, length);
  DWORD bytes = 0;
  int rc = WSASend(handle, &b, 1, &bytes, 0, &record->overlapped, nullptr);
  return Outcome(rc, bytes);
}

IoResult StartReceiveFrom(IoPort* /*port*/, SocketHandle handle, IoRecord* record, void* buffer, std::uint32_t length,
                          void* address, std::int32_t* addressLength) {
  WSABUF b = Buffer(buffer, length);
  DWORD bytes = 0;
  DWORD flags = 0;
  // The system writes the source address and its length when the datagram
  // arrives, possibly long after this call: both live in the caller's object.
  static_assert(sizeof(INT) == sizeof(std::int32_t));
  const std::int32_t room = *addressLength;
  IoResult r;
  // A datagram socket reports an ICMP unreachable, answering something it
  // sent, as its next receive failing; each failure takes one report away.
  // That is nothing received, not a broken socket, so the receive is started
  // again: a failure here would leave it unposted until the loop's next pass.
  // A receive that is pending when a report comes completes with 0 bytes,
  // which is already nothing received.
  for (int attempt = 0; attempt < kMaxUnreachableReports; ++attempt) {
    Rearm(record);
    flags = 0;
    *addressLength = room;
    int rc = WSARecvFrom(handle, &b, 1, &bytes, &flags, static_cast<sockaddr*>(address),
                         reinterpret_cast<INT*>(addressLength), &record->overlapped, nullptr);
    r = Outcome(rc, bytes);
    if (r.status != IoStatus::Failed || !IsUnreachableReport(r.error)) break;
  }
  return r;
}

IoResult StartSendTo(IoPort* /*port*/, SocketHandle handle, IoRecord* record, const void* data, std::uint32_t length,
                     const void* address, std::int32_t addressLength) {
  Rearm(record);
  WSABUF b = Buffer(data, length);
  DWORD bytes = 0;
  int rc = WSASendTo(handle, &b, 1, &bytes, 0, static_cast<const sockaddr*>(address), addressLength,
                     &record->overlapped, nullptr);
  return Outcome(rc, bytes);
}

// Accepted sockets are non-blocking (overlapped transfers ignore the mode),
// so a plain recv answers at once.
IoResult ReceiveAvailable(IoPort* /*port*/, SocketHandle handle, void* buffer, std::uint32_t length) {
  const int n = recv(handle, static_cast<char*>(buffer), static_cast<int>(length), 0);
  if (n >= 0) return {IoStatus::CompletedAtOnce, static_cast<std::uint32_t>(n), 0};
  const int error = WSAGetLastError();
  if (error == WSAEWOULDBLOCK) return {IoStatus::Pending, 0, 0};
  return {IoStatus::Failed, 0, error};
}

// Winsock hands over no buffer of its own: the bytes are read into buffer.
IoResult ReceiveInPlace(IoPort* port, SocketHandle handle, void* buffer, std::uint32_t length,
                        const std::uint8_t** data) {
  *data = static_cast<const std::uint8_t*>(buffer);
  return ReceiveAvailable(port, handle, buffer, length);
}

void ReleaseReceived(IoPort* /*port*/, SocketHandle /*handle*/) {}

// Winsock has no call that sends or receives many datagrams at once; the
// overlapped transfers carry them one at a time.
bool CanBatchDatagrams() { return false; }

IoResult SendDatagrams(IoPort* /*port*/, SocketHandle /*handle*/, const DatagramSlot* /*slots*/,
                       std::uint32_t /*count*/) {
  return {IoStatus::Pending, 0, 0};
}

IoResult ReceiveDatagrams(IoPort* /*port*/, SocketHandle /*handle*/, DatagramSlot* /*slots*/,
                          std::uint32_t /*count*/) {
  return {IoStatus::Pending, 0, 0};
}

// A transfer that has already finished is not found; that is not an error.
void CancelTransfer(IoPort* /*port*/, SocketHandle handle, IoRecord* record) {
  CancelIoEx(reinterpret_cast<HANDLE>(handle), &record->overlapped);
}

// closesocket alone should abort every outstanding transfer, but Wine leaves
// a pending send (and with it the receive) outstanding forever; cancelling
// first is what closesocket does anyway on Windows.
void CloseSocket(IoPort* /*port*/, SocketHandle handle) {
  CancelIoEx(reinterpret_cast<HANDLE>(handle), nullptr);
  closesocket(handle);
}

const char* ErrorText(int error) { return std::strerror(error); }

}  // namespace platform
