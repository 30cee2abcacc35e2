// The completion port's public operations on Linux: they pick a backend when
// the port is made and hand every call to it.
#include "platform/io_port.h"

#include <sys/socket.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <memory>

#include "port_backend.h"

namespace platform {

IoPort::~IoPort() = default;

// One non-blocking attempt. Returns the byte count, or -1 with errno set.
namespace {

constexpr int kSendFlags = MSG_DONTWAIT | MSG_NOSIGNAL;

ssize_t AttemptOnce(IoRecord* r) {
  switch (r->operation) {
    case IoOperation::Receive:
      // A wait for input: by the time it is tried the socket has something.
      if (r->length == 0) return 0;
      return recv(r->fd, r->buffer, r->length, MSG_DONTWAIT);
    case IoOperation::Send:
      return send(r->fd, r->buffer, r->length, kSendFlags);
    case IoOperation::ReceiveFrom: {
      socklen_t len = static_cast<socklen_t>(*r->addressLength);
      ssize_t n = recvfrom(r->fd, r->buffer, r->length, MSG_DONTWAIT,
                           static_cast<sockaddr*>(r->address), &len);
      if (n >= 0) *r->addressLength = static_cast<std::int32_t>(len);
      return n;
    }
    case IoOperation::SendTo:
      return sendto(r->fd, r->buffer, r->length, kSendFlags, static_cast<const sockaddr*>(r->address),
                    static_cast<socklen_t>(r->sendAddressLength));
    case IoOperation::None:
      break;
  }
  errno = EINVAL;
  return -1;
}

}  // namespace

// A signal that lands inside the call is no reason to park the transfer:
// nothing would wake it, as the socket may already be ready.
ssize_t Attempt(IoRecord* r) {
  ssize_t n;
  do {
    n = AttemptOnce(r);
  } while (n < 0 && errno == EINTR);
  return n;
}

bool WouldBlock(int error) { return error == EAGAIN || error == EWOULDBLOCK; }

IoResult ReceiveNow(int fd, void* buffer, std::uint32_t length) {
  IoRecord r;
  r.operation = IoOperation::Receive;
  r.fd = fd;
  r.buffer = buffer;
  r.length = length;
  const ssize_t n = Attempt(&r);
  if (n >= 0) return {IoStatus::CompletedAtOnce, static_cast<std::uint32_t>(n), 0};
  const int error = errno;
  if (WouldBlock(error)) return {IoStatus::Pending, 0, 0};
  return {IoStatus::Failed, 0, error};
}

bool IoPort::Post(const Completion& c) {
  std::lock_guard<std::mutex> lock(postedMutex);
  if (closed) return false;
  const bool first = posted.empty();
  posted.push_back(c);
  // One wake-up per batch: the loop takes everything posted when it wakes.
  return !first || Wake();
}

bool IoPort::Wake() {
  std::uint64_t one = 1;
  return write(wakeFd, &one, sizeof one) >= 0 || errno == EAGAIN;
}

void IoPort::TakePosted() {
  {
    std::lock_guard<std::mutex> lock(postedMutex);
    postedSwap.swap(posted);
  }
  for (const Completion& c : postedSwap) ready.push_back(c);
  postedSwap.clear();
}

int IoPort::HandOut(Completion* entries, int capacity) {
  int taken = 0;
  while (taken < capacity && !ready.empty()) {
    entries[taken++] = ready.front();
    ready.pop_front();
  }
  return taken;
}

void IoPort::Shut() {
  std::lock_guard<std::mutex> lock(postedMutex);
  closed = true;
  ReleaseKernelObjects();
  if (wakeFd >= 0) close(wakeFd);
  wakeFd = -1;
}

// backend: "epoll" asks for epoll; anything else (null, "", "io_uring")
// takes io_uring where the kernel allows it and epoll where it does not.
IoPort* CreateIoPort(const char* backend, int* error) {
  int refused = 0;
  if (backend == nullptr || std::strcmp(backend, "epoll") != 0) {
    if (IoPort* port = CreateUringPort(&refused)) return port;
  }
  IoPort* port = CreateEpollPort(error);
  if (port != nullptr) port->fallbackError = refused;
  return port;
}

void CloseIoPort(IoPort* port) {
  if (port == nullptr) return;
  port->Shut();
  // Every thread that posts to the port (the accept threads) is joined
  // before the loop closes it, so nothing can reach it any more.
  delete port;
}

const char* IoBackendName(const IoPort* port) { return port->Name(); }
int IoBackendFallbackError(const IoPort* port) { return port->fallbackError; }

bool AttachSocket(IoPort* port, SocketHandle handle, std::uintptr_t key, int* error) {
  const int fd = static_cast<int>(handle);
  if (fd < 0) {
    if (error != nullptr) *error = EBADF;
    return false;
  }
  return port->Attach(fd, key, error);
}

WaitStatus WaitForCompletions(IoPort* port, Completion* entries, int capacity, int timeoutMs, int* count,
                              int* error) {
  *count = 0;
  if (port == nullptr) return WaitStatus::PortClosed;
  return port->Wait(entries, capacity, timeoutMs, count, error);
}

bool PostCompletion(IoPort* port, std::uintptr_t key, std::uint32_t bytes, IoRecord* record) {
  return port->Post({key, record, bytes});
}

// A tag is the address of a byte the run holds until it closes the tag: as
// unique as a Windows event handle, and no counter shared between runs.
IoTag CreateIoTag() { return reinterpret_cast<IoTag>(new char); }

void CloseIoTag(IoTag tag) { delete reinterpret_cast<char*>(tag); }

void PrepareRecord(IoRecord* record, IoTag tag, void* owner) {
  *record = IoRecord{};
  record->tag = tag;
  record->owner = owner;
}

IoTag TagOf(const IoRecord* record) { return record->tag; }
void* OwnerOf(const IoRecord* record) { return record->owner; }

IoResult StartReceive(IoPort* port, SocketHandle handle, IoRecord* record, void* buffer, std::uint32_t length) {
  record->operation = IoOperation::Receive;
  record->fd = static_cast<int>(handle);
  record->buffer = buffer;
  record->length = length;
  return port->Start(record, true);
}

IoResult StartSend(IoPort* port, SocketHandle handle, IoRecord* record, const void* data, std::uint32_t length) {
  record->operation = IoOperation::Send;
  record->fd = static_cast<int>(handle);
  record->buffer = const_cast<void*>(data);
  record->length = length;
  return port->Start(record, false);
}

IoResult StartReceiveFrom(IoPort* port, SocketHandle handle, IoRecord* record, void* buffer, std::uint32_t length,
                          void* address, std::int32_t* addressLength) {
  record->operation = IoOperation::ReceiveFrom;
  record->fd = static_cast<int>(handle);
  record->buffer = buffer;
  record->length = length;
  record->address = address;
  record->addressLength = addressLength;
  return port->Start(record, true);
}

IoResult StartSendTo(IoPort* port, SocketHandle handle, IoRecord* record, const void* data, std::uint32_t length,
                     const void* address, std::int32_t addressLength) {
  record->operation = IoOperation::SendTo;
  record->fd = static_cast<int>(handle);
  record->buffer = const_cast<void*>(data);
  record->length = length;
  record->address = const_cast<void*>(address);
  record->sendAddressLength = addressLength;
  return port->Start(record, false);
}

IoResult ReceiveAvailable(IoPort* port, SocketHandle handle, void* buffer, std::uint32_t length) {
  return port->TakeAvailable(static_cast<int>(handle), buffer, length);
}

IoResult ReceiveInPlace(IoPort* port, SocketHandle handle, void* buffer, std::uint32_t length,
                        const std::uint8_t** data) {
  return port->TakeInPlace(static_cast<int>(handle), buffer, length, data);
}

void ReleaseReceived(IoPort* port, SocketHandle handle) { port->ReleaseTaken(static_cast<int>(handle)); }

namespace {

// The outcome of a batch call: how many datagrams went, or why none did.
IoResult BatchOutcome(int n) {
  if (n > 0) return {IoStatus::CompletedAtOnce, static_cast<std::uint32_t>(n), 0};
  if (n == 0 || WouldBlock(errno)) return {IoStatus::Pending, 0, 0};
  return {IoStatus::Failed, 0, errno};
}

// Both backends send and take datagram batches with the same plain calls: a
// pass's datagrams leave in one call instead of one each.
struct BatchMessages {
  BatchMessages(const DatagramSlot* slots, std::uint32_t n) : count(n < kMaxDatagramBatch ? n : kMaxDatagramBatch) {
    for (std::uint32_t i = 0; i < count; ++i) {
      vectors[i] = {slots[i].data, slots[i].length};
      messages[i] = mmsghdr{};
      messages[i].msg_hdr.msg_name = slots[i].address;
      messages[i].msg_hdr.msg_namelen = static_cast<socklen_t>(slots[i].addressLength);
      messages[i].msg_hdr.msg_iov = &vectors[i];
      messages[i].msg_hdr.msg_iovlen = 1;
    }
  }
  mmsghdr messages[kMaxDatagramBatch];
  iovec vectors[kMaxDatagramBatch];
  std::uint32_t count;
};

}  // namespace

bool CanBatchDatagrams() { return true; }

IoResult SendDatagrams(IoPort* /*port*/, SocketHandle handle, const DatagramSlot* slots, std::uint32_t count) {
  BatchMessages batch(slots, count);
  int n;
  do {
    n = sendmmsg(static_cast<int>(handle), batch.messages, batch.count, MSG_DONTWAIT | MSG_NOSIGNAL);
  } while (n < 0 && errno == EINTR);
  return BatchOutcome(n);
}

IoResult ReceiveDatagrams(IoPort* /*port*/, SocketHandle handle, DatagramSlot* slots, std::uint32_t count) {
  BatchMessages batch(slots, count);
  int n;
  do {
    n = recvmmsg(static_cast<int>(handle), batch.messages, batch.count, MSG_DONTWAIT, nullptr);
  } while (n < 0 && errno == EINTR);
  for (int i = 0; i < n; ++i) {
    slots[i].length = batch.messages[i].msg_len;
    slots[i].addressLength = static_cast<std::int32_t>(batch.messages[i].msg_hdr.msg_namelen);
    slots[i].truncated = (batch.messages[i].msg_hdr.msg_flags & MSG_TRUNC) != 0;
  }
  return BatchOutcome(n);
}

void CancelTransfer(IoPort* port, SocketHandle handle, IoRecord* record) {
  if (port != nullptr) port->Cancel(static_cast<int>(handle), record);
}

void CloseSocket(IoPort* port, SocketHandle handle) {
  if (port != nullptr) {
    port->Close(static_cast<int>(handle));
  } else {
    close(static_cast<int>(handle));
  }
}

const char* ErrorText(int error) { return std::strerror(error); }

}  // namespace platform
