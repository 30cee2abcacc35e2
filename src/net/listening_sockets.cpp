#include "net/listening_sockets.h"

#include <chrono>

#include "log/log.h"

namespace lattice {
namespace {
constexpr std::int32_t kRequestedBufferSize = 6291456;
}

void SetSocketBufferSize(platform::SocketHandle handle, platform::BufferOption option, const char* name) {
  if (!platform::SetBufferSize(handle, option, kRequestedBufferSize)) {
    Log("setsockopt(%s) failed: %s", name, platform::LastSocketErrorText().c_str());
    return;
  }
  std::int32_t current = 0;
  if (!platform::GetBufferSize(handle, option, &current)) {
    Log("getsockopt(%s) failed: %s", name, platform::LastSocketErrorText().c_str());
    return;
  }
  if (current < kRequestedBufferSize) {
    Log("failed to set %s: requested size %d, current size %d", name, kRequestedBufferSize, current);
  }
}

void OpenListeningSockets(const std::wstring& port, bool datagram, std::vector<platform::SocketHandle>& handles) {
  std::vector<platform::ResolvedAddress> addresses;
  std::string errorText;
  if (!platform::ResolvePassive(port, datagram, addresses, errorText)) {
    Log("%s", errorText.c_str());
    return;
  }
  for (const platform::ResolvedAddress& a : addresses) {
    platform::SocketHandle h = platform::CreateSocket(a.family, a.socketType, a.protocol);
    if (platform::IsInet6(a.family)) platform::SetV6Only(h);
    platform::SetReuseAddress(h);
    SetSocketBufferSize(h, platform::BufferOption::Receive, "SO_RCVBUF");
    SetSocketBufferSize(h, platform::BufferOption::Send, "SO_SNDBUF");
    if (!platform::BindSocket(h, a.address, a.addressLength)) {
      Log("bind() failed: %s", platform::LastSocketErrorText().c_str());
      if (h != platform::kInvalidSocket) platform::CloseSocket(nullptr, h);
      continue;
    }
    if (!datagram && !platform::ListenSocket(h)) {
      Log("listen() failed: %s", platform::LastSocketErrorText().c_str());
      platform::CloseSocket(nullptr, h);
      continue;
    }
    handles.push_back(h);
  }
}

AcceptDataStorage::~AcceptDataStorage() {
  std::lock_guard<std::mutex> lock(mutex);
  for (AcceptRecord* r : queue) {
    platform::CloseSocket(nullptr, r->handle);
    delete r;
  }
}

void AcceptDataStorage::Push(AcceptRecord* record) {
  std::lock_guard<std::mutex> lock(mutex);
  queue.push_back(record);
}

AcceptRecord* AcceptDataStorage::Pop() {
  std::lock_guard<std::mutex> lock(mutex);
  if (queue.empty()) return nullptr;
  AcceptRecord* r = queue.front();
  queue.pop_front();
  return r;
}

TcpListeningSocket::TcpListeningSocket(std::uintptr_t handleValue, IoPortContext* loopContext)
    : Socket(handleValue, loopContext) {}

void AcceptLoop(platform::SocketHandle listening, platform::IoPort* port,
                std::shared_ptr<AcceptDataStorage> storage) {
  platform::AcceptReserve reserve;
  platform::OpenAcceptReserve(&reserve);
  LogLimiter refusals;
  // Failures in a row; a process out of descriptors must not spin a core.
  int failures = 0;
  while (!storage->stopping.load(std::memory_order_relaxed)) {
    auto* record = new AcceptRecord;
    std::int32_t length = sizeof record->address.bytes;
    bool outOfResources = false;
    record->handle = platform::AcceptConnection(listening, record->address.bytes, &length, &outOfResources);
    if (record->handle == platform::kInvalidSocket) {
      delete record;
      // Out of descriptors, the waiting client is taken and closed at once
      // rather than left hanging; serving resumes when connections go.
      if (outOfResources && platform::RefuseOneConnection(listening, &reserve)) {
        const std::uint64_t refused = storage->refused.fetch_add(1, std::memory_order_relaxed) + 1;
        LogLimited(refusals, "connection refused: out of descriptors or memory (%llu refused so far)",
                   static_cast<unsigned long long>(refused));
        failures = 0;
        continue;
      }
      if (++failures > 1) std::this_thread::sleep_for(std::chrono::milliseconds(failures > 10 ? 100 : 10));
      continue;
    }
    failures = 0;
    // A client that does not read gets this much kernel buffer and its
    // 8 KiB ring, not the listener's megabytes.
    platform::LimitConnectionBuffers(record->handle, storage->connectionBufferBytes);
    // Queued before the notification, so the loop always finds the record.
    storage->Push(record);
    platform::PostCompletion(port, listening, 0, nullptr);
  }
  platform::CloseAcceptReserve(&reserve);
}

}  // namespace lattice
