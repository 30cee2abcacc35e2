// The tracker's body: start-up, the event loop, shutdown.
#pragma once

#include <atomic>
#include <cstdint>
#include <memory>
#include <string>

#include "app/args_collector.h"

namespace lattice {

// Exit codes of a run: stopped on request; no TCP or no UDP socket could be
// opened, or an option's value is unusable (the same code: the start failed
// on something only the operator can fix); the event loop failed (its port
// could not be made or was lost), so a service manager restarts it as it
// would after a crash.
inline constexpr std::uint32_t kExitStopped = 0;
inline constexpr std::uint32_t kExitNoSockets = 2;
inline constexpr std::uint32_t kExitBadOption = 2;
inline constexpr std::uint32_t kExitLoopFailed = 3;

// Serves until stopFlag is set, and returns one of the codes above.
// Everything the run holds is created here, so a second run in one process
// starts clean.
std::uint32_t RunTracker(std::shared_ptr<const ArgsCollector> args, std::atomic<std::int32_t>& stopFlag);

// The port text: the first word after -p, else "3000".
std::wstring PortOption(const ArgsCollector& args);
// The MTU setting: the last word after -mtu converted, else 0.
std::int32_t MtuOption(const ArgsCollector& args);
// The -io-backend option, else the LATTICE_IO_BACKEND environment variable;
// empty when neither is given.
std::string IoBackendOption(const ArgsCollector& args);

}  // namespace lattice
