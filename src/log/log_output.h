// Where formatted output goes: straight out, or to the writer thread.
#pragma once

#include <cstdint>
#include <string_view>

namespace lattice {

// Writes or queues finished text (one or more whole lines).
void EmitOutput(std::string_view text);

}  // namespace lattice
