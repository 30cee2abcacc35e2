#!/usr/bin/env bash
# Runs the Windows installer and its uninstaller silently under Wine, in a
# throw-away prefix: the service it registers carries the /PORT= chosen,
# answers on it, survives a reinstall with another port, and goes with the
# files on uninstall.
# Usage: scripts/test_package_wine.sh [path/to/setup.exe]
# Ends with "N passed, N failed"; exits non-zero when a check failed.
set -uo pipefail

service=corvane-lattice-tracker
# shellcheck source=scripts/wine_service_lib.sh
source "$(dirname "$0")/wine_service_lib.sh"
version=$(sed -nE 's/.*kTrackerVersion\[\] = "([^"]+)".*/\1/p' "$root/src/app/version.h")
setup=${1:-$root/build/packages/$service-$version-setup.exe}
wine_service_start "$setup"

dir="$WINEPREFIX/drive_c/Program Files/Corvane Lattice Tracker"
win_exe='C:\Program Files\Corvane Lattice Tracker\corvane-lattice-tracker.exe'
uninstall_key="HKLM\\Software\\Microsoft\\Windows\\CurrentVersion\\Uninstall\\$service"

runs() {
  local expected=$1
  shift
  w "$@" >/dev/null 2>&1
  [ $? -eq "$expected" ]
}
installed() { [ -f "$dir/corvane-lattice-tracker.exe" ] && [ -f "$dir/lattice-alerts.yml" ] && [ -f "$dir/uninstall.exe" ] && listed; }
listed() { w reg query "$uninstall_key" /v QuietUninstallString >/dev/null 2>&1; }
# The uninstaller runs from a copy of itself and returns at once; it is done
# when the folder is gone.
uninstall() {
  w "$dir/uninstall.exe" /S >/dev/null 2>&1 || return 1
  for _ in $(seq 300); do
    [ -e "$dir" ] || return 0
    sleep 0.1
  done
  return 1
}
refused() { runs 2 "$setup" /S /PORT=0 && [ ! -e "$dir" ] && service_gone; }
serves() { net start "$service" && wait_state 4 && get_peers "$1"; }
reregistered() { image_path_is "\"$win_exe\" -s -p 4200" && wait_state 1 && eventually port_free 4100; }
all_gone() { service_gone && [ ! -e "$dir" ] && ! listed && eventually port_free 4100 4200; }

check "ports 4100 and 4200 are free before the run" port_free 4100 4200
check "/PORT=0 is refused (exit 2), nothing installed" refused
check "silent install with /PORT=4100 (exit 0)" runs 0 "$setup" /S /PORT=4100
check "program, uninstaller and Add/Remove entry installed" installed
check "service command line is -s -p 4100" image_path_is "\"$win_exe\" -s -p 4100"
check "net start; RUNNING; answers get_peers on port 4100" serves 4100

# Over a running service: it is stopped, replaced and registered anew.
check "reinstall with /PORT=4200 (exit 0)" runs 0 "$setup" /S /PORT=4200
check "service command line is -s -p 4200, stopped, port 4100 free" reregistered
check "net start; RUNNING; answers get_peers on port 4200" serves 4200

check "silent uninstall removes the folder" uninstall
check "service, Add/Remove entry gone, ports free" all_gone

wine_service_summary
