// The cryptographic random source behind peer selection.
#pragma once

#include <cstddef>
#include <cstdint>

namespace platform {

// Fills the buffer with cryptographically strong bytes; false on failure.
bool FillRandomBytes(std::uint8_t* buffer, std::size_t size);

}  // namespace platform
