#!/usr/bin/env bash
# Builds dembase and runs every test twice: a plain build with warnings as errors, then
# an AddressSanitizer + UndefinedBehaviorSanitizer build; then every fuzz target for a
# short while (DEMBASE_FUZZ_SECONDS each, 15 by default, 0 skips them). The tests run beside
# a private PostgreSQL server (scripts/pg_server.sh), so the database suites cover that
# backend too; DEMBASE_PG_CONNINFO set beforehand names a server to use instead.
set -euo pipefail
root="$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)"
"$root/scripts/setup.sh"

jobs="${DEMBASE_JOBS:-$(nproc)}"
run() {
  local dir="$1"; shift
  cmake -S "$root" -B "$dir" -G Ninja -DCMAKE_BUILD_TYPE=RelWithDebInfo -DDEMBASE_WERROR=ON "$@"
  cmake --build "$dir" -j "$jobs"
  if [ -n "${DEMBASE_PG_CONNINFO:-}" ]; then
    ctest --test-dir "$dir" --output-on-failure -j "$jobs"
  else
    "$root/scripts/pg_server.sh" run ctest --test-dir "$dir" --output-on-failure -j "$jobs"
  fi
}

run "$root/build/release"
ASAN_OPTIONS=detect_leaks=1:abort_on_error=1 UBSAN_OPTIONS=print_stacktrace=1:halt_on_error=1 \
  run "$root/build/sanitize" -DDEMBASE_SANITIZE=ON
fuzz_seconds="${DEMBASE_FUZZ_SECONDS:-15}"
if [ "$fuzz_seconds" -gt 0 ]; then
  "$root/scripts/fuzz.sh" "$fuzz_seconds"
fi
echo "all tests passed (plain and sanitized)"
