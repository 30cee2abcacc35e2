#!/usr/bin/env bash
# Builds the Linux tracker if needed and starts it in console mode (port 3000
# unless told otherwise). Extra arguments are passed on, e.g. -p 4000.
# Installs only what the build needs (a compiler, CMake, Ninja, npm for the
# uTP library); the test command installs the rest.
set -euo pipefail
root=$(cd "$(dirname "$0")/.." && pwd)
"$root/scripts/install_deps.sh" --build-only
build="$root/build/run"
if [ ! -f "$build/build.ninja" ]; then
  cmake -S "$root" -B "$build" -G Ninja -DCMAKE_BUILD_TYPE=Release -DLATTICE_TESTS=OFF -DLATTICE_BENCH=OFF \
    -DLIBUTP_DOWNLOAD_DIR="$root/build/_downloads"
fi
cmake --build "$build" --target corvane-lattice-tracker
if [ $# -eq 0 ]; then set -- -p 3000; fi
echo "starting: $build/corvane-lattice-tracker $*"
exec "$build/corvane-lattice-tracker" "$@"
