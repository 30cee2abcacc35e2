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

# Address and undefined-behaviour sanitizers over the unit tests.
step "sanitizer build" configure_and_build "$build/asan" -DCMAKE_BUILD_TYPE=Debug \
  -DCMAKE_C_COMPILER=clang -DCMAKE_CXX_COMPILER=clang++ \
  "-DCMAKE_CXX_FLAGS=-fsanitize=address,undefined -fno-sanitize-recover=all -fno-omit-frame-pointer" \
  -DLATTICE_BENCH=OFF
step "sanitizer unit tests" env ASAN_OPTIONS=detect_leaks=1 "$build/asan/tests/unit_tests" --gtest_brief=1

echo
echo "failed steps: ${failures[*]:-none}"
echo "summary: $passed passed, $failed failed"
[ "$failed" -eq 0 ]
