// The command-line options that set the bounds of Limits.
#pragma once

#include "app/args_collector.h"
#include "tracker/limits.h"

namespace lattice {

// The defaults, with each option given (its first word after the name, as
// for -p) taking its place. A value below 1 keeps the default.
Limits LimitOptions(const ArgsCollector& args);

}  // namespace lattice
