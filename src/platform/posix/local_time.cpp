// Local time conversion for POSIX systems.
#include "platform/local_time.h"

namespace platform {

bool ToLocalTime(std::int64_t seconds, std::tm* out) {
  std::time_t value = static_cast<std::time_t>(seconds);
  return localtime_r(&value, out) != nullptr;
}

}  // namespace platform
