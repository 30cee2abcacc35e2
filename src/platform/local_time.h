// Thread-safe conversion of seconds since 1970 to local broken-down time.
#pragma once

#include <cstdint>
#include <ctime>

namespace platform {
bool ToLocalTime(std::int64_t seconds, std::tm* out);
}
