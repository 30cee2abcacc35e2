// The completion port over io_uring, itself a completion interface: a started
// transfer becomes a submission, and one system call per wait submits what
// the pass started and reaps what finished.
//
// An idle connection holds no receive buffer: its wait for input is a receive
// that takes a buffer from a ring the kernel picks from only when data
// arrives. Where the kernel has it, that receive is a multishot one, armed
// once and left armed: each arrival fills a buffer and is queued on the
// socket, and a wait for input ends at once when something is queued, or
// when the next arrival comes. ReceiveInPlace hands out a queued buffer's
// bytes where they lie, and ReleaseReceived gives it back.
// Datagrams are tried at once, as on epoll, since the loop keeps one datagram
// transfer of each kind outstanding per socket and takes many in one pass.
#include <liburing.h>
#include <sys/eventfd.h>
#include <sys/mman.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <memory>
#include <vector>

#include "port_backend.h"

namespace platform {
namespace {

constexpr unsigned kSubmissionEntries = 4096;
constexpr unsigned kCompletionEntries = 32768;
// Buffers in flight at once are those of connections whose input has arrived
// and not yet been read, a pass's worth; when they run out a wait reports
// anyway and the input is read with a plain call.
constexpr unsigned kBufferCount = 2048;  // a power of two
constexpr unsigned kBufferSize = 1024;
constexpr int kBufferGroup = 0;
// Records are aligned, so these never name one. A multishot receive's
// submissions carry kMultishotBits with the socket's descriptor and the
// generation of its attachment, never a record: they outlive every wait.
constexpr std::uint64_t kCancelTag = 1;
constexpr std::uint64_t kWakeTag = 2;
constexpr std::uint64_t kMultishotBits = 3;
constexpr std::uint64_t kTagMask = 7;
// Buffers one socket may have filled and not yet taken before its multishot
// receive is ended: one that does not read cannot take the whole ring.
constexpr std::uint16_t kMaxQueued = 4;
constexpr std::uint16_t kNoBuffer = 0xFFFF;

// What follows the queued input.
enum class After : std::uint8_t { Nothing, End, Error };
enum class Multishot : std::uint8_t { Off, Armed, Ending };

struct Attachment {
  bool used = false;
  After after = After::Nothing;
  Multishot multishot = Multishot::Off;
  // A wait found no buffer free or a receive ended: the socket may hold more
  // than is queued, and a plain receive finds out.
  bool mayHoldMore = false;
  bool readCancelled = false;
  bool writeCancelled = false;
  // The reading record waits on the multishot receive: no submission of its
  // own will report it.
  bool readingWaits = false;
  // The first queued buffer's bytes are out with TakeInPlace until ReleaseTaken.
  bool lent = false;
  std::uint16_t first = kNoBuffer;
  std::uint16_t last = kNoBuffer;
  std::uint16_t queued = 0;
  std::uint32_t firstOffset = 0;
  int error = 0;  // for After::Error
  std::uint32_t generation = 0;
  std::uintptr_t key = 0;
  IoRecord* reading = nullptr;
  IoRecord* writing = nullptr;
};

// The message header a datagram transfer needs until it completes; one per
// record, made the first time and reused.
struct MessageSlot {
  IoRecord* record;
  msghdr header;
  iovec vector;
};

class UringPort final : public IoPort {
 public:
  ~UringPort() override;
  bool Open(int* error);
  const char* Name() const override { return "io_uring"; }
  bool Attach(int fd, std::uintptr_t key, int* error) override;
  WaitStatus Wait(Completion* entries, int capacity, int timeoutMs, int* count, int* error) override;
  IoResult Start(IoRecord* record, bool isRead) override;
  IoResult TakeAvailable(int fd, void* buffer, std::uint32_t length) override;
  IoResult TakeInPlace(int fd, void* buffer, std::uint32_t length, const std::uint8_t** data) override;
  void ReleaseTaken(int fd) override;
  void Cancel(int fd, IoRecord* record) override;
  void Close(int fd) override;

 private:
  void ReleaseKernelObjects() override;
  Attachment* Find(int fd);
  io_uring_sqe* NextEntry();
  bool ArmWake();
  void GiveBack(std::uint16_t buffer);
  MessageSlot& SlotFor(IoRecord* record);
  void Reap(const io_uring_cqe& cqe);
  void CancelRecord(IoRecord* record);
  void CloseSubmitted();
  IoResult TryDatagram(Attachment& a, IoRecord* r);
  std::uint64_t MultishotTag(int fd, const Attachment& a) const {
    return std::uint64_t{a.generation} << 32 | static_cast<std::uint64_t>(fd) << 3 | kMultishotBits;
  }
  bool ArmMultishot(int fd, Attachment& a);
  void ReapMultishot(const io_uring_cqe& cqe);
  void Enqueue(Attachment& a, std::uint16_t buffer, std::uint32_t length);
  // Gives back the first queued buffer, once all of it is taken.
  void DropFirst(Attachment& a);
  void FinishWait(Attachment& a);
  bool InputKnown(const Attachment& a) const {
    return a.queued != 0 || a.after != After::Nothing || a.mayHoldMore;
  }

  io_uring ring{};
  bool ringOpen = false;
  io_uring_buf_ring* bufferRing = nullptr;
  std::unique_ptr<std::uint8_t[]> buffers;
  // Per buffer while it is queued on a socket: the next one and its length.
  std::unique_ptr<std::uint16_t[]> nextQueued;
  std::unique_ptr<std::uint32_t[]> queuedLength;
  std::uint32_t nextGeneration = 0;
  // Cleared when the kernel refuses a multishot receive: single waits then.
  bool multishotWorks = true;
  std::uint64_t wakeCounter = 0;
  std::vector<Attachment> attachments;  // indexed by descriptor number
  std::vector<std::unique_ptr<MessageSlot>> slots;
  std::vector<int> closing;  // closed by the loop, not yet by the system
};

UringPort::~UringPort() {
  if (bufferRing != nullptr) munmap(bufferRing, kBufferCount * sizeof(io_uring_buf));
}

bool UringPort::Open(int* error) {
  io_uring_params params{};
  params.flags = IORING_SETUP_CQSIZE | IORING_SETUP_SUBMIT_ALL | IORING_SETUP_COOP_TASKRUN |
                 IORING_SETUP_SINGLE_ISSUER | IORING_SETUP_DEFER_TASKRUN;
  params.cq_entries = kCompletionEntries;
  int rc = io_uring_queue_init_params(kSubmissionEntries, &ring, &params);
  if (rc == -EINVAL) {
    // Kernels before 6.1 lack the cheaper ways of running completions.
    params = io_uring_params{};
    params.flags = IORING_SETUP_CQSIZE;
    params.cq_entries = kCompletionEntries;
    rc = io_uring_queue_init_params(kSubmissionEntries, &ring, &params);
  }
  if (rc < 0) {
    *error = -rc;
    return false;
  }
  ringOpen = true;
  void* memory = mmap(nullptr, kBufferCount * sizeof(io_uring_buf), PROT_READ | PROT_WRITE,
                      MAP_PRIVATE | MAP_ANONYMOUS, -1, 0);
  if (memory == MAP_FAILED) {
    *error = errno;
    return false;
  }
  bufferRing = static_cast<io_uring_buf_ring*>(memory);
  io_uring_buf_reg registration{};
  registration.ring_addr = reinterpret_cast<std::uintptr_t>(bufferRing);
  registration.ring_entries = kBufferCount;
  registration.bgid = kBufferGroup;
  rc = io_uring_register_buf_ring(&ring, &registration, 0);
  if (rc < 0) {  // before 5.19
    *error = -rc;
    return false;
  }
  io_uring_buf_ring_init(bufferRing);
  buffers = std::make_unique<std::uint8_t[]>(std::size_t{kBufferCount} * kBufferSize);
  nextQueued = std::make_unique<std::uint16_t[]>(kBufferCount);
  queuedLength = std::make_unique<std::uint32_t[]>(kBufferCount);
  for (unsigned i = 0; i < kBufferCount; ++i) {
    io_uring_buf_ring_add(bufferRing, buffers.get() + std::size_t{i} * kBufferSize, kBufferSize,
                          static_cast<unsigned short>(i), io_uring_buf_ring_mask(kBufferCount), static_cast<int>(i));
  }
  io_uring_buf_ring_advance(bufferRing, static_cast<int>(kBufferCount));
  wakeFd = eventfd(0, EFD_NONBLOCK | EFD_CLOEXEC);
  if (wakeFd < 0) {
    *error = errno;
    return false;
  }
  if (!ArmWake()) {
    *error = EBUSY;
    return false;
  }
  // Submitted now, so a system that refuses the operations themselves (a
  // seccomp profile can) is found out here and epoll used instead.
  rc = io_uring_submit(&ring);
  if (rc < 0) {
    *error = -rc;
    return false;
  }
  return true;
}

void UringPort::ReleaseKernelObjects() {
  // The kernel cancels what is outstanding; the buffers stay until the object
  // goes, at process exit.
  if (ringOpen) {
    CloseSubmitted();
    io_uring_queue_exit(&ring);
  }
  ringOpen = false;
  attachments.clear();
}

Attachment* UringPort::Find(int fd) {
  if (fd < 0 || static_cast<std::size_t>(fd) >= attachments.size() || !attachments[fd].used) return nullptr;
  return &attachments[fd];
}

// A full submission queue is submitted to make room.
io_uring_sqe* UringPort::NextEntry() {
  io_uring_sqe* sqe = io_uring_get_sqe(&ring);
  if (sqe != nullptr) return sqe;
  io_uring_submit(&ring);
  return io_uring_get_sqe(&ring);
}

bool UringPort::ArmWake() {
  io_uring_sqe* sqe = NextEntry();
  if (sqe == nullptr) return false;
  io_uring_prep_read(sqe, wakeFd, &wakeCounter, sizeof wakeCounter, 0);
  io_uring_sqe_set_data64(sqe, kWakeTag);
  return true;
}

void UringPort::GiveBack(std::uint16_t buffer) {
  io_uring_buf_ring_add(bufferRing, buffers.get() + std::size_t{buffer} * kBufferSize, kBufferSize, buffer,
                        io_uring_buf_ring_mask(kBufferCount), 0);
  io_uring_buf_ring_advance(bufferRing, 1);
}

MessageSlot& UringPort::SlotFor(IoRecord* record) {
  for (auto& slot : slots)
    if (slot->record == record) return *slot;
  slots.push_back(std::make_unique<MessageSlot>());
  slots.back()->record = record;
  return *slots.back();
}

bool UringPort::Attach(int fd, std::uintptr_t key, int* /*error*/) {
  if (attachments.size() <= static_cast<std::size_t>(fd)) attachments.resize(static_cast<std::size_t>(fd) * 2 + 64);
  attachments[fd] = Attachment{};
  attachments[fd].used = true;
  attachments[fd].key = key;
  attachments[fd].generation = ++nextGeneration;
  return true;
}

bool UringPort::ArmMultishot(int fd, Attachment& a) {
  io_uring_sqe* sqe = NextEntry();
  if (sqe == nullptr) return false;
  io_uring_prep_recv(sqe, fd, nullptr, 0, 0);
  sqe->ioprio |= IORING_RECV_MULTISHOT;
  sqe->flags |= IOSQE_BUFFER_SELECT;
  sqe->buf_group = kBufferGroup;
  io_uring_sqe_set_data64(sqe, MultishotTag(fd, a));
  a.multishot = Multishot::Armed;
  return true;
}

void UringPort::Enqueue(Attachment& a, std::uint16_t buffer, std::uint32_t length) {
  queuedLength[buffer] = length;
  nextQueued[buffer] = kNoBuffer;
  if (a.last == kNoBuffer) {
    a.first = buffer;
    a.firstOffset = 0;
  } else {
    nextQueued[a.last] = buffer;
  }
  a.last = buffer;
  ++a.queued;
}

void UringPort::DropFirst(Attachment& a) {
  const std::uint16_t buffer = a.first;
  a.first = nextQueued[buffer];
  if (a.first == kNoBuffer) a.last = kNoBuffer;
  a.firstOffset = 0;
  --a.queued;
  // Without a multishot receive armed, a full buffer may have left more in
  // the socket; while one is armed, whatever else comes is queued by it.
  if (a.queued == 0 && a.multishot == Multishot::Off) a.mayHoldMore = queuedLength[buffer] == kBufferSize;
  GiveBack(buffer);
}

// A wait for input that rests on the multishot receive ends once something
// is known to be there.
void UringPort::FinishWait(Attachment& a) {
  if (a.reading == nullptr || !a.readingWaits || !InputKnown(a)) return;
  IoRecord* r = a.reading;
  a.reading = nullptr;
  a.readingWaits = false;
  Complete(a.key, r, 0);
}

IoResult UringPort::TryDatagram(Attachment& a, IoRecord* r) {
  const ssize_t n = Attempt(r);
  if (n >= 0) {
    Complete(a.key, r, static_cast<std::uint32_t>(n));
    return {IoStatus::CompletedAtOnce, static_cast<std::uint32_t>(n), 0};
  }
  const int error = errno;
  if (!WouldBlock(error)) {
    r->operation = IoOperation::None;
    return {IoStatus::Failed, 0, error};
  }
  return {IoStatus::Pending, 0, 0};
}

IoResult UringPort::Start(IoRecord* r, bool isRead) {
  Attachment* a = Find(r->fd);
  if (a == nullptr) return {IoStatus::Failed, 0, EBADF};
  IoRecord*& side = isRead ? a->reading : a->writing;
  if (side != nullptr) return {IoStatus::Failed, 0, EALREADY};
  r->key = a->key;
  const bool waitForInput = r->operation == IoOperation::Receive && r->length == 0;
  if (waitForInput && InputKnown(*a)) {
    // Something is known to be there: the wait ends at once.
    Complete(a->key, r, 0);
    return {IoStatus::CompletedAtOnce, 0, 0};
  }
  if (waitForInput && multishotWorks) {
    // The next arrival, or the end of a receive that is ending, reports it.
    if (a->multishot == Multishot::Off && !ArmMultishot(r->fd, *a)) {
      r->operation = IoOperation::None;
      return {IoStatus::Failed, 0, EBUSY};
    }
    side = r;
    a->readingWaits = true;
    a->readCancelled = false;
    return {IoStatus::Pending, 0, 0};
  }
  if (r->operation == IoOperation::ReceiveFrom || r->operation == IoOperation::SendTo) {
    IoResult tried = TryDatagram(*a, r);
    if (tried.status != IoStatus::Pending) return tried;
  }
  io_uring_sqe* sqe = NextEntry();
  if (sqe == nullptr) {
    r->operation = IoOperation::None;
    return {IoStatus::Failed, 0, EBUSY};
  }
  switch (r->operation) {
    case IoOperation::Receive:
      if (waitForInput) {
        io_uring_prep_recv(sqe, r->fd, nullptr, kBufferSize, 0);
        sqe->flags |= IOSQE_BUFFER_SELECT;
        sqe->buf_group = kBufferGroup;
      } else {
        io_uring_prep_recv(sqe, r->fd, r->buffer, r->length, 0);
      }
      break;
    case IoOperation::Send:
      io_uring_prep_send(sqe, r->fd, r->buffer, r->length, MSG_NOSIGNAL);
      break;
    case IoOperation::ReceiveFrom:
    case IoOperation::SendTo: {
      MessageSlot& slot = SlotFor(r);
      slot.vector = {r->buffer, r->length};
      slot.header = msghdr{};
      slot.header.msg_name = r->address;
      slot.header.msg_iov = &slot.vector;
      slot.header.msg_iovlen = 1;
      if (r->operation == IoOperation::ReceiveFrom) {
        slot.header.msg_namelen = static_cast<socklen_t>(*r->addressLength);
        io_uring_prep_recvmsg(sqe, r->fd, &slot.header, 0);
      } else {
        slot.header.msg_namelen = static_cast<socklen_t>(r->sendAddressLength);
        io_uring_prep_sendmsg(sqe, r->fd, &slot.header, MSG_NOSIGNAL);
      }
      break;
    }
    case IoOperation::None:
      io_uring_prep_nop(sqe);
      break;
  }
  io_uring_sqe_set_data(sqe, r);
  side = r;
  (isRead ? a->readCancelled : a->writeCancelled) = false;
  return {IoStatus::Pending, 0, 0};
}

// A completion of a socket closed meanwhile (its descriptor perhaps already
// another socket's) reports 0 bytes and leaves that socket's state alone.
void UringPort::ReapMultishot(const io_uring_cqe& cqe) {
  const std::uint64_t tag = io_uring_cqe_get_data64(&cqe);
  const int fd = static_cast<int>((tag & 0xFFFFFFFFu) >> 3);
  Attachment* a = Find(fd);
  // A report for a socket closed meanwhile, its number perhaps reused.
  if (a != nullptr && a->generation != static_cast<std::uint32_t>(tag >> 32)) a = nullptr;
  const int result = cqe.res;
  if ((cqe.flags & IORING_CQE_F_BUFFER) != 0) {
    const auto buffer = static_cast<std::uint16_t>(cqe.flags >> IORING_CQE_BUFFER_SHIFT);
    if (a != nullptr && result > 0) {
      Enqueue(*a, buffer, static_cast<std::uint32_t>(result));
    } else {
      GiveBack(buffer);
    }
  }
  if (a == nullptr) return;
  if ((cqe.flags & IORING_CQE_F_MORE) == 0) {
    a->multishot = Multishot::Off;
    if (result == 0) {
      a->after = After::End;
    } else if (result == -EINVAL && a->queued == 0) {
      // Refused outright: this kernel has no multishot receive.
      multishotWorks = false;
      a->mayHoldMore = true;
    } else if (result < 0 && result != -ENOBUFS && result != -ECANCELED) {
      a->after = After::Error;
      a->error = -result;
    } else {
      // Out of buffers, ended by us, or ended after data: the socket may hold
      // more, which a plain receive takes.
      a->mayHoldMore = true;
    }
  } else if (a->queued >= kMaxQueued && a->multishot == Multishot::Armed) {
    // Not read fast enough: the rest waits in the socket, as it would for a
    // single receive, until the queue is taken.
    io_uring_sqe* sqe = NextEntry();
    if (sqe != nullptr) {
      io_uring_prep_cancel64(sqe, tag, 0);
      io_uring_sqe_set_data64(sqe, kCancelTag);
      a->multishot = Multishot::Ending;
    }
  }
  FinishWait(*a);
}

void UringPort::Reap(const io_uring_cqe& cqe) {
  const std::uint64_t tag = io_uring_cqe_get_data64(&cqe);
  if (tag == kCancelTag) return;
  if ((tag & kTagMask) == kMultishotBits) {
    ReapMultishot(cqe);
    return;
  }
  if (tag == kWakeTag) {
    TakePosted();
    ArmWake();
    return;
  }
  auto* r = static_cast<IoRecord*>(io_uring_cqe_get_data(&cqe));
  Attachment* a = Find(r->fd);
  bool current = false;
  bool cancelled = false;
  if (a != nullptr && a->reading == r) {
    a->reading = nullptr;
    current = true;
    cancelled = a->readCancelled;
  } else if (a != nullptr && a->writing == r) {
    a->writing = nullptr;
    current = true;
    cancelled = a->writeCancelled;
  }
  const int result = cqe.res;
  // A cancelled transfer reports 0 bytes, also when it moved some first.
  std::uint32_t bytes = result > 0 && current && !cancelled ? static_cast<std::uint32_t>(result) : 0;
  if (r->operation == IoOperation::Receive && r->length == 0) {
    bytes = 0;
    if ((cqe.flags & IORING_CQE_F_BUFFER) != 0) {
      const auto buffer = static_cast<std::uint16_t>(cqe.flags >> IORING_CQE_BUFFER_SHIFT);
      if (current && result > 0) {
        Enqueue(*a, buffer, static_cast<std::uint32_t>(result));
      } else {
        GiveBack(buffer);
      }
    } else if (current && result == 0) {
      a->after = After::End;
    } else if (current && result == -ENOBUFS) {
      a->mayHoldMore = true;
    } else if (current && result < 0 && result != -ECANCELED) {
      a->after = After::Error;
      a->error = -result;
    }
  } else if (r->operation == IoOperation::ReceiveFrom && result >= 0) {
    *r->addressLength = static_cast<std::int32_t>(SlotFor(r).header.msg_namelen);
  }
  Complete(r->key, r, bytes);
}

WaitStatus UringPort::Wait(Completion* entries, int capacity, int timeoutMs, int* count, int* error) {
  if (!ringOpen) return WaitStatus::PortClosed;
  CloseSubmitted();
  int rc;
  if (ready.empty()) {
    __kernel_timespec timeout{timeoutMs / 1000, static_cast<long long>(timeoutMs % 1000) * 1000000};
    io_uring_cqe* first = nullptr;
    rc = io_uring_submit_and_wait_timeout(&ring, &first, 1, &timeout, nullptr);
  } else {
    // Completions already queued are handed out without blocking, but the
    // kernel is still given the pass's submissions and asked what finished.
    rc = io_uring_submit_and_get_events(&ring);
  }
  if (rc < 0 && rc != -ETIME && rc != -EINTR && rc != -EBUSY) {
    if (error != nullptr) *error = -rc;
    return WaitStatus::Failed;
  }
  unsigned head;
  unsigned seen = 0;
  io_uring_cqe* cqe;
  io_uring_for_each_cqe(&ring, head, cqe) {
    Reap(*cqe);
    ++seen;
  }
  io_uring_cq_advance(&ring, seen);
  *count = HandOut(entries, capacity);
  return *count == 0 ? WaitStatus::TimedOut : WaitStatus::Ready;
}

IoResult UringPort::TakeAvailable(int fd, void* buffer, std::uint32_t length) {
  Attachment* a = Find(fd);
  if (a != nullptr) {
    if (a->queued != 0) {
      const std::uint32_t n = std::min(length, queuedLength[a->first] - a->firstOffset);
      std::memcpy(buffer, buffers.get() + std::size_t{a->first} * kBufferSize + a->firstOffset, n);
      a->firstOffset += n;
      if (a->firstOffset == queuedLength[a->first]) DropFirst(*a);
      return {IoStatus::CompletedAtOnce, n, 0};
    }
    if (a->after == After::End) return {IoStatus::CompletedAtOnce, 0, 0};
    if (a->after == After::Error) return {IoStatus::Failed, 0, a->error};
    if (!a->mayHoldMore) return {IoStatus::Pending, 0, 0};
  }
  const IoResult got = ReceiveNow(fd, buffer, length);
  if (a != nullptr && got.status != IoStatus::Failed) {
    const bool took = got.status == IoStatus::CompletedAtOnce;
    if (took && got.bytes == 0) a->after = After::End;
    a->mayHoldMore = took && got.bytes == length;
  }
  return got;
}

IoResult UringPort::TakeInPlace(int fd, void* buffer, std::uint32_t length, const std::uint8_t** data) {
  Attachment* a = Find(fd);
  if (a == nullptr || a->queued == 0) {
    *data = static_cast<const std::uint8_t*>(buffer);
    return TakeAvailable(fd, buffer, length);
  }
  *data = buffers.get() + std::size_t{a->first} * kBufferSize + a->firstOffset;
  const std::uint32_t n = queuedLength[a->first] - a->firstOffset;
  a->firstOffset = queuedLength[a->first];
  a->lent = true;
  return {IoStatus::CompletedAtOnce, n, 0};
}

void UringPort::ReleaseTaken(int fd) {
  Attachment* a = Find(fd);
  if (a == nullptr || !a->lent) return;
  a->lent = false;
  DropFirst(*a);
}

void UringPort::CancelRecord(IoRecord* record) {
  io_uring_sqe* sqe = NextEntry();
  if (sqe == nullptr) return;
  io_uring_prep_cancel(sqe, record, 0);
  io_uring_sqe_set_data64(sqe, kCancelTag);
}

// By record, not by descriptor: the descriptor number may belong to another
// socket by the time the cancellation is submitted.
void UringPort::Cancel(int fd, IoRecord* record) {
  Attachment* a = Find(fd);
  if (a == nullptr) return;
  if (a->reading == record && a->readingWaits) {
    // Nothing was submitted for this wait: it ends now, reported as any
    // cancelled transfer is, while the multishot receive stays armed.
    a->reading = nullptr;
    a->readingWaits = false;
    Complete(a->key, record, 0);
    return;
  }
  if (a->reading == record && !a->readCancelled) {
    a->readCancelled = true;
    CancelRecord(record);
  }
  if (a->writing == record && !a->writeCancelled) {
    a->writeCancelled = true;
    CancelRecord(record);
  }
}

// A submission names its socket by descriptor number and the kernel reads
// the number when the submission is made: closed before that, the number could
// name a socket accepted meanwhile. So a socket with transfers started is
// closed once they are submitted, at the next wait.
void UringPort::Close(int fd) {
  Attachment* a = Find(fd);
  if (a == nullptr) {
    close(fd);
    return;
  }
  const bool started = a->reading != nullptr || a->writing != nullptr || a->multishot != Multishot::Off;
  if (a->reading != nullptr) Cancel(fd, a->reading);
  if (a->writing != nullptr) Cancel(fd, a->writing);
  if (a->multishot == Multishot::Armed) {
    // Its last reports find the attachment gone and give their buffers back.
    io_uring_sqe* sqe = NextEntry();
    if (sqe != nullptr) {
      io_uring_prep_cancel64(sqe, MultishotTag(fd, *a), 0);
      io_uring_sqe_set_data64(sqe, kCancelTag);
    }
  }
  while (a->queued != 0) DropFirst(*a);
  *a = Attachment{};
  if (started) {
    closing.push_back(fd);
  } else {
    close(fd);
  }
}

void UringPort::CloseSubmitted() {
  if (closing.empty()) return;
  io_uring_submit(&ring);
  for (int fd : closing) close(fd);
  closing.clear();
}

}  // namespace

IoPort* CreateUringPort(int* error) {
  auto* port = new UringPort;
  if (!port->Open(error)) {
    port->Shut();
    delete port;
    return nullptr;
  }
  return port;
}

}  // namespace platform
