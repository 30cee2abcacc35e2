// The program's version and the commit it was built from.
#pragma once

namespace lattice {

inline constexpr char kTrackerVersion[] = "4.0.920";

// 40 lower-case hex digits: the git commit of the build, or what the build
// was told; 40 zeros outside a checkout.
const char* BuildId();

}  // namespace lattice
