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

// Console mode: a windowed program makes a console of its own; elsewhere the
// inherited standard output is used as it is.
void OpenConsole();
void CloseConsole();

// Whether the process may install or remove the service.
bool IsElevated();
// The refusal shown when it may not.
void ShowPrivilegeError(const wchar_t* text, const wchar_t* caption);

}  // namespace platform
