// Placeholder until service mode lands: behaves as when the service manager
// did not start the process.
#include "app/service_host.h"

namespace lattice {

void PrepareServiceHost() {}
void ReleaseServiceHost() {}
void RunServiceDispatcher() {}
void SignalServiceStarted() {}
bool InstallService(std::shared_ptr<const ArgsCollector>) { return false; }
bool RemoveService() { return false; }

}  // namespace lattice
