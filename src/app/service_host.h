// The service side of a run: the dispatcher, the service main operation and
// install/remove, over the system's service manager.
#pragma once

#include <memory>

#include "app/args_collector.h"

namespace lattice {

void PrepareServiceHost();
void ReleaseServiceHost();
// Blocks until the service has stopped; returns at once when the process was
// not started by the service manager.
void RunServiceDispatcher();
void SignalServiceStarted();

bool InstallService(std::shared_ptr<const ArgsCollector> args);
bool RemoveService();

}  // namespace lattice
