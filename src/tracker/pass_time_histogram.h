// How long the event loop's passes take, without their wait for completions.
#pragma once

#include <cstdint>

namespace lattice {

struct PassTimeHistogram {
  static constexpr int kBuckets = 9;
  // Upper bounds, inclusive, from 100 µs to 1 s; the text is how the metrics
  // print them as the bucket's "le" label.
  static constexpr std::uint64_t kBoundNanoseconds[kBuckets] = {100000,   250000,    1000000,   2500000,   10000000,
                                                                25000000, 100000000, 250000000, 1000000000};
  static constexpr const char* kBoundText[kBuckets] = {"0.0001", "0.00025", "0.001", "0.0025", "0.01",
                                                       "0.025",  "0.1",     "0.25",  "1"};

  // Per bucket, not cumulative; the last one counts passes above 1 s.
  std::uint64_t counts[kBuckets + 1] = {};
  std::uint64_t count = 0;
  std::uint64_t sumNanoseconds = 0;

  void Observe(std::uint64_t nanoseconds) {
    int i = 0;
    while (i < kBuckets && nanoseconds > kBoundNanoseconds[i]) ++i;
    ++counts[i];
    ++count;
    sumNanoseconds += nanoseconds;
  }
};

}  // namespace lattice
