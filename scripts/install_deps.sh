#!/usr/bin/env bash
# Installs, from Debian's packages, what the build and the tests need and the
# machine lacks; with --build-only, just what building the tracker needs.
# Safe to run again: it installs only what is missing.
set -euo pipefail

packages=(cmake ninja-build g++ git liburing-dev)
if [ "${1:-}" != "--build-only" ]; then
  packages+=(
    clang libclang-rt-14-dev
    libgtest-dev libgmock-dev libbenchmark-dev
    g++-mingw-w64-x86-64-posix wine64
    python3 python3-pytest python3-pytest-xdist python3-prometheus-client
    procps util-linux
    dpkg-dev fakeroot nsis
  )
fi

missing=()
for p in "${packages[@]}"; do
  dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q "install ok installed" || missing+=("$p")
done

# npm fetches libutp; a machine may carry its own Node.js outside Debian's
# packages, so only a missing command asks for Debian's.
command -v npm >/dev/null 2>&1 || missing+=(nodejs npm)

if [ ${#missing[@]} -gt 0 ]; then
  if [ "$(id -u)" -ne 0 ]; then
    echo "missing packages: ${missing[*]}" >&2
    echo "installing them needs root: run this again as root (or with sudo), or install them first" >&2
    exit 1
  fi
  echo "installing: ${missing[*]}"
  export DEBIAN_FRONTEND=noninteractive
  apt-get update -qq
  apt-get install -y -qq --no-install-recommends "${missing[@]}" >/dev/null
fi
