#!/usr/bin/env bash
# Builds the benchmarks in Release (build/bench) and prints the comparison table: every
# dembase figure beside GDAL and the codec limits measured in the same run, on one
# generated 8193 x 8193 float DEM. The table is also written as JSON.
#
# Usage: scripts/bench.sh [--runs N] [--all] [--scale SIDES]
#   --runs N        runs of each measurement (default 5; the table shows median and spread)
#   --all           also run the finer cell-access and SQLite benchmarks afterwards
#   --scale SIDES   instead of the table, the scaling lines at 8193 and at each of SIDES
#                   (e.g. 16385,32769), written to build/bench/scaling.json; at 32769 they
#                   need up to 9 GiB of memory and 16 GiB of disk, about 6 minutes a run
# Scratch files (about 1.5 GiB) go under build/bench and are removed at the end.
set -euo pipefail
root="$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)"

runs=5
all=0
scale=""
while [[ $# -gt 0 ]]; do
  case "$1" in
    --runs) runs="${2:?--runs needs a number}"; shift 2 ;;
    --all) all=1; shift ;;
    --scale) scale="${2:?--scale needs sides, e.g. 16385,32769}"; shift 2 ;;
    *) echo "bench.sh: unknown argument $1 (use --runs N, --all, --scale SIDES)" >&2; exit 2 ;;
  esac
done

"$root/scripts/setup.sh"
jobs="${DEMBASE_JOBS:-$(nproc)}"
dir="$root/build/bench"
cmake -S "$root" -B "$dir" -G Ninja -DCMAKE_BUILD_TYPE=Release -DDEMBASE_BUILD_BENCH=ON -DDEMBASE_BUILD_TESTS=OFF
cmake --build "$dir" -j "$jobs" --target compare_bench dembase_tool gdal_DEMBASE cell_bench rasterdb_bench \
  dem_grid_check

work="$(mktemp -d "$dir/run.XXXXXX")"
trap 'rm -rf "$work"' EXIT

if [[ -n "$scale" ]]; then
  "$dir/bench/dem_grid_check"  # the tiles cut on demand are the table's tiles
  "$dir/bench/compare_bench" --runs "$runs" --dir "$work" --scale "$scale" --json "$dir/scaling.json"
  exit 0
fi

# PostgreSQL rows over a private server's Unix socket when the server is installed (or on the
# server DEMBASE_PG_CONNINFO names).
beside_server=()
if [[ -z "${DEMBASE_PG_CONNINFO:-}" ]] && ls /usr/lib/postgresql/*/bin/initdb >/dev/null 2>&1; then
  beside_server=("$root/scripts/pg_server.sh" run)
fi
"${beside_server[@]}" "$dir/bench/compare_bench" --runs "$runs" --dir "$work" --json "$dir/results.json"

if [[ "$all" == 1 ]]; then
  mkdir "$work/cells" "$work/rasterdb"
  echo
  echo "== cell and tile access in detail, local store"
  "$dir/bench/cell_bench" 0.5 "$work/cells"
  echo
  echo "== tile writes and reads through librasterdb"
  "${beside_server[@]}" "$dir/bench/rasterdb_bench" 64 "$work/rasterdb"
fi
