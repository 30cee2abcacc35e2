#!/usr/bin/env bash
# Installs, from Debian's packages, what the build and the tests need and the
# machine lacks; with --build-only, just what building the tracker needs.
# Safe to run again: it installs only what is missing.
set -euo pipefail

packages=(cmake ninja-build g++ git liburing-dev libhiredis-dev)
if [ "${1:-}" != "--build-only" ]; then
  packages+=(
    clang libclang-rt-14-dev
    libgtest-dev libgmock-dev libbenchmark-dev
    g++-mingw-w64-x86-64-posix wine64
    python3 python3-pytest python3-pytest-xdist python3-prometheus-client
    prometheus
    procps util-linux
    redis-server redis-tools python3-redis
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
  # No package's service may start on install (prometheus's would listen on
  # port 9090; the tests start their own on loopback): invoke-rc.d and
  # deb-systemd-invoke ask policy-rc.d, and "101" forbids. A machine's own
  # policy-rc.d is left as it is.
  if [ ! -e /usr/sbin/policy-rc.d ]; then
    printf '#!/bin/sh\nexit 101\n' >/usr/sbin/policy-rc.d
    chmod 755 /usr/sbin/policy-rc.d
    trap 'rm -f /usr/sbin/policy-rc.d' EXIT
  fi
  apt-get update -qq
  apt-get install -y -qq --no-install-recommends "${missing[@]}" >/dev/null
fi
