#!/usr/bin/env bash
# Installs, starts, queries, stops and removes the Windows build's service
# through Wine's own service manager (sc, net, reg), in a throw-away prefix.
# Usage: scripts/test_service_wine.sh [path/to/corvane-lattice-tracker.exe]
# Ends with "N passed, N failed"; exits non-zero when a check failed.
set -uo pipefail

service=corvane-lattice-tracker
# shellcheck source=scripts/wine_service_lib.sh
source "$(dirname "$0")/wine_service_lib.sh"
exe_built=${1:-$root/build/win/corvane-lattice-tracker.exe}
port=4000
wine_service_start "$exe_built"

# A folder with a space shows that the installed command line quotes the path.
dir="$WINEPREFIX/drive_c/Program Files/Corvane Lattice"
mkdir -p "$dir"
cp "$exe_built" "$dir/"
exe="$dir/corvane-lattice-tracker.exe"
win_path='C:\Program Files\Corvane Lattice\corvane-lattice-tracker.exe'

own_process() { has_value Type 0x10 && has_value ErrorControl 0x1 && has_value DisplayName 'Corvane Lattice Tracker'; }
runs() {
  local expected=$1
  shift
  w "$exe" "$@" >/dev/null 2>&1
  [ $? -eq "$expected" ]
}
silent_exit() {
  local out
  out=$(w "$exe" -s 2>&1) && [ -z "$out" ]
}

check "port $port is free before the run" port_free "$port"
check "-sr -p $port installs (exit 0)" runs 0 -sr -p "$port"
check "command line is the quoted path, -s and -p $port" image_path_is "\"$win_path\" -s -p $port"
check "start type is automatic" has_value Start 0x2
check "account is NetworkService" has_value ObjectName 'NT AUTHORITY\NetworkService'
check "own process, normal error control, display name" own_process
check "install leaves the service stopped" state_is 1
check "second -sr -p 5000 succeeds (exit 0)" runs 0 -sr -p 5000
check "second -sr changed nothing" image_path_is "\"$win_path\" -s -p $port"

check "net start succeeds" net start "$service"
check "service is RUNNING" wait_state 4
check "service answers get_peers on port $port" get_peers "$port"
check "net stop succeeds" net stop "$service"
check "service is STOPPED" wait_state 1
check "stopped with WIN32_EXIT_CODE 0" exit_code_is 0
check "port $port is released" port_free "$port"

check "-sd removes (exit 0)" runs 0 -sd
check "removed service is unknown to sc" service_gone
check "-sd without a service fails (exit 1)" runs 1 -sd

check "-sr -p $port 5000 installs (exit 0)" runs 0 -sr -p "$port" 5000
check "command line has no -p" image_path_is "\"$win_path\" -s"
check "-sd removes it (exit 0)" runs 0 -sd

# A tracker that cannot open its sockets returns 2 before serving: the
# service goes from start-pending straight to stopped with that code.
check "-sr with an unresolvable port installs" runs 0 -sr -p no-such-port-name
check "net start of the failing tracker is accepted" net start "$service"
check "failing tracker ends STOPPED" wait_state 1
check "with WIN32_EXIT_CODE 2" exit_code_is 2
check "-sd removes it (exit 0)" runs 0 -sd

check "-s outside the service manager exits 0 and prints nothing" silent_exit

wine_service_summary
