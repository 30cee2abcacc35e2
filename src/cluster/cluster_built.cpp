#include "cluster/cluster_setup.h"

namespace lattice::cluster {

bool ClusterModeBuilt() { return true; }

}  // namespace lattice::cluster
