// What the two Linux backends of the completion port share: the object the
// public operations dispatch to, the queue of completions ready to hand out,
// and notifications posted from other threads.
#pragma once

#include <sys/types.h>

#include <deque>
#include <mutex>
#include <vector>

#include "platform/io_port.h"

namespace platform {

class IoPort {
 public:
  virtual ~IoPort();

  virtual const char* Name() const = 0;
  virtual bool Attach(int fd, std::uintptr_t key, int* error) = 0;
  virtual WaitStatus Wait(Completion* entries, int capacity, int timeoutMs, int* count, int* error) = 0;
  // The record already says what to do; isRead picks the socket's read or
  // write side, each of which carries one transfer at a time.
  virtual IoResult Start(IoRecord* record, bool isRead) = 0;
  virtual IoResult TakeAvailable(int fd, void* buffer, std::uint32_t length) = 0;
  // A backend without buffers of its own copies into buffer.
  virtual IoResult TakeInPlace(int fd, void* buffer, std::uint32_t length, const std::uint8_t** data) {
    *data = static_cast<const std::uint8_t*>(buffer);
    return TakeAvailable(fd, buffer, length);
  }
  virtual void ReleaseTaken(int /*fd*/) {}
  virtual void Cancel(int fd, IoRecord* record) = 0;
  virtual void Close(int fd) = 0;

  // Safe from any thread.
  bool Post(const Completion& c);
  // Stops posting and releases the kernel objects; the object itself lives
  // on, as detached accept threads may still post to it.
  void Shut();

  // Why io_uring was not used, when it was wanted and this is the fallback.
  int fallbackError = 0;

 protected:
  // Called once by Shut, with posting already stopped.
  virtual void ReleaseKernelObjects() = 0;
  // Moves what other threads posted to the ready queue.
  void TakePosted();
  int HandOut(Completion* entries, int capacity);
  // Queues the transfer's one completion, which frees its record.
  void Complete(std::uintptr_t key, IoRecord* record, std::uint32_t bytes) {
    record->operation = IoOperation::None;
    ready.push_back({key, record, bytes});
  }
  // Called by Post when the posted queue was empty: wakes a blocked wait.
  bool Wake();

  int wakeFd = -1;  // an eventfd
  std::deque<Completion> ready;

 private:
  std::mutex postedMutex;
  std::vector<Completion> posted;  // guarded by postedMutex
  std::vector<Completion> postedSwap;
  bool closed = false;  // guarded by postedMutex
};

// One non-blocking try of the record's transfer, retried when a signal
// interrupts it. Returns the byte count, or -1 with errno set.
ssize_t Attempt(IoRecord* record);
bool WouldBlock(int error);
// One non-blocking receive on a stream socket, outside any transfer:
// CompletedAtOnce with the byte count (0: the end of stream), Pending when
// there is nothing to take, or Failed.
IoResult ReceiveNow(int fd, void* buffer, std::uint32_t length);

// Null when the kernel refuses it; error then says why.
IoPort* CreateUringPort(int* error);
IoPort* CreateEpollPort(int* error);

}  // namespace platform
