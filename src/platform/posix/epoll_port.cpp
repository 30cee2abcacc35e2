// The completion port emulated over epoll (edge-triggered) and non-blocking calls.
//
// Every transfer is tried at once; a call that would block is parked on its
// socket and finished when epoll reports the socket ready. Finished transfers
// wait in a FIFO of completions that the wait hands out, so an immediate
// completion is delivered exactly like a deferred one.
#include <sys/epoll.h>
#include <sys/eventfd.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cerrno>
#include <vector>

#include "port_backend.h"

namespace platform {
namespace {

constexpr std::uint64_t kWakeMarker = ~std::uint64_t{0};
constexpr std::uint32_t kReadEvents = EPOLLIN | EPOLLRDHUP | EPOLLET;

// What the port knows of each attached descriptor.
struct Attachment {
  bool used = false;
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

// Before the record is queued (which clears its operation).
void NoteReceived(Attachment& a, const IoRecord& r, ssize_t n) {
  if (r.operation == IoOperation::Receive && n > 0 && static_cast<std::uint32_t>(n) < r.length) a.drained = true;
}

class EpollPort final : public IoPort {
 public:
  bool Open(int* error);
  const char* Name() const override { return "epoll"; }
  bool Attach(int fd, std::uintptr_t key, int* error) override;
  WaitStatus Wait(Completion* entries, int capacity, int timeoutMs, int* count, int* error) override;
  IoResult Start(IoRecord* record, bool isRead) override;
  IoResult TakeAvailable(int fd, void* buffer, std::uint32_t length) override;
  void Cancel(int fd, IoRecord* record) override;
  void Close(int fd) override;

 private:
  void ReleaseKernelObjects() override;
  Attachment* Find(int fd);
  bool WatchWrites(int fd, bool on);
  void Retry(Attachment& a, IoRecord*& slot);
  void Abort(Attachment& a, IoRecord*& slot);

  int epollFd = -1;
  // Indexed by descriptor number.
  std::vector<Attachment> attachments;
};

bool EpollPort::Open(int* error) {
  epollFd = epoll_create1(EPOLL_CLOEXEC);
  wakeFd = eventfd(0, EFD_NONBLOCK | EFD_CLOEXEC);
  epoll_event ev{};
  ev.events = EPOLLIN | EPOLLET;
  ev.data.u64 = kWakeMarker;
  if (epollFd < 0 || wakeFd < 0 || epoll_ctl(epollFd, EPOLL_CTL_ADD, wakeFd, &ev) != 0) {
    if (error != nullptr) *error = errno;
    return false;
  }
  return true;
}

void EpollPort::ReleaseKernelObjects() {
  attachments.clear();
  if (epollFd >= 0) close(epollFd);
  epollFd = -1;
}

Attachment* EpollPort::Find(int fd) {
  if (fd < 0 || static_cast<std::size_t>(fd) >= attachments.size() || !attachments[fd].used) return nullptr;
  return &attachments[fd];
}

// Write readiness is watched only while a send is parked: otherwise every
// acknowledgement that frees send-buffer space would wake the loop for nothing.
bool EpollPort::WatchWrites(int fd, bool on) {
  epoll_event ev{};
  ev.events = on ? (kReadEvents | EPOLLOUT) : kReadEvents;
  ev.data.u64 = static_cast<std::uint64_t>(fd);
  return epoll_ctl(epollFd, EPOLL_CTL_MOD, fd, &ev) == 0;
}

IoResult EpollPort::Start(IoRecord* r, bool isRead) {
  Attachment* a = Find(r->fd);
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
    Complete(a->key, r, static_cast<std::uint32_t>(n));
    return {IoStatus::CompletedAtOnce, static_cast<std::uint32_t>(n), 0};
  }
  int error = errno;
  if (!WouldBlock(error)) {
    r->operation = IoOperation::None;
    return {IoStatus::Failed, 0, error};
  }
  // A send parked without write readiness watched would never finish, so
  // failing to watch it fails the send now.
  if (!isRead && !WatchWrites(r->fd, true)) {
    error = errno;
    r->operation = IoOperation::None;
    return {IoStatus::Failed, 0, error};
  }
  slot = r;
  return {IoStatus::Pending, 0, 0};
}

// A parked transfer gets another try; a failure completes it with 0 bytes,
// which is how the system reports a failed overlapped transfer too.
void EpollPort::Retry(Attachment& a, IoRecord*& slot) {
  IoRecord* r = slot;
  ssize_t n = Attempt(r);
  if (n < 0 && WouldBlock(errno)) return;
  NoteReceived(a, *r, n);
  slot = nullptr;
  if (&slot == &a.parkedWrite) WatchWrites(r->fd, false);
  Complete(a.key, r, n < 0 ? 0 : static_cast<std::uint32_t>(n));
}

void EpollPort::Abort(Attachment& a, IoRecord*& slot) {
  if (slot == nullptr) return;
  IoRecord* r = slot;
  slot = nullptr;
  Complete(a.key, r, 0);
}

bool EpollPort::Attach(int fd, std::uintptr_t key, int* error) {
  epoll_event ev{};
  ev.events = kReadEvents;
  ev.data.u64 = static_cast<std::uint64_t>(fd);
  if (epoll_ctl(epollFd, EPOLL_CTL_ADD, fd, &ev) != 0) {
    if (error != nullptr) *error = errno;
    return false;
  }
  if (attachments.size() <= static_cast<std::size_t>(fd)) attachments.resize(static_cast<std::size_t>(fd) * 2 + 64);
  attachments[fd] = Attachment{true, key};
  return true;
}

WaitStatus EpollPort::Wait(Completion* entries, int capacity, int timeoutMs, int* count, int* error) {
  if (epollFd < 0) return WaitStatus::PortClosed;
  epoll_event events[512];
  // Completions already queued are handed out without blocking, but the
  // kernel is still asked for whatever became ready meanwhile.
  int n = epoll_wait(epollFd, events, 512, ready.empty() ? timeoutMs : 0);
  if (n < 0) {
    if (errno == EINTR) return ready.empty() ? WaitStatus::TimedOut : WaitStatus::Ready;
    if (error != nullptr) *error = errno;
    return WaitStatus::Failed;
  }
  for (int i = 0; i < n; ++i) {
    if (events[i].data.u64 == kWakeMarker) {
      std::uint64_t counter;
      while (read(wakeFd, &counter, sizeof counter) > 0) {
      }
      TakePosted();
      continue;
    }
    Attachment* a = Find(static_cast<int>(events[i].data.u64));
    if (a == nullptr) continue;
    std::uint32_t ev = events[i].events;
    if ((ev & (EPOLLRDHUP | EPOLLERR | EPOLLHUP)) != 0) a->ended = true;
    if ((ev & (EPOLLIN | EPOLLRDHUP | EPOLLERR | EPOLLHUP)) != 0) {
      a->drained = false;
      if (a->parkedRead != nullptr) Retry(*a, a->parkedRead);
    }
    if ((ev & (EPOLLOUT | EPOLLERR | EPOLLHUP)) != 0 && a->parkedWrite != nullptr) Retry(*a, a->parkedWrite);
  }
  *count = HandOut(entries, capacity);
  return *count == 0 ? WaitStatus::TimedOut : WaitStatus::Ready;
}

IoResult EpollPort::TakeAvailable(int fd, void* buffer, std::uint32_t length) {
  Attachment* a = Find(fd);
  if (a != nullptr && a->drained && !a->ended) return {IoStatus::Pending, 0, 0};
  const IoResult got = ReceiveNow(fd, buffer, length);
  if (a != nullptr && (got.status == IoStatus::Pending ||
                       (got.status == IoStatus::CompletedAtOnce && got.bytes > 0 && got.bytes < length))) {
    a->drained = true;
  }
  return got;
}

void EpollPort::Cancel(int fd, IoRecord* record) {
  Attachment* a = Find(fd);
  if (a == nullptr) return;
  if (a->parkedRead == record) Abort(*a, a->parkedRead);
  if (a->parkedWrite == record) Abort(*a, a->parkedWrite);
}

void EpollPort::Close(int fd) {
  if (Attachment* a = Find(fd)) {
    Abort(*a, a->parkedRead);
    Abort(*a, a->parkedWrite);
    *a = Attachment{};
  }
  close(fd);
}

}  // namespace

IoPort* CreateEpollPort(int* error) {
  auto* port = new EpollPort;
  if (!port->Open(error)) {
    CloseIoPort(port);
    return nullptr;
  }
  return port;
}

}  // namespace platform
