// Process-level services: stop requests, the console, the command line.
#pragma once

#include <atomic>
#include <cstdint>
#include <string>
#include <vector>

namespace platform {

// Sets *stopFlag to 1 on an interrupt, break or termination request. The
// handler is not re-armed: a second request gets the default action.
void InstallStopHandler(std::atomic<std::int32_t>* stopFlag);

// Raises the soft limit of open descriptors to the hard limit where the
// system has one; returns the resulting limit, or 0 when there is no
// per-process limit.
std::uint64_t RaiseDescriptorLimit();

// Gives memory the allocator holds free back to the system, so that a peak
// of clients does not stay resident after they are gone.
void ReturnFreeMemory();

// Console mode: a windowed program makes a console of its own; elsewhere the
// inherited standard output is used as it is.
void OpenConsole();
void CloseConsole();

// For a short text such as the usage: a windowed program writes to the
// console it was started from, or to its redirected standard output.
void OpenParentConsole();

// Whether the process may install or remove the service.
bool IsElevated();
// The refusal shown when it may not.
void ShowPrivilegeError(const wchar_t* text, const wchar_t* caption);

}  // namespace platform
