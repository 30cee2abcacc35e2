#include "log/log_queue.h"

#include <cstdio>
#include <utility>

#include "log/log.h"

namespace lattice {

bool LogQueue::Push(std::string_view text) {
  if (text.size() > capacity_ - text_.size()) {
    ++dropped_;
    return false;
  }
  text_.append(text);
  return true;
}

void LogQueue::Take(std::string* batch, std::int64_t now) {
  // The batch's old buffer becomes the queue's, so a busy log settles on two
  // buffers instead of allocating one per batch.
  batch->clear();
  std::swap(*batch, text_);
  if (dropped_ == 0) return;
  char stamp[200];
  FormatLocalTime(now, stamp, sizeof stamp);
  char line[300];
  int n = std::snprintf(line, sizeof line, "%s %llu log lines dropped: output was not keeping up\n", stamp,
                        static_cast<unsigned long long>(dropped_));
  if (n > 0) batch->append(line, static_cast<std::size_t>(n) < sizeof line ? n : sizeof line - 1);
  dropped_ = 0;
}

}  // namespace lattice
