// Local time conversion for Windows.
#include "platform/local_time.h"

namespace platform {

bool ToLocalTime(std::int64_t seconds, std::tm* out) {
  __time64_t value = static_cast<__time64_t>(seconds);
  return _localtime64_s(out, &value) == 0;
}

}  // namespace platform
