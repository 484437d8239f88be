#!/usr/bin/env bash
# A private PostgreSQL server for tests and the demo: a fresh cluster in a temporary
# directory, reachable only through a Unix socket in that directory (no TCP listener), trust
# authentication for that socket. As root the server runs as `nobody`.
#
#   pg_server.sh run CMD...   start, run CMD with DEMBASE_PG_CONNINFO exported, stop;
#                             exits with CMD's status
#   pg_server.sh start        start and print the directory, then the connection string
#   pg_server.sh stop DIR     stop the server of DIR and remove DIR
#   pg_server.sh halt DIR     stop the server of DIR at once, as a crash would (data kept)
#   pg_server.sh resume DIR   start the server of DIR again after halt
set -euo pipefail

bindir() {
  local d
  d="$(ls -d /usr/lib/postgresql/*/bin 2>/dev/null | sort -V | tail -n 1)"
  [ -x "$d/initdb" ] || { echo "pg_server.sh: no PostgreSQL server installed (run scripts/setup.sh)" >&2; return 1; }
  echo "$d"
}

as_owner() {
  if [ "$(id -u)" -eq 0 ]; then
    setpriv --reuid=nobody --regid=nogroup --clear-groups -- "$@"
  else
    "$@"
  fi
}

start() {
  local bin dir
  bin="$(bindir)"
  dir="$(mktemp -d /tmp/dembase_pg_XXXXXX)"
  [ "$(id -u)" -ne 0 ] || chown nobody:nogroup "$dir"
  chmod 700 "$dir"
  cd "$dir"  # the server's user may not be allowed into the caller's directory
  as_owner "$bin/initdb" -D "$dir/data" -U postgres -A trust -E UTF8 --locale=C.UTF-8 >"$dir/initdb.log" 2>&1 || {
    cat "$dir/initdb.log" >&2
    rm -rf "$dir"
    return 1
  }
  launch "$bin" "$dir" || {
    cat "$dir/server.log" >&2
    rm -rf "$dir"
    return 1
  }
  echo "$dir"
}

launch() {
  # fsync off: a test cluster is thrown away, and durability costs CI time.
  as_owner "$1/pg_ctl" -D "$2/data" -l "$2/server.log" -w -t 60 \
    -o "-c listen_addresses='' -c unix_socket_directories='$2' -c fsync=off -c max_connections=200" \
    start >/dev/null
}

stop() {
  local bin dir="$1"
  bin="$(bindir)"
  [ -d "$dir/data" ] && as_owner "$bin/pg_ctl" -D "$dir/data" -m fast -w -t 60 stop >/dev/null 2>&1 || true
  rm -rf "$dir"
}

conninfo() { echo "host=$1 port=5432 user=postgres dbname=postgres"; }

case "${1:-}" in
  start)
    dir="$(start)"
    echo "$dir"
    conninfo "$dir"
    ;;
  stop)
    [ -n "${2:-}" ] || { echo "usage: pg_server.sh stop DIR" >&2; exit 2; }
    stop "$2"
    ;;
  halt)
    [ -d "${2:-}/data" ] || { echo "usage: pg_server.sh halt DIR" >&2; exit 2; }
    as_owner "$(bindir)/pg_ctl" -D "$2/data" -m immediate -w -t 60 stop >/dev/null
    ;;
  resume)
    [ -d "${2:-}/data" ] || { echo "usage: pg_server.sh resume DIR" >&2; exit 2; }
    launch "$(bindir)" "$2" || { cat "$2/server.log" >&2; exit 1; }
    ;;
  run)
    shift
    [ "$#" -gt 0 ] || { echo "usage: pg_server.sh run CMD..." >&2; exit 2; }
    dir="$(start)"
    trap 'stop "$dir"' EXIT
    export DEMBASE_PG_CONNINFO
    DEMBASE_PG_CONNINFO="$(conninfo "$dir")"
    status=0
    "$@" || status=$?
    exit "$status"
    ;;
  *)
    echo "usage: pg_server.sh run CMD... | start | stop DIR | halt DIR | resume DIR" >&2
    exit 2
    ;;
esac
