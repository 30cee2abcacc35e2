// The per-transfer record on Windows: an OVERLAPPED header whose event field
// carries the tag, plus the object that started the transfer.
#pragma once

#include <winsock2.h>
#include <windows.h>

namespace platform {

using IoTag = HANDLE;

struct IoRecord {
  OVERLAPPED overlapped;
  void* owner;
};

}  // namespace platform
