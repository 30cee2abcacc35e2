#include "app/service_host.h"

#include "app/service_main.h"
#include "platform/process_control.h"
#include "platform/service_control.h"

namespace lattice {
namespace {

void ServiceMainEntry() {
  ServiceMainOperation([] { return platform::RegisterServiceControl(kServiceName, ServiceControlHandler); },
                       StartDetachedThread);
}

// systemd reads % as a specifier, $ as a variable and \ as an escape, in
// quotes too; doubling them keeps the command line as it was built.
std::wstring EscapeForSystemd(const std::wstring& text) {
  std::wstring out;
  for (wchar_t c : text) {
    if (c == L'%' || c == L'$' || c == L'\\') out.push_back(c);
    out.push_back(c);
  }
  return out;
}

}  // namespace

void RunServiceDispatcher() { platform::RunServiceDispatcher(kServiceName, ServiceMainEntry); }

std::wstring ServiceCommandLine(const std::wstring& programPath, const ArgsCollector& args) {
  std::wstring line = L"\"" + programPath + L"\" -s";
  const std::vector<std::wstring> port = args.Get(L"p");
  if (port.size() == 2) line += L" -p " + port[1];
  return line;
}

std::wstring SystemdUnitText(const std::wstring& commandLine) {
  return std::wstring(L"[Unit]\n") + L"Description=" + kServiceDisplayName +
         L"\n"
         L"After=network.target\n"
         L"\n"
         L"[Service]\n"
         L"Type=notify\n"
         L"ExecStart=" +
         EscapeForSystemd(commandLine) +
         L"\n"
         L"Restart=on-failure\n"
         L"RestartSec=" +
         std::to_wstring(kServiceRestartDelayMs / 1000) +
         L"\n"
         // An unprivileged account made up for each run, as NetworkService is
         // on Windows; it may still bind a port below 1024 as that one can.
         L"DynamicUser=yes\n"
         L"AmbientCapabilities=CAP_NET_BIND_SERVICE\n"
         L"CapabilityBoundingSet=CAP_NET_BIND_SERVICE\n"
         // One descriptor per TCP client: systemd's default soft limit of
         // 1024 would cap the tracker at about a thousand clients.
         L"LimitNOFILE=1048576\n"
         // The tracker writes no file, starts no program and needs no
         // device: everything below costs it nothing. AF_UNIX carries the
         // readiness notification to systemd.
         L"NoNewPrivileges=yes\n"
         L"ProtectSystem=strict\n"
         L"ProtectHome=yes\n"
         L"PrivateTmp=yes\n"
         L"PrivateDevices=yes\n"
         L"PrivateMounts=yes\n"
         L"DevicePolicy=closed\n"
         L"ProtectKernelTunables=yes\n"
         L"ProtectKernelModules=yes\n"
         L"ProtectKernelLogs=yes\n"
         L"ProtectControlGroups=yes\n"
         L"ProtectClock=yes\n"
         L"ProtectHostname=yes\n"
         L"ProtectProc=invisible\n"
         L"ProcSubset=pid\n"
         L"RestrictAddressFamilies=AF_INET AF_INET6 AF_UNIX\n"
         L"RestrictNamespaces=yes\n"
         L"RestrictRealtime=yes\n"
         L"RestrictSUIDSGID=yes\n"
         L"LockPersonality=yes\n"
         L"MemoryDenyWriteExecute=yes\n"
         L"RemoveIPC=yes\n"
         L"SystemCallArchitectures=native\n"
         L"SystemCallFilter=@system-service\n"
         L"SystemCallFilter=~@privileged\n"
         L"SystemCallErrorNumber=EPERM\n"
         L"UMask=0077\n"
         L"\n"
         L"[Install]\n"
         L"WantedBy=multi-user.target\n";
}

bool InstallService(std::shared_ptr<const ArgsCollector> args) {
  platform::ServiceDefinition service{
      kServiceName,
      kServiceDisplayName,
      kServiceAccount,
      kServiceRestartDelayMs,
      [&](const std::wstring& programPath) { return ServiceCommandLine(programPath, *args); },
      SystemdUnitText,
  };
  return platform::InstallService(service);
}

bool RemoveService() { return platform::RemoveService(kServiceName); }

ServiceCommandHooks SystemServiceCommands() {
  return {platform::IsElevated, platform::ShowPrivilegeError, InstallService, RemoveService};
}

int RunServiceCommand(std::shared_ptr<const ArgsCollector> args, const ServiceCommandHooks& hooks) {
  if (!hooks.isElevated()) {
    hooks.showPrivilegeError(L"Not enough privileges to perform this operation.", kServiceDisplayName);
    return 5;
  }
  // -sr wins when both are given.
  const bool ok = !args->Get(L"sr").empty() ? hooks.install(std::move(args)) : hooks.remove();
  return ok ? 0 : 1;
}

}  // namespace lattice
