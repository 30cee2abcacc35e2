// The completion port and the tags that mark receives and sends.
#pragma once

#include "platform/io_port.h"

namespace lattice {

struct IoPortContext {
  platform::IoPort* port = nullptr;
  platform::IoTag readTag{};
  platform::IoTag writeTag{};
};

// The receive side of a socket object: the record, its 64 KiB buffer and the
// source address of the last datagram.
struct RecvRecord {
  static constexpr std::uint32_t kBufferSize = 65536;
  platform::IoRecord record;
  std::uint8_t buffer[kBufferSize];
  alignas(8) std::uint8_t sourceAddress[128];
  std::int32_t sourceAddressLength = 128;
};

struct SendRecord {
  platform::IoRecord record;
};

}  // namespace lattice
