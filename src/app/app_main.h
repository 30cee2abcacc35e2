// The program's decision: install, remove, or run the tracker.
#pragma once

#include <string>
#include <vector>

namespace lattice {

// Takes the command-line words (the program path first) and returns the
// process exit code.
int AppMain(const std::vector<std::wstring>& words);

}  // namespace lattice
