#!/usr/bin/env bash
# Installs what is missing, builds both builds and every test target, runs
# every test, and ends with one summary line. Usage: scripts/test_all.sh
set -uo pipefail

root=$(cd "$(dirname "$0")/.." && pwd)
cd "$root"
scripts/install_deps.sh || { echo "summary: 0 passed, 1 failed"; exit 1; }

build="$root/build"
jobs=$(nproc)
common=(-G Ninja -DLIBUTP_DOWNLOAD_DIR="$build/_downloads")
py=/usr/bin/python3

passed=0
failed=0
failures=()

step() {
  local name=$1
  shift
  echo "=== $name"
  local start=$SECONDS
  if "$@"; then
    passed=$((passed + 1))
    echo "--- pass: $name ($((SECONDS - start)) s)"
  else
    failed=$((failed + 1))
    failures+=("$name")
    echo "--- FAIL: $name ($((SECONDS - start)) s)"
  fi
}

configure_and_build() {
  local dir=$1
  shift
  cmake -S "$root" -B "$dir" "${common[@]}" "$@" >"$dir.configure.log" 2>&1 ||
    { cat "$dir.configure.log"; return 1; }
  ninja -C "$dir" -j "$jobs" >"$dir.build.log" 2>&1 || { tail -50 "$dir.build.log"; return 1; }
}

mkdir -p "$build"

# Linux build: the tracker, its tests, the uTP test client, benchmarks.
step "linux build" configure_and_build "$build/linux" -DCMAKE_BUILD_TYPE=RelWithDebInfo
step "linux unit tests" "$build/linux/tests/unit_tests" --gtest_brief=1
step "linux cluster unit tests" "$build/linux/tests/cluster_tests" --gtest_brief=1
# The completion-port contract on each Linux backend.
step "linux port-contract tests (io_uring)" env LATTICE_IO_BACKEND=io_uring "$build/linux/tests/port_tests" --gtest_brief=1
step "linux port-contract tests (epoll)" env LATTICE_IO_BACKEND=epoll "$build/linux/tests/port_tests" --gtest_brief=1
# The engine client against Redis Cluster servers it starts on loopback.
for backend in io_uring epoll; do
  step "engine client tests ($backend)" env LATTICE_IO_BACKEND=$backend "$build/linux/tests/engine_tests" --gtest_brief=1
done

# The alert rules: well formed, and each alert firing, or not, on its cases.
step "prometheus alert rules (promtool)" bash -c \
  'cd packaging/prometheus && promtool check rules lattice-alerts.yml && promtool test rules lattice-alerts.test.yml'

# Address and undefined-behaviour sanitizers over the unit tests.
step "sanitizer build" configure_and_build "$build/asan" -DCMAKE_BUILD_TYPE=Debug \
  -DCMAKE_C_COMPILER=clang -DCMAKE_CXX_COMPILER=clang++ \
  "-DCMAKE_CXX_FLAGS=-fsanitize=address,undefined -fno-sanitize-recover=all -fno-omit-frame-pointer" \
  -DLATTICE_BENCH=OFF
step "sanitizer unit tests" env ASAN_OPTIONS=detect_leaks=1 "$build/asan/tests/unit_tests" --gtest_brief=1
for backend in io_uring epoll; do
  step "sanitizer port-contract tests ($backend)" env ASAN_OPTIONS=detect_leaks=1 LATTICE_IO_BACKEND=$backend \
    "$build/asan/tests/port_tests" --gtest_brief=1
done
step "sanitizer cluster unit tests" "$build/asan/tests/cluster_tests" --gtest_brief=1
step "sanitizer engine client tests" env ASAN_OPTIONS=detect_leaks=1 "$build/asan/tests/engine_tests" --gtest_brief=1

# Fuzz targets (libFuzzer needs clang) for a bounded time.
step "fuzz build" configure_and_build "$build/fuzz" -DCMAKE_BUILD_TYPE=RelWithDebInfo \
  -DCMAKE_C_COMPILER=clang -DCMAKE_CXX_COMPILER=clang++ -DLATTICE_FUZZ=ON -DLATTICE_TESTS=OFF -DLATTICE_BENCH=OFF
step "fuzz (30 s)" scripts/run_fuzz.sh "$build/fuzz" 30

# The real program on loopback, driven by real TCP and uTP clients.
# Black-box tests mostly wait on the tracker, so they run a few at a time.
for backend in io_uring epoll; do
  step "black-box suite (linux, $backend)" env LATTICE_IO_BACKEND=$backend $py -m pytest -q -n 4 tests/blackbox
done
step "load generator unit tests" "$build/linux/tools/loadgen/loadgen_tests" --gtest_brief=1
step "benchmarks and load generator (smoke)" $py bench/run --smoke --build "$build/linux"
step "cluster: registry function and three tracker nodes (redis)" $py -m pytest -q tests/cluster
step "service mode (linux, systemd notify and unit files)" $py -m pytest -q -p no:cacheprovider tests/service
step "thread-sanitizer build" configure_and_build "$build/tsan" -DCMAKE_BUILD_TYPE=RelWithDebInfo \
  -DCMAKE_C_COMPILER=clang -DCMAKE_CXX_COMPILER=clang++ "-DCMAKE_CXX_FLAGS=-fsanitize=thread" \
  -DLATTICE_TESTS=OFF -DLATTICE_BENCH=OFF
step "black-box suite (thread sanitizer)" env TRACKER_CMD="$build/tsan/corvane-lattice-tracker" \
  TRACKER_ALLOCATED_UNKNOWN=1 TSAN_OPTIONS="halt_on_error=1 exitcode=66" TRACKER_TIME_SCALE=2 $py -m pytest -q -n 3 tests/blackbox -m "not slow"

# The Windows build, cross-compiled, and its tests under Wine (headless, in a
# private prefix). Wine ends a process on SIGTERM and renders console output
# only to a terminal, so those checks are left to the console test below.
step "windows build" configure_and_build "$build/win" -DCMAKE_BUILD_TYPE=Release \
  -DCMAKE_TOOLCHAIN_FILE="$root/cmake/mingw-w64.cmake"
step "windows unit tests (wine)" scripts/wine_env.sh "$build/win/tests/unit_tests.exe" --gtest_brief=1
step "windows port-contract tests (wine)" scripts/wine_env.sh "$build/win/tests/port_tests.exe" --gtest_brief=1
step "windows cluster unit tests (wine)" scripts/wine_env.sh "$build/win/tests/cluster_tests.exe" --gtest_brief=1
step "cluster: a windows node beside a linux node (wine, redis)" env \
  WINE_TRACKER_EXE="$build/win/corvane-lattice-tracker.exe" $py -m pytest -q tests/cluster/test_cluster_nodes.py -k windows
step "black-box suite (windows under wine)" env \
  TRACKER_CMD="scripts/wine_env.sh $build/win/corvane-lattice-tracker.exe" \
  TRACKER_STDOUT=0 TRACKER_SIGTERM=0 TRACKER_TIME_SCALE=6 TRACKER_ALLOCATED_UNKNOWN=1 \
  $py -m pytest -q tests/blackbox -m "not slow"
step "console output through a terminal (windows under wine)" env \
  TERMINAL_TRACKER_CMD="scripts/wine_env.sh $build/win/corvane-lattice-tracker.exe" TRACKER_TIME_SCALE=4 \
  $py -m pytest -q tests/blackbox/test_console_terminal.py
step "service mode (windows under wine's service manager)" scripts/test_service_wine.sh "$build/win/corvane-lattice-tracker.exe"

# Packages from the two builds above: the Debian one installed, removed and
# purged on this machine, the installer and its uninstaller run under Wine.
step "packages (build)" scripts/package.sh "$build/linux" "$build/win"
step "packages (debian)" scripts/test_package_deb.sh
step "packages (windows installer under wine)" scripts/test_package_wine.sh

echo
echo "failed steps: ${failures[*]:-none}"
echo "summary: $passed passed, $failed failed"
[ "$failed" -eq 0 ]
