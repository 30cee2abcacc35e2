// Stands in for cluster mode in a build that has none of it.
#include "cluster/cluster_service.h"
#include "cluster/cluster_setup.h"

namespace lattice::cluster {

bool ClusterModeBuilt() { return false; }

// Never reached: the start stops on -cluster before the loop runs.
std::unique_ptr<ClusterService> StartClusterService(IoPortContext&, const ClusterSetup&) { return nullptr; }

}  // namespace lattice::cluster
