// The tracker's sockets on its port, and the threads that accept connections.
#pragma once

#include <atomic>
#include <cstdint>
#include <deque>
#include <memory>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "net/socket_address.h"
#include "platform/io_port.h"
#include "platform/socket_api.h"

namespace lattice {

// Opens one bound socket per local address of the port: listening TCP
// sockets, or UDP sockets when datagram is true. Failures are logged and the
// address is skipped.
void OpenListeningSockets(const std::wstring& port, bool datagram, std::vector<platform::SocketHandle>& handles);

void SetSocketBufferSize(platform::SocketHandle handle, platform::BufferOption option, const char* name);

// One accepted connection on its way from an accept thread to the loop.
struct AcceptRecord {
  AddressStorage address;
  platform::SocketHandle handle = platform::kInvalidSocket;
};

// The hand-off from accept threads to the loop. A notification only wakes
// the loop: each pass takes whatever waits, so a notification that was lost
// or merged delays nobody behind it.
class AcceptQueue {
 public:
  AcceptQueue() = default;
  AcceptQueue(const AcceptQueue&) = delete;
  AcceptQueue& operator=(const AcceptQueue&) = delete;
  // Closes what was accepted and never taken.
  ~AcceptQueue();

  // True when the queue was empty before: only then is a wake-up needed.
  bool Push(AcceptRecord* record);
  AcceptRecord* Pop();
  // A cheap look the loop takes every pass.
  bool Waiting() const { return size.load(std::memory_order_acquire) != 0; }

  // Set when the loop stops; an accept thread ends at its next return.
  std::atomic<bool> stopping{false};
  // Connections taken and closed at once for lack of descriptors or memory.
  std::atomic<std::uint64_t> refused{0};
  // The kernel buffer size an accepted connection gets (-conn-buffer).
  std::int32_t connectionBufferBytes = 0;

 private:
  std::mutex mutex;
  std::deque<AcceptRecord*> queue;
  std::atomic<std::size_t> size{0};
};

// A listening socket and the thread that blocks in accept on it. Stop wakes
// the thread and joins it before the socket is closed, so the thread never
// accepts on, or posts through, a handle that was closed and reused.
class AcceptThread {
 public:
  AcceptThread(platform::SocketHandle listening, platform::IoPort* port, AcceptQueue& queue);
  ~AcceptThread() { Stop(); }
  AcceptThread(const AcceptThread&) = delete;
  AcceptThread& operator=(const AcceptThread&) = delete;

  // The queue's stopping flag must be set first. Closes the socket.
  void Stop();
  platform::SocketHandle Handle() const { return listening; }

 private:
  void Run();

  platform::SocketHandle listening;
  platform::IoPort* port;
  AcceptQueue& queue;
  std::thread thread;
};

}  // namespace lattice
