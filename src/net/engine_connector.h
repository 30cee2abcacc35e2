// The thread that makes blocking connects to engine nodes, off the loop
// thread, and hands the connected sockets over as the accept threads hand
// over clients: through a queue, with a wake-up posted to the port.
#pragma once

#include <condition_variable>
#include <cstdint>
#include <deque>
#include <mutex>
#include <string>
#include <thread>

#include "platform/io_port.h"

namespace lattice {

struct EngineConnectResult {
  std::uint64_t token = 0;
  platform::SocketHandle handle = platform::kInvalidSocket;  // kInvalidSocket: failed
  std::string error;
};

class EngineConnector {
 public:
  EngineConnector(platform::IoPort* port, int timeoutMs);
  ~EngineConnector() { Stop(); }
  EngineConnector(const EngineConnector&) = delete;
  EngineConnector& operator=(const EngineConnector&) = delete;

  // Queues a connect; its result comes back once, under the same token.
  void Request(std::uint64_t token, std::string host, std::uint16_t port);
  // False when no result waits.
  bool Take(EngineConnectResult& result);
  // A cheap look the loop may take every pass.
  bool Waiting() const;
  // Joins the thread (after a connect under way ends) and closes the sockets
  // nobody took. Idempotent.
  void Stop();

 private:
  struct PendingConnect {
    std::uint64_t token;
    std::string host;
    std::uint16_t port;
  };
  void Run();

  platform::IoPort* const port;
  const int timeoutMs;
  mutable std::mutex mutex;
  std::condition_variable wake;
  std::deque<PendingConnect> requests;   // guarded by mutex
  std::deque<EngineConnectResult> results;  // guarded by mutex
  bool stopping = false;           // guarded by mutex
  std::thread thread;
};

}  // namespace lattice
