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

#include "net/socket.h"
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

// The hand-off from the accept threads to the loop. The threads are detached
// and may outlive the loop, so they share this through a shared pointer.
struct AcceptDataStorage {
  std::mutex mutex;
  std::deque<AcceptRecord*> queue;
  // Set when the loop stops; an accept thread ends after its next accept.
  std::atomic<bool> stopping{false};
  // Connections taken and closed at once for lack of descriptors or memory.
  std::atomic<std::uint64_t> refused{0};
  // The kernel buffer size an accepted connection gets (-conn-buffer).
  std::int32_t connectionBufferBytes = 0;
  ~AcceptDataStorage();

  void Push(AcceptRecord* record);
  AcceptRecord* Pop();
};

class TcpListeningSocket final : public Socket {
 public:
  TcpListeningSocket(std::uintptr_t handle, struct IoPortContext* loop);
  int Kind() const override { return TcpListening; }
  bool IsExpired(std::int64_t) const override { return false; }
};

// One listening socket of the loop and its accept thread.
struct TcpConnectionData {
  platform::SocketHandle handle = platform::kInvalidSocket;
  std::unique_ptr<TcpListeningSocket> socket;
  std::thread acceptThread;
};

// Body of one accept thread: blocks in accept, queues each connection and
// posts one notification per connection, keyed by the listening handle.
void AcceptLoop(platform::SocketHandle listening, platform::IoPort* port,
                std::shared_ptr<AcceptDataStorage> storage);

}  // namespace lattice
