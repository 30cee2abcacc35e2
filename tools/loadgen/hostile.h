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

// Paced modes: how many of `count` should have started `elapsedNs` into a run
// at `rate` per second (never below 0, never above count).
std::uint64_t PacedTarget(double rate, std::int64_t elapsedNs, std::uint64_t count);

// Latency over one reporting interval: the samples from index `from` on (in
// microseconds, in arrival order), as milliseconds; -1 for none.
struct IntervalLatency {
  std::uint64_t replies = 0;
  double p50Ms = -1, p99Ms = -1, maxMs = -1;
};
IntervalLatency SummariseInterval(const std::vector<std::uint32_t>& micros, std::size_t from);

}  // namespace loadgen
