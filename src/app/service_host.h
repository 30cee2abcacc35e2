// The service as the system sees it: the dispatcher run, the command line and
// unit file it is installed with, and the -sr / -sd commands.
#pragma once

#include <cstdint>
#include <memory>
#include <string>

#include "app/args_collector.h"

namespace lattice {

inline constexpr wchar_t kServiceName[] = L"corvane-lattice-tracker";
inline constexpr wchar_t kServiceDisplayName[] = L"Corvane Lattice Tracker";
inline constexpr wchar_t kServiceAccount[] = L"NT AUTHORITY\\NetworkService";
inline constexpr std::uint32_t kServiceRestartDelayMs = 60000;

// Blocks until the service has stopped; returns at once when the process was
// not started by the service manager.
void RunServiceDispatcher();

// The quoted program path, " -s", and " -p PORT" when -p has exactly one value.
std::wstring ServiceCommandLine(const std::wstring& programPath, const ArgsCollector& args);
// The systemd unit that runs that command line.
std::wstring SystemdUnitText(const std::wstring& commandLine);

bool InstallService(std::shared_ptr<const ArgsCollector> args);
bool RemoveService();

// What the -sr / -sd branch needs from the system; tests replace it.
struct ServiceCommandHooks {
  bool (*isElevated)();
  void (*showPrivilegeError)(const wchar_t* text, const wchar_t* caption);
  bool (*install)(std::shared_ptr<const ArgsCollector> args);
  bool (*remove)();
};
ServiceCommandHooks SystemServiceCommands();

// Installs (when -sr is given) or removes the service; returns the exit code:
// 0 done, 1 failed, 5 refused without elevation.
int RunServiceCommand(std::shared_ptr<const ArgsCollector> args, const ServiceCommandHooks& hooks);

}  // namespace lattice
