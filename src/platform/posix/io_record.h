// The per-transfer record of the POSIX completion-port emulation.
#pragma once

#include <cstdint>

namespace platform {

using IoTag = std::uintptr_t;

enum class IoOperation : std::uint8_t { None, Receive, Send, ReceiveFrom, SendTo };

// Holds what the transfer needs to be retried when its socket becomes ready,
// the role OVERLAPPED plays for the system on Windows.
struct IoRecord {
  IoTag tag = 0;
  void* owner = nullptr;
  void* buffer = nullptr;
  void* address = nullptr;
  std::int32_t* addressLength = nullptr;
  // The handle's key when the transfer started: a completion that arrives
  // after the handle was closed still carries it.
  std::uintptr_t key = 0;
  std::uint32_t length = 0;
  std::int32_t sendAddressLength = 0;
  int fd = -1;
  IoOperation operation = IoOperation::None;
};

}  // namespace platform
