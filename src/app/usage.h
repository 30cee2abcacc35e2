// What -h/--help and --version print.
#pragma once

#include <string>

#include "app/args_collector.h"

namespace lattice {

enum class InfoRequest { None, Help, Version };

// -h, --help or -? ask for the usage, --version for the version; either
// stops the program before anything starts.
InfoRequest FindInfoRequest(const ArgsCollector& args);

// One line per option with its default, taken from the same defaults the
// program uses, so the text cannot drift from them.
std::string UsageText();
// "corvane-lattice-tracker VERSION (build ID)".
std::string VersionText();

}  // namespace lattice
