#!/usr/bin/env bash
# Builds the libFuzzer targets (clang, AddressSanitizer + UndefinedBehaviorSanitizer) in
# build/fuzz and runs each for SECONDS (default 60) on a copy of its seed corpus in
# fuzz/corpus/<target>, printing the executions and the time each ran. Exits nonzero when
# any target crashed, leaked or failed a check; the input that did it is kept in
# build/fuzz/findings/<target>/ and the run's log in build/fuzz/logs/<target>.log.
#   scripts/fuzz.sh [SECONDS] [TARGET...]
set -euo pipefail
root="$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)"
seconds="${1:-60}"
shift || true
targets=("$@")
[ "${#targets[@]}" -gt 0 ] || targets=(dem_info level_header tile_payload record_codecs layer_name crs_sidecar export_calls vat_table db_rows)
"$root/scripts/setup.sh"

build="$root/build/fuzz"
jobs="${DEMBASE_JOBS:-$(nproc)}"
# -O1 keeps the checks of assert() and is what libFuzzer runs best at.
CC=clang CXX=clang++ cmake -S "$root" -B "$build" -G Ninja -DCMAKE_BUILD_TYPE=RelWithDebInfo \
  "-DCMAKE_CXX_FLAGS_RELWITHDEBINFO=-O1 -g" "-DCMAKE_C_FLAGS_RELWITHDEBINFO=-O1 -g" \
  -DDEMBASE_FUZZ=ON -DDEMBASE_BUILD_TESTS=OFF -DDEMBASE_WERROR=ON >/dev/null
cmake --build "$build" -j "$jobs" --target dembase_fuzz

# Layers the targets make live in memory when it can be had: they are rewritten on every input.
base="${TMPDIR:-/tmp}"
[ -d /dev/shm ] && [ -w /dev/shm ] && base=/dev/shm
work="$(mktemp -d "$base/dembase-fuzz-run-XXXXXX")"
trap 'rm -rf "$work"' EXIT
mkdir -p "$build/logs"

failed=0
printf '%-14s %12s %8s  %s\n' target executions seconds result
for target in "${targets[@]}"; do
  corpus="$work/corpus/$target"
  findings="$build/findings/$target"
  log="$build/logs/$target.log"
  mkdir -p "$corpus" "$findings" "$work/tmp/$target"
  cp "$root/fuzz/corpus/$target"/* "$corpus/"
  start=$(date +%s)
  result=ok
  # Run from a scratch directory: relative layer names given to the library land there.
  if ! (cd "$work/tmp/$target" && TMPDIR="$work/tmp/$target" \
        ASAN_OPTIONS=detect_leaks=1:abort_on_error=1 UBSAN_OPTIONS=print_stacktrace=1:halt_on_error=1 \
        "$build/fuzz/${target}_fuzzer" -max_total_time="$seconds" -timeout=60 -rss_limit_mb=2560 \
        -print_final_stats=1 -artifact_prefix="$findings/" "$corpus" >"$log" 2>&1); then
    result="FAILED (log: $log)"
    failed=1
  fi
  elapsed=$(($(date +%s) - start))
  execs="$(sed -n 's/^stat::number_of_executed_units: *//p' "$log" | tail -n 1)"
  printf '%-14s %12s %8s  %s\n' "$target" "${execs:-?}" "$elapsed" "$result"
  if [ "$result" != ok ]; then grep -E 'ERROR|SUMMARY|fuzz check failed|Test unit written' "$log" | head -n 8 >&2 || true; fi
done
[ "$failed" -eq 0 ] || { echo "fuzz.sh: a target failed; inputs are in $build/findings" >&2; exit 1; }
echo "fuzz: every target ran clean for ${seconds}s"
