#!/usr/bin/env bash
# Builds the Linux tracker if needed and starts it on port 3000 in console
# mode. Extra arguments are passed on (for example: -p 4000 -mtu 1200).
set -euo pipefail
root=$(cd "$(dirname "$0")/.." && pwd)
"$root/scripts/install_deps.sh"
build="$root/build/run"
if [ ! -f "$build/build.ninja" ]; then
  cmake -S "$root" -B "$build" -G Ninja -DCMAKE_BUILD_TYPE=Release -DLATTICE_TESTS=OFF -DLATTICE_BENCH=OFF \
    -DLIBUTP_DOWNLOAD_DIR="$root/build/_downloads" >/dev/null
fi
ninja -C "$build" corvane-lattice-tracker >/dev/null
if [ $# -eq 0 ]; then set -- -p 3000; fi
exec "$build/corvane-lattice-tracker" "$@"
