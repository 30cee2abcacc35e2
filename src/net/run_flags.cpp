#include "net/run_flags.h"

namespace lattice {
std::atomic<std::int32_t> stopFlag{0};
std::int32_t mtuSetting = 0;
}  // namespace lattice
