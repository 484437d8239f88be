#!/usr/bin/env bash
# Installs what a fresh Debian 12 machine needs to build, test and demo dembase.
# Idempotent: packages already present are not fetched again.
set -euo pipefail

packages=(
  build-essential cmake ninja-build pkg-config
  zlib1g-dev libdeflate-dev libsqlite3-dev sqlite3
  libgtest-dev libgmock-dev libbenchmark-dev
  binutils
  libgdal-dev libcli11-dev gdal-bin
  clang libclang-rt-dev
  postgresql libpq-dev
)

missing=()
for p in "${packages[@]}"; do
  dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q "install ok installed" || missing+=("$p")
done

if [ "${#missing[@]}" -gt 0 ]; then
  sudo=""
  [ "$(id -u)" -eq 0 ] || sudo="sudo"
  export DEBIAN_FRONTEND=noninteractive
  $sudo apt-get update -qq
  # The tests run their own server (scripts/pg_server.sh): the package must not make and
  # start a cluster of its own listening on localhost.
  $sudo apt-get install -y -qq --no-install-recommends postgresql-common
  $sudo sed -i 's/^#\?\s*create_main_cluster\s*=.*/create_main_cluster = false/' \
    /etc/postgresql-common/createcluster.conf
  $sudo apt-get install -y -qq --no-install-recommends "${missing[@]}"
fi

# The real DEM of the demo and the tool tests: ex/elev.tif of r-cran-terra, taken from the
# package file (never installed) into build/data.
root="$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)"
sample="$root/build/data/elev.tif"
if [ ! -s "$sample" ]; then
  work="$(mktemp -d)"
  trap 'rm -rf "$work"' EXIT
  fetch() { (cd "$work" && apt-get download -qq r-cran-terra >/dev/null 2>&1); }
  if ! fetch; then
    sudo=""
    [ "$(id -u)" -eq 0 ] || sudo="sudo"
    $sudo apt-get update -qq
    fetch || { echo "setup.sh: cannot download r-cran-terra for the sample DEM" >&2; exit 1; }
  fi
  dpkg-deb -x "$work"/r-cran-terra_*.deb "$work/pkg"
  found="$(find "$work/pkg" -path '*/terra/ex/elev.tif' -print -quit)"
  [ -n "$found" ] || { echo "setup.sh: r-cran-terra holds no ex/elev.tif" >&2; exit 1; }
  mkdir -p "$(dirname "$sample")"
  cp "$found" "$sample.part"
  mv "$sample.part" "$sample"
fi
