#!/usr/bin/env bash
# Builds dembase and runs its main job, `dembase demo`, on the embedded defaults: the local
# store in a temporary directory (or in the directory given as the first argument).
set -euo pipefail
root="$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)"
"$root/scripts/setup.sh"

# The same build directory and configuration as scripts/test.sh, so neither rebuilds the other.
build="$root/build/release"
jobs="${DEMBASE_JOBS:-$(nproc)}"
cmake -S "$root" -B "$build" -G Ninja -DCMAKE_BUILD_TYPE=RelWithDebInfo -DDEMBASE_WERROR=ON >/dev/null
cmake --build "$build" -j "$jobs" --target dembase_tool
exec "$build/tools/dembase" demo --sample "$root/build/data/elev.tif" "$@"
