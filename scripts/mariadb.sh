#!/usr/bin/env bash
# A private MariaDB server for the demo and for manual use.
#
#   scripts/mariadb.sh start    start it (first time: create it and load sql/
#                               into database orb); prints the socket path
#   scripts/mariadb.sh stop     stop it
#   scripts/mariadb.sh status   print the socket path and exit 0 if running,
#                               exit 1 otherwise
#   scripts/mariadb.sh reload   drop orb and load sql/ again (server running)
#
# Everything lives under $KORB_DB_DIR (default /tmp/korb-db): data/,
# mariadbd.sock, mariadbd.pid, mariadbd.log. No TCP unless $KORB_DB_PORT is
# set, then 127.0.0.1:$KORB_DB_PORT only. Runs as root or as any user that
# owns $KORB_DB_DIR. Only the socket path goes to stdout.
set -euo pipefail

ROOT="$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)"
DIR="${KORB_DB_DIR:-/tmp/korb-db}"
DATA="$DIR/data"
SOCK="$DIR/mariadbd.sock"
PIDFILE="$DIR/mariadbd.pid"
LOG="$DIR/mariadbd.log"
SESSION_MODE="STRICT_TRANS_TABLES,ERROR_FOR_DIVISION_BY_ZERO,NO_BACKSLASH_ESCAPES,NO_ENGINE_SUBSTITUTION"

say() { echo "mariadb.sh: $*" >&2; }

client() {
  mariadb --no-defaults --user=root --socket="$SOCK" --default-character-set=utf8mb4 \
    "--init-command=SET SESSION sql_mode='$SESSION_MODE'" "$@"
}

running() {
  [[ -f "$PIDFILE" ]] && kill -0 "$(cat "$PIDFILE")" 2>/dev/null
}

accepts() {
  client -e 'SELECT 1' >/dev/null 2>&1
}

load_schema() {
  client -e "DROP DATABASE IF EXISTS orb; CREATE DATABASE orb CHARACTER SET utf8mb4"
  local file
  for file in "$ROOT"/sql/[0-9][0-9]_*.sql; do
    [[ -e "$file" ]] || continue
    client --database=orb < "$file" || { say "loading $file failed"; return 1; }
  done
  say "database orb loaded from sql/"
}

start() {
  if running && accepts; then
    echo "$SOCK"
    return 0
  fi
  mkdir -p "$DIR/tmp"
  local user
  user="$(id -un)"
  if [[ ! -d "$DATA/mysql" ]]; then
    say "creating data directory $DATA"
    mariadb-install-db --no-defaults --user="$user" --datadir="$DATA" --tmpdir="$DIR/tmp" \
      --auth-root-authentication-method=normal --skip-test-db --lower-case-table-names=1 \
      --innodb-log-file-size=8M --innodb-buffer-pool-size=16M >"$DIR/install.log" 2>&1 \
      || { say "mariadb-install-db failed:"; tail -20 "$DIR/install.log" >&2; return 1; }
  fi
  local network=(--skip-networking)
  if [[ -n "${KORB_DB_PORT:-}" ]]; then
    network=(--port="$KORB_DB_PORT" --bind-address=127.0.0.1)
  fi
  rm -f "$SOCK"
  setsid mariadbd --no-defaults --user="$user" --datadir="$DATA" --tmpdir="$DIR/tmp" --socket="$SOCK" \
    --pid-file="$PIDFILE" "${network[@]}" --lower-case-table-names=1 \
    --innodb-buffer-pool-size=16M --performance-schema=OFF --innodb-log-file-size=8M \
    --skip-log-bin </dev/null >>"$LOG" 2>&1 &
  local pid=$! tries=0
  until accepts; do
    if ! kill -0 "$pid" 2>/dev/null; then
      say "mariadbd exited during start-up:"
      tail -20 "$LOG" >&2
      return 1
    fi
    tries=$((tries + 1))
    if ((tries > 600)); then
      say "mariadbd did not accept connections within 60 s"
      kill "$pid" 2>/dev/null || true
      return 1
    fi
    sleep 0.1
  done
  if [[ -z "$(client -N -e "SHOW DATABASES LIKE 'orb'")" ]]; then
    load_schema
  fi
  echo "$SOCK"
}

stop() {
  if ! running; then
    say "not running"
    return 0
  fi
  local pid tries=0
  pid="$(cat "$PIDFILE")"
  kill -TERM "$pid"
  while kill -0 "$pid" 2>/dev/null; do
    tries=$((tries + 1))
    if ((tries > 600)); then
      say "mariadbd $pid did not stop within 60 s; killing it"
      kill -KILL "$pid" 2>/dev/null || true
      break
    fi
    sleep 0.1
  done
  say "stopped"
}

case "${1:-}" in
  start) start ;;
  stop) stop ;;
  status)
    if running && accepts; then echo "$SOCK"; else say "not running"; exit 1; fi ;;
  reload)
    running && accepts || { say "not running"; exit 1; }
    load_schema ;;
  *)
    echo "usage: $0 start|stop|status|reload" >&2
    exit 2 ;;
esac
