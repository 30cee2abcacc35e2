// Output waiting for the writer thread.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>

namespace lattice {

// Bounded in bytes, so that an output nobody reads costs at most that much
// memory and then loses lines instead of stopping whoever logs them. Text is
// kept or dropped whole; every dropped piece counts as one line, a whole
// statistics report included. Not locked: the owner serialises access.
class LogQueue {
 public:
  explicit LogQueue(std::size_t capacity) : capacity_(capacity) {}

  // Queues the text, or counts it as dropped when it does not fit.
  bool Push(std::string_view text);
  // Whether Take has anything to hand over, a pending drop count included.
  bool Empty() const { return text_.empty() && dropped_ == 0; }
  // Replaces *batch with everything queued, oldest first, followed by a line
  // stamped with `now` that tells how many lines were dropped since the last
  // take, if any were. The queue is empty afterwards.
  void Take(std::string* batch, std::int64_t now);

 private:
  std::size_t capacity_;
  std::string text_;
  std::uint64_t dropped_ = 0;
};

}  // namespace lattice
