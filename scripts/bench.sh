#!/usr/bin/env bash
# Builds the benchmarks in a Release build (build/bench) and runs them. Each prints one
# table in which every figure sits beside its reference, measured in the same run.
# Usage: scripts/bench.sh [seconds per figure (default 0.5)]
set -euo pipefail
root="$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)"
"$root/scripts/setup.sh"

seconds="${1:-0.5}"
jobs="${DEMBASE_JOBS:-$(nproc)}"
dir="$root/build/bench"
cmake -S "$root" -B "$dir" -G Ninja -DCMAKE_BUILD_TYPE=Release -DDEMBASE_BUILD_BENCH=ON -DDEMBASE_BUILD_TESTS=OFF
cmake --build "$dir" -j "$jobs" --target cell_bench rasterdb_bench level_io_bench

# Scratch space on the same file system as the build, removed however the run ends.
work="$(mktemp -d "$dir/run.XXXXXX")"
trap 'rm -rf "$work"' EXIT
mkdir "$work/cells" "$work/rasterdb" "$work/levels"

echo "== cell and tile access, local store"
"$dir/bench/cell_bench" "$seconds" "$work/cells"
echo
echo "== tile writes and reads through librasterdb (SQLite)"
"$dir/bench/rasterdb_bench" 64 "$work/rasterdb"
echo
echo "== whole-level writes and tile-data reads, local store"
"$dir/bench/level_io_bench" 24 3 "$work/levels"
