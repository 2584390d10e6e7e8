#!/bin/bash
# Starts or stops a throw-away PostgreSQL server for the decryption tests.
#   postgres_fixture.sh start|stop STATE_DIR
# start: a fresh cluster in STATE_DIR/data listening on 127.0.0.1 at a free
# port (STATE_DIR/port), its socket in STATE_DIR, password auth with the
# password in STATE_DIR/password. Without server binaries it writes
# STATE_DIR/unavailable and succeeds, so the test reports itself skipped.
# initdb and postgres refuse to run as root: as root they run as postgres.
set -euo pipefail

action=${1:?start or stop}
state=${2:?state directory}

bindir=$(ls -d /usr/lib/postgresql/*/bin 2>/dev/null | sort -V | tail -n 1 || true)

as_server_user() {
  if [ "$(id -u)" = 0 ]; then
    runuser -u postgres -- "$@"
  else
    "$@"
  fi
}

unavailable() {
  echo "$1" >"$state/unavailable"
  echo "PostgreSQL test server not started: $1"
  exit 0
}

port_in_use() {
  (exec 3<>"/dev/tcp/127.0.0.1/$1") 2>/dev/null
}

case $action in
start)
  rm -rf "$state"
  mkdir -p "$state"
  chmod 700 "$state"
  [ -n "$bindir" ] && [ -x "$bindir/initdb" ] && [ -x "$bindir/pg_ctl" ] || unavailable "no server binaries"
  if [ "$(id -u)" = 0 ]; then
    id postgres >/dev/null 2>&1 || unavailable "no postgres user"
    chown postgres "$state"
  fi
  head -c 12 /dev/urandom | od -An -tx1 | tr -d ' \n' >"$state/password"
  as_server_user "$bindir/initdb" -D "$state/data" -U postgres -E UTF8 --auth=scram-sha-256 \
    --pwfile="$state/password" >"$state/initdb.log" 2>&1 || { cat "$state/initdb.log"; exit 1; }
  for attempt in $(seq 1 20); do
    port=$((20000 + (RANDOM % 20000)))
    port_in_use "$port" && continue
    if as_server_user "$bindir/pg_ctl" -D "$state/data" -l "$state/server.log" -w -t 30 \
      -o "-p $port -k $state -c listen_addresses=127.0.0.1" start >/dev/null; then
      echo "$port" >"$state/port"
      echo "PostgreSQL test server on 127.0.0.1:$port (attempt $attempt)"
      exit 0
    fi
  done
  cat "$state/server.log" || true
  exit 1
  ;;
stop)
  if [ -f "$state/port" ]; then
    as_server_user "$bindir/pg_ctl" -D "$state/data" -m fast -w stop >/dev/null || true
  fi
  rm -rf "$state"
  ;;
*)
  echo "usage: $0 start|stop STATE_DIR" >&2
  exit 2
  ;;
esac
