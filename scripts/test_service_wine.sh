#!/usr/bin/env bash
# Installs, starts, queries, stops and removes the Windows build's service
# through Wine's own service manager (sc, net, reg), in a throw-away prefix.
# Usage: scripts/test_service_wine.sh [path/to/corvane-lattice-tracker.exe]
# Ends with "N passed, N failed"; exits non-zero when a check failed.
set -uo pipefail

root=$(cd "$(dirname "$0")/.." && pwd)
exe_built=${1:-$root/build/win/corvane-lattice-tracker.exe}
py=/usr/bin/python3
port=4000
service=corvane-lattice-tracker

wine=/usr/lib/wine/wine64
[ -x "$wine" ] || wine=$(command -v wine64 || true)
wineserver=$(dirname "$wine")/wineserver
[ -x "$wineserver" ] || wineserver=$(command -v wineserver || true)
if [ -z "$wine" ] || [ -z "$wineserver" ] || [ ! -f "$exe_built" ]; then
  echo "needs wine64, wineserver and $exe_built"
  echo "0 passed, 1 failed"
  exit 1
fi

export WINEPREFIX
WINEPREFIX=$(mktemp -d /tmp/lattice-service-wine.XXXXXX)
export WINEDEBUG=-all WINEDLLOVERRIDES="mscoree=;mshtml="
unset DISPLAY WAYLAND_DISPLAY

cleanup() {
  "$wineserver" -k 2>/dev/null
  "$wineserver" -w 2>/dev/null
  rm -rf "$WINEPREFIX"
}
trap cleanup EXIT

passed=0
failed=0
check() {
  local name=$1
  shift
  if "$@"; then
    passed=$((passed + 1))
    echo "ok: $name"
  else
    failed=$((failed + 1))
    echo "FAIL: $name"
  fi
}

w() { timeout 60 "$wine" "$@"; }
net() { w net "$@" >/dev/null 2>&1; }

# The prefix is made first, by a session of its own. Then a persistent
# server keeps one services.exe for the whole run: a new one would start the
# auto-start service by itself, as a system start does.
w wineboot --init >/dev/null 2>&1
"$wineserver" -w
"$wineserver" -p

# A folder with a space shows that the installed command line quotes the path.
dir="$WINEPREFIX/drive_c/Program Files/Corvane Lattice"
mkdir -p "$dir"
cp "$exe_built" "$dir/"
exe="$dir/corvane-lattice-tracker.exe"
win_path='C:\Program Files\Corvane Lattice\corvane-lattice-tracker.exe'

# Wine's sc has no qc; its service manager keeps each service's configuration
# under this key, one value per field that qc shows.
config() { w reg query "HKLM\\System\\CurrentControlSet\\Services\\$service" 2>/dev/null | tr -d '\r'; }
has_value() { [ "$(config | sed -nE "s/^ +$1 +REG_[A-Z_]+ +//p")" = "$2" ]; }
image_path_is() { has_value ImagePath "$1"; }
own_process() { has_value Type 0x10 && has_value ErrorControl 0x1 && has_value DisplayName 'Corvane Lattice Tracker'; }

query() { w sc query "$service" 2>/dev/null | tr -d '\r'; }
state_is() { query | grep -qE "STATE +: +$1 "; }
exit_code_is() { query | grep -qE "WIN32_EXIT_CODE +: +$1 "; }
# Waits up to 15 s for a state; the manager reports it once the service has.
wait_state() {
  local i
  for i in $(seq 150); do
    state_is "$1" && return 0
    sleep 0.1
  done
  return 1
}
runs() {
  local expected=$1
  shift
  w "$exe" "$@" >/dev/null 2>&1
  [ $? -eq "$expected" ]
}
port_free() { ! (exec 3<>"/dev/tcp/127.0.0.1/$port") 2>/dev/null; }
service_gone() { ! w sc query "$service" >/dev/null 2>&1; }
silent_exit() {
  local out
  out=$(w "$exe" -s 2>&1) && [ -z "$out" ]
}
get_peers() { "$py" "$root/tests/service/get_peers_client.py" "$port" 15 >/dev/null; }

check "port $port is free before the run" port_free
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
check "service answers get_peers on port $port" get_peers
check "net stop succeeds" net stop "$service"
check "service is STOPPED" wait_state 1
check "stopped with WIN32_EXIT_CODE 0" exit_code_is 0
check "port $port is released" port_free

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

echo "$passed passed, $failed failed"
[ "$failed" -eq 0 ]
