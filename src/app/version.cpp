#include "app/version.h"

#include "build_id.h"

namespace lattice {

const char* BuildId() { return LATTICE_BUILD_ID; }

}  // namespace lattice
