// Stands in for cluster mode in a build that has none of it.
#include "cluster/cluster_setup.h"

namespace lattice::cluster {

bool ClusterModeBuilt() { return false; }

}  // namespace lattice::cluster
