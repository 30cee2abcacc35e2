// The service state machine: the service main operation, the control
// handler and the worker thread, over the active ServiceRunner. The system's
// service manager is reached only through what is passed in, so the machine
// runs the same over the Windows service manager, systemd and test doubles.
#pragma once

#include <cstdint>
#include <functional>

#include "platform/service_control.h"

namespace lattice {

// Service status values of the Windows service manager; systemd's adapter
// maps the states onto its notify messages.
inline constexpr std::uint32_t kServiceWin32OwnProcess = 0x10;
inline constexpr std::uint32_t kServiceStopped = 1;
inline constexpr std::uint32_t kServiceStartPending = 2;
inline constexpr std::uint32_t kServiceStopPending = 3;
inline constexpr std::uint32_t kServiceRunning = 4;
// Stop together with pre-shutdown.
inline constexpr std::uint32_t kServiceAcceptedControls = 0x101;
inline constexpr std::uint32_t kStopPendingWaitHintMs = 5000;

inline constexpr std::uint32_t kControlStop = 1;
inline constexpr std::uint32_t kControlInterrogate = 4;
inline constexpr std::uint32_t kControlShutdown = 5;
inline constexpr std::uint32_t kControlPreshutdown = 15;

inline constexpr std::uint32_t kErrorInvalidData = 13;
inline constexpr std::uint32_t kErrorCallNotImplemented = 120;
// The exit code of a service run whose worker could not be started
// (ERROR_TOO_MANY_TCBS, "Cannot create another thread").
inline constexpr std::uint32_t kErrorNoWorkerThread = 155;

// Registers the control handler with the service manager; null on failure.
using RegisterControlHandler = std::function<platform::ServiceStatusSink*()>;
// Starts body on a detached thread; false when no thread could be created.
using ThreadStarter = std::function<bool(std::function<void()> body)>;

// The service main operation: reports start-pending, starts the worker,
// reports running once the tracker serves and stopped once it has returned.
void ServiceMainOperation(const RegisterControlHandler& registerHandler, const ThreadStarter& startThread);

// The control handler; returns a Win32 error code.
std::uint32_t ServiceControlHandler(std::uint32_t control);

// The worker thread's body: runs the tracker and publishes its result.
std::uint32_t ServiceWorker();

// The thread starter used outside tests: a detached std::thread.
bool StartDetachedThread(std::function<void()> body);

}  // namespace lattice
