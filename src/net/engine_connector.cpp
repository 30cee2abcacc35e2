#include "net/engine_connector.h"

#include <utility>

#include "platform/socket_api.h"

namespace lattice {

EngineConnector::EngineConnector(platform::IoPort* loopPort, int timeout)
    : port(loopPort), timeoutMs(timeout), thread([this] { Run(); }) {}

void EngineConnector::Request(std::uint64_t token, std::string host, std::uint16_t nodePort) {
  {
    std::lock_guard<std::mutex> lock(mutex);
    if (stopping) return;
    requests.push_back({token, std::move(host), nodePort});
  }
  wake.notify_one();
}

bool EngineConnector::Take(EngineConnectResult& result) {
  std::lock_guard<std::mutex> lock(mutex);
  if (results.empty()) return false;
  result = std::move(results.front());
  results.pop_front();
  return true;
}

bool EngineConnector::Waiting() const {
  std::lock_guard<std::mutex> lock(mutex);
  return !results.empty();
}

void EngineConnector::Run() {
  std::unique_lock<std::mutex> lock(mutex);
  for (;;) {
    wake.wait(lock, [this] { return stopping || !requests.empty(); });
    if (stopping) return;
    PendingConnect request = std::move(requests.front());
    requests.pop_front();
    lock.unlock();
    EngineConnectResult result;
    result.token = request.token;
    result.handle = platform::ConnectStream(request.host, request.port, timeoutMs, result.error);
    lock.lock();
    if (stopping) {
      if (result.handle != platform::kInvalidSocket) platform::CloseSocket(nullptr, result.handle);
      return;
    }
    const bool first = results.empty();
    results.push_back(std::move(result));
    // Posted under the lock, so Stop cannot return, and the port close,
    // while a post is under way.
    if (first) platform::PostCompletion(port, 0, 0, nullptr);
  }
}

void EngineConnector::Stop() {
  {
    std::lock_guard<std::mutex> lock(mutex);
    if (stopping && !thread.joinable()) return;
    stopping = true;
  }
  wake.notify_one();
  if (thread.joinable()) thread.join();
  std::lock_guard<std::mutex> lock(mutex);
  requests.clear();
  for (EngineConnectResult& r : results)
    if (r.handle != platform::kInvalidSocket) platform::CloseSocket(nullptr, r.handle);
  results.clear();
}

}  // namespace lattice
