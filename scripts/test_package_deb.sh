#!/usr/bin/env bash
# Checks the Debian package's fields and contents, then installs, removes and
# purges it on this machine (as root; no running systemd needed).
# Usage: scripts/test_package_deb.sh [path/to/package.deb]
# Ends with "N passed, N failed"; exits non-zero when a check failed.
set -uo pipefail

root=$(cd "$(dirname "$0")/.." && pwd)
name=corvane-lattice-tracker
version=$(sed -nE 's/.*kTrackerVersion\[\] = "([^"]+)".*/\1/p' "$root/src/app/version.h")
deb=${1:-$root/build/packages/${name}_${version}_amd64.deb}
unit=/lib/systemd/system/$name.service
options=/etc/default/$name
doc=/usr/share/doc/$name/README.md
alerts=/usr/share/doc/$name/examples/lattice-alerts.yml

if [ "$(id -u)" -ne 0 ] || [ ! -f "$deb" ]; then
  echo "needs root and $deb"
  echo "0 passed, 1 failed"
  exit 1
fi
# An install the test did not make is not its to remove.
if dpkg-query -W "$name" >/dev/null 2>&1; then
  echo "$name is known to dpkg already; purge it first"
  echo "0 passed, 1 failed"
  exit 1
fi
log=$(mktemp)
trap 'dpkg --purge "$name" >/dev/null 2>&1; rm -f "$log"' EXIT

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
quiet() { "$@" >"$log" 2>&1 || { cat "$log"; return 1; }; }

fields_are() {
  [ "$(dpkg-deb -f "$deb" Package Version Architecture | tr '\n' ' ')" = \
    "Package: $name Version: $version Architecture: amd64 " ] &&
    dpkg-deb -f "$deb" Depends | grep -q 'libc6 (>= ' && dpkg-deb -f "$deb" Depends | grep -q 'libstdc++6 (>= ' &&
    [ "$(dpkg-deb -I "$deb" conffiles)" = "$options" ]
}
# Exactly these files, owned by root, the program executable.
contents_are() {
  [ "$(dpkg-deb -c "$deb" | grep -v '^d' | awk '{print $1, $2, $6}' | sort)" = "$(printf '%s\n' \
    "-rw-r--r-- root/root .$options" "-rw-r--r-- root/root .$unit" "-rw-r--r-- root/root .$doc" \
    "-rw-r--r-- root/root .$alerts" \
    "-rwxr-xr-x root/root ./usr/bin/$name" | sort)" ]
}
status_is() { [ "$(dpkg-query -W -f='${Status}' "$name" 2>/dev/null)" = "$1" ]; }
all_exist() { local f; for f in "$@"; do [ -f "$f" ] || return 1; done; }
none_exist() { local f; for f in "$@"; do [ ! -e "$f" ] || return 1; done; }
program_runs() { /usr/bin/$name --version | grep -qF "$name $version "; }
# shellcheck disable=SC1090
default_port_3000() { (. "$options" && [ "$LATTICE_OPTS" = "-p 3000" ]); }
# The unit starts the installed program with the options file's words;
# systemd's own parser checks the rest where it is installed.
unit_is_sound() {
  grep -qxF "EnvironmentFile=-$options" "$unit" && grep -qxF "ExecStart=/usr/bin/$name -s \$LATTICE_OPTS" "$unit" &&
    default_port_3000 &&
    { ! command -v systemd-analyze >/dev/null || verify_silent; }
}
# verify exits 0 on what it ignores, such as a misspelt value: it must say nothing.
verify_silent() {
  local said
  if said=$(systemd-analyze verify "$unit" 2>&1) && [ -z "$said" ]; then return 0; fi
  echo "$said"
  return 1
}
not_enabled() { ! compgen -G "/etc/systemd/system/*.wants/$name.service" >/dev/null; }
installed() { status_is "install ok installed" && all_exist "/usr/bin/$name" "$unit" "$options" "$doc" "$alerts" && program_runs; }
removed() { status_is "deinstall ok config-files" && none_exist "/usr/bin/$name" "$unit" "$doc" "$alerts" && [ -f "$options" ]; }
purged() { [ ! -e "$options" ] && ! dpkg-query -W "$name" >/dev/null 2>&1; }

check "fields: $name $version amd64, depends on libc6 and libstdc++6, conffile $options" fields_are
check "contents: program, unit, options file, README, alert rules, nothing else" contents_are
check "dpkg -i succeeds" quiet dpkg -i "$deb"
check "installed, files in place, program is $version" installed
check "unit runs the installed program with LATTICE_OPTS, and verifies" unit_is_sound
check "service is not enabled" not_enabled
check "dpkg -r succeeds" quiet dpkg -r "$name"
check "removed: files gone, options file kept" removed
check "dpkg --purge succeeds" quiet dpkg --purge "$name"
check "purged: options file gone, package unknown" purged

echo "$passed passed, $failed failed"
[ "$failed" -eq 0 ]
