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
    if (h == platform::kInvalidSocket) {
      Log("socket() failed: %s", platform::LastSocketErrorText().c_str());
      continue;
    }
    if (platform::IsInet6(a.family)) platform::SetV6Only(h);
    platform::SetReuseAddress(h);
    SetSocketBufferSize(h, platform::BufferOption::Receive, "SO_RCVBUF");
    SetSocketBufferSize(h, platform::BufferOption::Send, "SO_SNDBUF");
    if (!platform::BindSocket(h, a.address, a.addressLength)) {
      Log("bind() failed: %s", platform::LastSocketErrorText().c_str());
      platform::CloseSocket(nullptr, h);
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

AcceptQueue::~AcceptQueue() {
  for (AcceptRecord* r : queue) {
    platform::CloseSocket(nullptr, r->handle);
    delete r;
  }
}

bool AcceptQueue::Push(AcceptRecord* record) {
  std::lock_guard<std::mutex> lock(mutex);
  queue.push_back(record);
  size.store(queue.size(), std::memory_order_release);
  return queue.size() == 1;
}

AcceptRecord* AcceptQueue::Pop() {
  std::lock_guard<std::mutex> lock(mutex);
  if (queue.empty()) return nullptr;
  AcceptRecord* r = queue.front();
  queue.pop_front();
  size.store(queue.size(), std::memory_order_release);
  return r;
}

AcceptThread::AcceptThread(platform::SocketHandle listeningHandle, platform::IoPort* loopPort, AcceptQueue& q)
    : listening(listeningHandle), port(loopPort), queue(q), thread([this] { Run(); }) {}

void AcceptThread::Stop() {
  if (listening == platform::kInvalidSocket) return;
  if (!platform::WakeAcceptingThread(listening)) {
    // Closing is the only wake left; the thread checks the stopping flag
    // before it could accept again.
    platform::CloseListeningSocket(listening);
    listening = platform::kInvalidSocket;
  }
  if (thread.joinable()) thread.join();
  if (listening != platform::kInvalidSocket) platform::CloseSocket(nullptr, listening);
  listening = platform::kInvalidSocket;
}

namespace {

// While the process is out of descriptors, accept fails at once whether or not
// a client waits; so the thread waits this long for one before anything else.
constexpr int kExhaustedWaitMs = 100;

}  // namespace

void AcceptThread::Run() {
  const platform::SocketHandle h = listening;
  platform::AcceptReserve reserve;
  platform::OpenAcceptReserve(&reserve);
  LogLimiter refusals;
  // Failures in a row; a process out of descriptors must not spin a core.
  int failures = 0;
  while (!queue.stopping.load(std::memory_order_relaxed)) {
    auto* record = new AcceptRecord;
    std::int32_t length = sizeof record->address.bytes;
    bool outOfResources = false;
    record->handle = platform::AcceptConnection(h, record->address.bytes, &length, &outOfResources);
    if (record->handle == platform::kInvalidSocket && outOfResources && platform::WaitForConnection(h, kExhaustedWaitMs)) {
      // A client waits. Descriptors may have come back meanwhile, so it is
      // served if it can be; only a second failure spends the reserve on it.
      length = sizeof record->address.bytes;
      record->handle = platform::AcceptConnection(h, record->address.bytes, &length, &outOfResources);
      if (record->handle == platform::kInvalidSocket && outOfResources && !queue.stopping.load() &&
          platform::RefuseOneConnection(h, &reserve)) {
        delete record;
        const std::uint64_t refused = queue.refused.fetch_add(1, std::memory_order_relaxed) + 1;
        LogLimited(refusals, "connection refused: out of descriptors or memory (%llu refused so far)",
                   static_cast<unsigned long long>(refused));
        failures = 0;
        continue;
      }
    } else if (record->handle == platform::kInvalidSocket && outOfResources) {
      delete record;  // nobody waited; try again
      continue;
    }
    if (queue.stopping.load(std::memory_order_relaxed)) {
      if (record->handle != platform::kInvalidSocket) platform::CloseSocket(nullptr, record->handle);
      delete record;
      break;
    }
    if (record->handle == platform::kInvalidSocket) {
      delete record;
      if (++failures > 1) std::this_thread::sleep_for(std::chrono::milliseconds(failures > 10 ? 100 : 10));
      continue;
    }
    failures = 0;
    // Descriptors are to be had: a reserve lost while they were short is
    // taken again, so the next shortage can still refuse.
    platform::OpenAcceptReserve(&reserve);
    // A client that does not read gets this much kernel buffer and its
    // 8 KiB ring, not the listener's megabytes.
    platform::LimitConnectionBuffers(record->handle, queue.connectionBufferBytes);
    // Queued before the wake-up, so the loop always finds the record.
    if (queue.Push(record)) platform::PostCompletion(port, h, 0, nullptr);
  }
  platform::CloseAcceptReserve(&reserve);
}

}  // namespace lattice
