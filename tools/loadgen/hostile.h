// Hostile modes of the load generator: clients that try to make the tracker
// hold memory or stall, each run beside a well-behaved "victim" client that
// measures what the other clients of the tracker would notice.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

#include "options.h"

namespace loadgen {

// Runs options.hostile; returns the process exit code (0, or 2 when the
// set-up failed, 3 on the hard time-out).
int RunHostile(const Options& options);

// Known hostile modes; "victim" runs the victim alone, as a reference.
bool IsHostileMode(const std::string& mode);

// A bare uTP SYN: version 1, type ST_SYN, no extension; 20 bytes.
constexpr std::size_t kUtpHeaderSize = 20;
void EncodeUtpSyn(std::uint16_t connectionId, std::uint16_t sequence, std::uint32_t timestampMicros,
                  std::uint8_t out[kUtpHeaderSize]);

// How many of `got` came in the order `expected` lists them: the length of
// the greedy in-order match of `got` within `expected`. A missing element
// only skips ahead; a reordered one is not counted.
std::uint32_t CountInOrder(const std::vector<std::uint32_t>& expected, const std::vector<std::uint32_t>& got);

}  // namespace loadgen
