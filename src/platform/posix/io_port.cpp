// The completion port emulated over epoll (edge-triggered) and non-blocking calls.
//
// Every transfer is tried at once; a call that would block is parked on its
// socket and finished when epoll reports the socket ready. Finished transfers
// wait in a FIFO of completions that WaitForCompletions hands out, so an
// immediate completion is delivered exactly like a deferred one.
#include "platform/io_port.h"

#include <sys/epoll.h>
#include <sys/eventfd.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <deque>
#include <memory>
#include <mutex>
#include <vector>

namespace platform {

namespace {

constexpr std::uint64_t kWakeMarker = ~std::uint64_t{0};
constexpr int kSendFlags = MSG_DONTWAIT | MSG_NOSIGNAL;

}  // namespace

// What the port knows of each attached descriptor.
struct Attachment {
  IoPort* port = nullptr;
  std::uintptr_t key = 0;
  IoRecord* parkedRead = nullptr;
  IoRecord* parkedWrite = nullptr;
  // A stream receive that got less than it asked for emptied the socket, and
  // epoll (edge-triggered) reports the next input: until then a receive is
  // parked at once instead of making a call that can only say "would block".
  // (Urgent data also shortens a read; a client sending it stalls only itself.)
  bool drained = false;
  // Once the peer has closed or the socket failed, a short read may still
  // leave the end of stream or the error to read, with no event to come.
  bool ended = false;
};

class IoPort {
 public:
  int epollFd = -1;
  int wakeFd = -1;
  std::deque<Completion> ready;
  // Indexed by descriptor number; an entry is in use while its port is set.
  std::vector<Attachment> attachments;
  std::mutex postedMutex;
  std::vector<Completion> posted;  // guarded by postedMutex
  std::vector<Completion> postedSwap;
  bool closed = false;             // guarded by postedMutex
};

namespace {

Attachment* Find(IoPort* port, int fd) {
  if (port == nullptr) return nullptr;
  auto& table = port->attachments;
  if (fd < 0 || static_cast<std::size_t>(fd) >= table.size() || table[fd].port == nullptr) return nullptr;
  return &table[fd];
}

// One non-blocking attempt. Returns the byte count, or -1 with errno set.
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

// Before the record is queued (which clears its operation).
void NoteReceived(Attachment& a, const IoRecord& r, ssize_t n) {
  if (r.operation == IoOperation::Receive && n > 0 && static_cast<std::uint32_t>(n) < r.length) a.drained = true;
}

void Queue(Attachment& a, IoRecord* r, std::uint32_t bytes) {
  r->operation = IoOperation::None;
  a.port->ready.push_back({a.key, r, bytes});
}

constexpr std::uint32_t kReadEvents = EPOLLIN | EPOLLRDHUP | EPOLLET;

// Write readiness is watched only while a send is parked: otherwise every
// acknowledgement that frees send-buffer space would wake the loop for nothing.
bool WatchWrites(Attachment& a, int fd, bool on) {
  epoll_event ev{};
  ev.events = on ? (kReadEvents | EPOLLOUT) : kReadEvents;
  ev.data.u64 = static_cast<std::uint64_t>(fd);
  return epoll_ctl(a.port->epollFd, EPOLL_CTL_MOD, fd, &ev) == 0;
}

IoResult Start(IoPort* port, IoRecord* r, bool isRead) {
  Attachment* a = Find(port, r->fd);
  if (a == nullptr) return {IoStatus::Failed, 0, EBADF};
  IoRecord*& slot = isRead ? a->parkedRead : a->parkedWrite;
  if (slot != nullptr) return {IoStatus::Failed, 0, EALREADY};
  // A stream receive not known to be empty is tried at once; a wait for input
  // then ends at once, and ReceiveAvailable finds out what is there.
  if (r->operation == IoOperation::Receive && a->drained && !a->ended) {
    slot = r;
    return {IoStatus::Pending, 0, 0};
  }
  ssize_t n = Attempt(r);
  if (n >= 0) {
    NoteReceived(*a, *r, n);
    Queue(*a, r, static_cast<std::uint32_t>(n));
    return {IoStatus::CompletedAtOnce, static_cast<std::uint32_t>(n), 0};
  }
  int error = errno;
  if (!WouldBlock(error)) {
    r->operation = IoOperation::None;
    return {IoStatus::Failed, 0, error};
  }
  // A send parked without write readiness watched would never finish, so
  // failing to watch it fails the send now.
  if (!isRead && !WatchWrites(*a, r->fd, true)) {
    error = errno;
    r->operation = IoOperation::None;
    return {IoStatus::Failed, 0, error};
  }
  slot = r;
  return {IoStatus::Pending, 0, 0};
}

// A parked transfer gets another try; a failure completes it with 0 bytes,
// which is how the system reports a failed overlapped transfer too.
void Retry(Attachment& a, IoRecord*& slot) {
  IoRecord* r = slot;
  ssize_t n = Attempt(r);
  if (n < 0 && WouldBlock(errno)) return;
  NoteReceived(a, *r, n);
  slot = nullptr;
  if (&slot == &a.parkedWrite) WatchWrites(a, r->fd, false);
  Queue(a, r, n < 0 ? 0 : static_cast<std::uint32_t>(n));
}

void Abort(Attachment& a, IoRecord*& slot) {
  if (slot == nullptr) return;
  IoRecord* r = slot;
  slot = nullptr;
  Queue(a, r, 0);
}

void DrainPosted(IoPort* port) {
  std::uint64_t counter;
  while (read(port->wakeFd, &counter, sizeof counter) > 0) {
  }
  {
    std::lock_guard<std::mutex> lock(port->postedMutex);
    port->postedSwap.swap(port->posted);
  }
  for (const Completion& c : port->postedSwap) port->ready.push_back(c);
  port->postedSwap.clear();
}

}  // namespace

IoPort* CreateIoPort(int* error) {
  auto* port = new IoPort;
  port->epollFd = epoll_create1(EPOLL_CLOEXEC);
  port->wakeFd = eventfd(0, EFD_NONBLOCK | EFD_CLOEXEC);
  epoll_event ev{};
  ev.events = EPOLLIN | EPOLLET;
  ev.data.u64 = kWakeMarker;
  if (port->epollFd < 0 || port->wakeFd < 0 || epoll_ctl(port->epollFd, EPOLL_CTL_ADD, port->wakeFd, &ev) != 0) {
    if (error != nullptr) *error = errno;
    CloseIoPort(port);
    return nullptr;
  }
  return port;
}

void CloseIoPort(IoPort* port) {
  if (port == nullptr) return;
  port->attachments.clear();
  {
    std::lock_guard<std::mutex> lock(port->postedMutex);
    port->closed = true;
    if (port->epollFd >= 0) close(port->epollFd);
    if (port->wakeFd >= 0) close(port->wakeFd);
    port->epollFd = port->wakeFd = -1;
  }
  // Detached accept threads may still post after the loop has gone; they must
  // find a closed port, not freed memory, so the object lives to process exit.
  static std::vector<std::unique_ptr<IoPort>> retired;
  static std::mutex retiredMutex;
  std::lock_guard<std::mutex> lock(retiredMutex);
  retired.emplace_back(port);
}

bool AttachSocket(IoPort* port, SocketHandle handle, std::uintptr_t key, int* error) {
  int fd = static_cast<int>(handle);
  if (fd < 0) {
    if (error != nullptr) *error = EBADF;
    return false;
  }
  epoll_event ev{};
  ev.events = kReadEvents;
  ev.data.u64 = static_cast<std::uint64_t>(fd);
  if (epoll_ctl(port->epollFd, EPOLL_CTL_ADD, fd, &ev) != 0) {
    if (error != nullptr) *error = errno;
    return false;
  }
  auto& table = port->attachments;
  if (table.size() <= static_cast<std::size_t>(fd)) table.resize(static_cast<std::size_t>(fd) * 2 + 64);
  table[fd] = Attachment{port, key, nullptr, nullptr};
  return true;
}

WaitStatus WaitForCompletions(IoPort* port, Completion* entries, int capacity, int timeoutMs, int* count,
                              int* error) {
  *count = 0;
  if (port == nullptr || port->epollFd < 0) return WaitStatus::PortClosed;
  epoll_event events[128];
  // Completions already queued are handed out without blocking, but the
  // kernel is still asked for whatever became ready meanwhile.
  int n = epoll_wait(port->epollFd, events, 128, port->ready.empty() ? timeoutMs : 0);
  if (n < 0) {
    if (errno == EINTR) return port->ready.empty() ? WaitStatus::TimedOut : WaitStatus::Ready;
    if (error != nullptr) *error = errno;
    return WaitStatus::Failed;
  }
  for (int i = 0; i < n; ++i) {
    if (events[i].data.u64 == kWakeMarker) {
      DrainPosted(port);
      continue;
    }
    Attachment* a = Find(port, static_cast<int>(events[i].data.u64));
    if (a == nullptr) continue;
    std::uint32_t ev = events[i].events;
    if ((ev & (EPOLLRDHUP | EPOLLERR | EPOLLHUP)) != 0) a->ended = true;
    if ((ev & (EPOLLIN | EPOLLRDHUP | EPOLLERR | EPOLLHUP)) != 0) {
      a->drained = false;
      if (a->parkedRead != nullptr) Retry(*a, a->parkedRead);
    }
    if ((ev & (EPOLLOUT | EPOLLERR | EPOLLHUP)) != 0 && a->parkedWrite != nullptr) Retry(*a, a->parkedWrite);
  }
  int taken = 0;
  while (taken < capacity && !port->ready.empty()) {
    entries[taken++] = port->ready.front();
    port->ready.pop_front();
  }
  *count = taken;
  return taken == 0 ? WaitStatus::TimedOut : WaitStatus::Ready;
}

bool PostCompletion(IoPort* port, std::uintptr_t key, std::uint32_t bytes, IoRecord* record) {
  std::lock_guard<std::mutex> lock(port->postedMutex);
  if (port->closed) return false;
  bool first = port->posted.empty();
  port->posted.push_back({key, record, bytes});
  // One wake-up per batch: the loop drains everything posted when it wakes.
  if (first) {
    std::uint64_t one = 1;
    if (write(port->wakeFd, &one, sizeof one) < 0 && errno != EAGAIN) return false;
  }
  return true;
}

IoTag CreateIoTag() {
  static std::uintptr_t next = 0;
  return ++next;
}

void CloseIoTag(IoTag) {}

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
  return Start(port, record, true);
}

IoResult StartSend(IoPort* port, SocketHandle handle, IoRecord* record, const void* data, std::uint32_t length) {
  record->operation = IoOperation::Send;
  record->fd = static_cast<int>(handle);
  record->buffer = const_cast<void*>(data);
  record->length = length;
  return Start(port, record, false);
}

IoResult StartReceiveFrom(IoPort* port, SocketHandle handle, IoRecord* record, void* buffer, std::uint32_t length,
                          void* address, std::int32_t* addressLength) {
  record->operation = IoOperation::ReceiveFrom;
  record->fd = static_cast<int>(handle);
  record->buffer = buffer;
  record->length = length;
  record->address = address;
  record->addressLength = addressLength;
  return Start(port, record, true);
}

IoResult StartSendTo(IoPort* port, SocketHandle handle, IoRecord* record, const void* data, std::uint32_t length,
                     const void* address, std::int32_t addressLength) {
  record->operation = IoOperation::SendTo;
  record->fd = static_cast<int>(handle);
  record->buffer = const_cast<void*>(data);
  record->length = length;
  record->address = const_cast<void*>(address);
  record->sendAddressLength = addressLength;
  return Start(port, record, false);
}

IoResult ReceiveAvailable(IoPort* port, SocketHandle handle, void* buffer, std::uint32_t length) {
  Attachment* a = Find(port, static_cast<int>(handle));
  if (a != nullptr && a->drained && !a->ended) return {IoStatus::Pending, 0, 0};
  IoRecord r;
  r.operation = IoOperation::Receive;
  r.fd = static_cast<int>(handle);
  r.buffer = buffer;
  r.length = length;
  const ssize_t n = Attempt(&r);
  if (n < 0) {
    const int error = errno;
    if (!WouldBlock(error)) return {IoStatus::Failed, 0, error};
    if (a != nullptr) a->drained = true;
    return {IoStatus::Pending, 0, 0};
  }
  if (a != nullptr) NoteReceived(*a, r, n);
  return {IoStatus::CompletedAtOnce, static_cast<std::uint32_t>(n), 0};
}

void CancelTransfer(IoPort* port, SocketHandle handle, IoRecord* record) {
  Attachment* a = Find(port, static_cast<int>(handle));
  if (a == nullptr) return;
  if (a->parkedRead == record) Abort(*a, a->parkedRead);
  if (a->parkedWrite == record) Abort(*a, a->parkedWrite);
}

void CloseSocket(IoPort* port, SocketHandle handle) {
  int fd = static_cast<int>(handle);
  if (Attachment* a = Find(port, fd)) {
    Abort(*a, a->parkedRead);
    Abort(*a, a->parkedWrite);
    *a = Attachment{};
  }
  close(fd);
}

const char* ErrorText(int error) { return std::strerror(error); }

}  // namespace platform
