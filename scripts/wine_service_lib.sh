# shellcheck shell=bash
# Sourced by the Wine service tests: a throw-away prefix with one persistent
# wineserver (both gone at exit), check(), and queries of Wine's own service
# manager. The caller sets $service first.
# shellcheck disable=SC2154
#   wine_service_start FILE...   exits unless wine and the files are there,
#                                then makes the prefix
#   wine_service_summary         prints "N passed, N failed"; false on a failure

root=$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)
py=/usr/bin/python3
wine=/usr/lib/wine/wine64
[ -x "$wine" ] || wine=$(command -v wine64 || true)
wineserver=$(dirname "${wine:-/}")/wineserver
[ -x "$wineserver" ] || wineserver=$(command -v wineserver || true)

passed=0
failed=0
check() {
  local label=$1
  shift
  if "$@"; then
    passed=$((passed + 1))
    echo "ok: $label"
  else
    failed=$((failed + 1))
    echo "FAIL: $label"
  fi
}
wine_service_summary() {
  echo "$passed passed, $failed failed"
  [ "$failed" -eq 0 ]
}

wine_service_cleanup() {
  "$wineserver" -k 2>/dev/null
  "$wineserver" -w 2>/dev/null
  rm -rf "$WINEPREFIX"
}

wine_service_start() {
  local file
  for file in "$wine" "$wineserver" "$@"; do
    if [ -z "$file" ] || [ ! -f "$file" ]; then
      echo "needs wine64, wineserver and $*"
      echo "0 passed, 1 failed"
      exit 1
    fi
  done
  export WINEPREFIX
  WINEPREFIX=$(mktemp -d /tmp/lattice-service-wine.XXXXXX)
  export WINEDEBUG=-all WINEDLLOVERRIDES="mscoree=;mshtml="
  unset DISPLAY WAYLAND_DISPLAY
  trap wine_service_cleanup EXIT
  # The prefix is made first, by a session of its own. Then a persistent
  # server keeps one services.exe for the whole run: a new one would start
  # the auto-start service by itself, as a system start does.
  w wineboot --init >/dev/null 2>&1
  "$wineserver" -w
  "$wineserver" -p
}

w() { timeout -k 5 60 "$wine" "$@"; }
net() { w net "$@" >/dev/null 2>&1; }

# Wine's sc has no qc; its service manager keeps each service's configuration
# under this key, one value per field that qc shows.
config() { w reg query "HKLM\\System\\CurrentControlSet\\Services\\$service" 2>/dev/null | tr -d '\r'; }
has_value() { [ "$(config | sed -nE "s/^ +$1 +REG_[A-Z_]+ +//p")" = "$2" ]; }
image_path_is() { has_value ImagePath "$1"; }

query() { w sc query "$service" 2>/dev/null | tr -d '\r'; }
state_is() { query | grep -qE "STATE +: +$1 "; }
exit_code_is() { query | grep -qE "WIN32_EXIT_CODE +: +$1 "; }
# Waits up to 15 s for a state; the manager reports it once the service has.
wait_state() {
  for _ in $(seq 150); do
    state_is "$1" && return 0
    sleep 0.1
  done
  return 1
}
service_gone() { ! w sc query "$service" >/dev/null 2>&1; }
# A stopped service's process may still be exiting, its port still held.
eventually() {
  for _ in $(seq 100); do
    "$@" && return 0
    sleep 0.1
  done
  return 1
}
# True when no listener takes a TCP connection on any of the ports.
port_free() {
  local p
  for p in "$@"; do
    ! (exec 3<>"/dev/tcp/127.0.0.1/$p") 2>/dev/null || return 1
  done
}
get_peers() { "$py" "$root/tests/service/get_peers_client.py" "$1" 15 >/dev/null; }
