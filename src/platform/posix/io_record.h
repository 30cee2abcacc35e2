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
  IoOperation operation = IoOperation::None;
  int fd = -1;
  void* buffer = nullptr;
  std::uint32_t length = 0;
  void* address = nullptr;
  std::int32_t* addressLength = nullptr;
  std::int32_t sendAddressLength = 0;
};

}  // namespace platform
