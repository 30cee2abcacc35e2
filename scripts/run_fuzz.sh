#!/usr/bin/env bash
# Runs every fuzz target of BUILD_DIR for an equal share of SECONDS, each on a
# scratch copy of its seed corpus, and fails on any crash, sanitizer report or
# leak. Crashing inputs are kept in BUILD_DIR/fuzz-artifacts/.
#
#   scripts/run_fuzz.sh BUILD_DIR SECONDS
#
# BUILD_DIR must have been configured with clang and -DLATTICE_FUZZ=ON.
set -u -o pipefail

if [ $# -ne 2 ] || ! [[ $2 =~ ^[0-9]+$ ]]; then
  echo "usage: $0 BUILD_DIR SECONDS" >&2
  exit 2
fi
build=$(cd "$1" && pwd) || exit 2
seconds=$2
root=$(cd "$(dirname "$0")/.." && pwd)

# Every fuzz/fuzz_<name>.cpp is a target whose seeds are in fuzz/corpus/<name>/.
targets=()
for source in "$root"/fuzz/fuzz_*.cpp; do
  [ -e "$source" ] || continue
  targets+=("$(basename "$source" .cpp)")
done
if [ ${#targets[@]} -eq 0 ]; then
  echo "run_fuzz: no fuzz targets in $root/fuzz" >&2
  exit 2
fi
per_target=$((seconds / ${#targets[@]}))
[ "$per_target" -ge 1 ] || per_target=1

scratch=$(mktemp -d)
trap 'rm -rf "$scratch"' EXIT
artifacts="$build/fuzz-artifacts"
mkdir -p "$artifacts"

export ASAN_OPTIONS="${ASAN_OPTIONS:-abort_on_error=1:detect_leaks=1}"
export UBSAN_OPTIONS="${UBSAN_OPTIONS:-halt_on_error=1:print_stacktrace=1}"

status=0
summaries=()
for target in "${targets[@]}"; do
  binary="$build/fuzz/$target"
  name=${target#fuzz_}
  if [ ! -x "$binary" ]; then
    summaries+=("$target: MISSING ($binary not built)")
    status=1
    continue
  fi
  corpus="$scratch/corpus-$name"
  mkdir -p "$corpus"
  if [ -d "$root/fuzz/corpus/$name" ]; then
    cp -r "$root/fuzz/corpus/$name"/. "$corpus"/
  fi
  log="$scratch/$target.log"
  "$binary" "$corpus" \
    -max_total_time="$per_target" \
    -rss_limit_mb=2048 \
    -max_len=16384 \
    -detect_leaks=1 \
    -print_final_stats=1 \
    -artifact_prefix="$artifacts/$target-" \
    >"$log" 2>&1
  rc=$?

  final_stat() { grep -o "stat::$1: *[0-9]*" "$log" | tail -1 | grep -o '[0-9]*$'; }
  runs=$(final_stat number_of_executed_units)
  speed=$(final_stat average_exec_per_sec)
  rss=$(final_stat peak_rss_mb)
  cov=$(grep -o 'cov: [0-9]*' "$log" | tail -1 | grep -o '[0-9]*')
  # Belt and braces: a report that did not stop the run still fails it.
  if [ $rc -eq 0 ] && grep -qE 'ERROR: (AddressSanitizer|LeakSanitizer|libFuzzer)|runtime error:|invariant failed' "$log"; then
    rc=1
  fi
  if [ $rc -ne 0 ]; then
    status=1
    echo "---- $target failed (exit $rc); last lines of its log:" >&2
    tail -n 40 "$log" >&2
    summaries+=("$target: FAILED exit=$rc runs=${runs:-?} exec/s=${speed:-?} artifacts=$artifacts")
  else
    summaries+=("$target: ok runs=${runs:-?} exec/s=${speed:-?} cov=${cov:-?} peak_rss_mb=${rss:-?} seconds=$per_target")
  fi
done

for line in "${summaries[@]}"; do echo "$line"; done
exit $status
