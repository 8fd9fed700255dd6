#!/usr/bin/env bash
# A private three-node MariaDB Galera cluster on loopback with HAProxy in
# front, for trying the daemon against a cluster and for the failover test.
#
#   scripts/galera.sh start      start what is not running (first time:
#                                create the nodes, bootstrap node 1, load
#                                sql/ into orb); prints the option file path
#   scripts/galera.sh stop       stop the proxy and the nodes (3, 2, 1)
#   scripts/galera.sh status     one line per node and one for the proxy;
#                                exit 0 when all three are Synced
#   scripts/galera.sh kill N     SIGKILL node N (1-3), as a crash would
#   scripts/galera.sh rejoin N   start node N again; it recovers its last
#                                position and catches up by incremental
#                                state transfer when it can, else by rsync
#   scripts/galera.sh check N    the proxy's verdict on node N now (see
#                                scripts/galera-node-check.sh); exit 0 when
#                                the node may take sessions
#
# Everything lives under $KORB_GALERA_DIR (default /tmp/korb-galera):
# nodeN/ (my.cnf, data, socket, log), haproxy.cfg, haproxy.log and
# korb-db.cnf, an option file whose group [orb] reaches orb through the
# proxy. Ports, all on 127.0.0.1, from $KORB_GALERA_PORT (default 26100;
# keep the range below the kernel's ephemeral ports, where an outgoing
# connection may take one of them): the proxy at the base, node N at
# base+10N (SQL), +1 (group communication), +2 (incremental transfer), +3
# (rsync state transfer).
# As root the nodes run as the mysql user: rsync state transfer drops to
# nobody when the server runs as root. Nothing here starts a system service.
#
# The proxy sends every connection to one node, and only to a node that is
# Synced in the primary component (scripts/galera-node-check.sh). A stick table remembers it,
# so when a failed node comes back the sessions stay where they are and new
# ones follow them: there is never a second writer.
set -euo pipefail

ROOT="$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)"
DIR="${KORB_GALERA_DIR:-/tmp/korb-galera}"
BASE="${KORB_GALERA_PORT:-26100}"
# How long a silent node stays in the group before the others agree to go
# on without it. Galera's default (5 s) is made for real networks; on one
# machine a dead node's connections close at once and 1.5 s is plenty
# (keepalives must come at least three times as often). The inactive
# timeout keeps its default (15 s): a node that is only starved of CPU for
# a moment must not declare the others dead on its own.
SUSPECT="${KORB_GALERA_SUSPECT_TIMEOUT:-PT1.5S}"
DB_USER="${KORB_GALERA_USER:-korb}"
DB_PASSWORD="${KORB_GALERA_PASSWORD:-korb}"
CHECK_USER=korb_check
PROVIDER=/usr/lib/galera/libgalera_smm.so
SESSION_MODE="STRICT_TRANS_TABLES,ERROR_FOR_DIVISION_BY_ZERO,NO_BACKSLASH_ESCAPES,NO_ENGINE_SUBSTITUTION"
NODES=(1 2 3)

say() { echo "galera.sh: $*" >&2; }
die() { say "$*"; exit 1; }

sql_port() { echo $((BASE + 10 * $1)); }
gcomm_port() { echo $((BASE + 10 * $1 + 1)); }
ist_port() { echo $((BASE + 10 * $1 + 2)); }
sst_port() { echo $((BASE + 10 * $1 + 3)); }
node_dir() { echo "$DIR/node$1"; }

if [[ $(id -u) -eq 0 ]]; then RUN_USER=mysql; else RUN_USER="$(id -un)"; fi

client() {
  local node=$1
  shift
  mariadb --no-defaults --user=root --socket="$(node_dir "$node")/mariadbd.sock" \
    --default-character-set=utf8mb4 "--init-command=SET SESSION sql_mode='$SESSION_MODE'" "$@"
}

node_pid() {
  local file
  file="$(node_dir "$1")/mariadbd.pid"
  [[ -s "$file" ]] && cat "$file"
}

node_running() {
  local pid
  pid="$(node_pid "$1")" && kill -0 "$pid" 2>/dev/null
}

# wsrep_local_state_comment, or "down".
node_state() {
  node_running "$1" || { echo down; return; }
  client "$1" -N -e "SHOW GLOBAL STATUS LIKE 'wsrep_local_state_comment'" 2>/dev/null \
    | awk '{print $2}' | grep . || echo starting
}

proxy_running() {
  [[ -s "$DIR/haproxy.pid" ]] && kill -0 "$(cat "$DIR/haproxy.pid")" 2>/dev/null
}

# Waits up to $2 tenths of a second for "$1" (a command) to succeed.
await() {
  local tries=0
  until eval "$1"; do
    tries=$((tries + 1))
    ((tries <= $2)) || return 1
    sleep 0.1
  done
}

port_free() {
  ! ss -Htln "sport = :$1" | grep -q .
}

write_node_config() {
  local n=$1 dir addresses=""
  dir="$(node_dir "$n")"
  for m in "${NODES[@]}"; do
    addresses+="${addresses:+,}127.0.0.1:$(gcomm_port "$m")"
  done
  cat >"$dir/my.cnf" <<EOF
[mariadbd]
user=$RUN_USER
datadir=$dir/data
tmpdir=$dir/tmp
socket=$dir/mariadbd.sock
pid-file=$dir/mariadbd.pid
log-error=$dir/mariadbd.log
port=$(sql_port "$n")
bind-address=127.0.0.1
skip-name-resolve
lower-case-table-names=1
performance-schema=OFF
innodb-buffer-pool-size=32M
innodb-log-file-size=16M
max-connections=300
# Galera replicates InnoDB row events only.
default-storage-engine=InnoDB
binlog-format=ROW
innodb-autoinc-lock-mode=2
# Durability comes from the other nodes holding every commit.
innodb-flush-log-at-trx-commit=2
wsrep-on=ON
wsrep-provider=$PROVIDER
wsrep-cluster-name=korb
wsrep-cluster-address=gcomm://$addresses
wsrep-node-name=node$n
wsrep-node-address=127.0.0.1:$(gcomm_port "$n")
wsrep-node-incoming-address=127.0.0.1:$(sql_port "$n")
wsrep-sst-method=rsync
wsrep-sst-receive-address=127.0.0.1:$(sst_port "$n")
wsrep-slave-threads=2
wsrep-provider-options="gmcast.listen_addr=tcp://127.0.0.1:$(gcomm_port "$n");ist.recv_addr=127.0.0.1:$(ist_port "$n");evs.suspect_timeout=$SUSPECT;evs.keepalive_period=PT0.4S;gcache.size=64M"
EOF
}

create_node() {
  local n=$1 dir
  dir="$(node_dir "$n")"
  mkdir -p "$dir/tmp"
  write_node_config "$n"
  [[ $RUN_USER == "$(id -un)" ]] || chown -R "$RUN_USER:" "$dir"
  if [[ ! -d "$dir/data/mysql" ]]; then
    mariadb-install-db --defaults-file="$dir/my.cnf" --user="$RUN_USER" \
      --auth-root-authentication-method=normal --skip-test-db --wsrep-on=OFF \
      >"$dir/install.log" 2>&1 \
      || { say "mariadb-install-db for node $n failed:"; grep -m5 -i "error" "$dir/install.log" >&2; return 1; }
  fi
}

# Starts node $1 with extra server options; waits until it is Synced.
launch_node() {
  local n=$1 dir pid
  shift
  dir="$(node_dir "$n")"
  rm -f "$dir/mariadbd.sock" "$dir/mariadbd.pid"
  setsid mariadbd --defaults-file="$dir/my.cnf" "$@" </dev/null >>"$dir/mariadbd.log" 2>&1 &
  pid=$!
  local tries=0 state
  while :; do
    if ! kill -0 "$pid" 2>/dev/null; then
      say "node $n exited during start-up:"
      tail -25 "$dir/mariadbd.log" >&2
      return 1
    fi
    state="$(node_state "$n")"
    [[ $state == Synced ]] && break
    tries=$((tries + 1))
    if ((tries > 1800)); then
      say "node $n not Synced within 180 s (state $state)"
      return 1
    fi
    sleep 0.1
  done
  say "node $n Synced (port $(sql_port "$n"))"
}

# After a crash the node's grastate.dat holds no position; the server finds
# it in InnoDB. With it the node asks for the missing write sets only.
recovered_position() {
  local n=$1 dir
  dir="$(node_dir "$n")"
  if grep -q '^seqno: *-1' "$dir/data/grastate.dat" 2>/dev/null; then
    mariadbd --defaults-file="$dir/my.cnf" --wsrep-recover --log-error="$dir/recover.log" \
      </dev/null >/dev/null 2>&1 || true
    sed -n 's/.*WSREP: Recovered position: *\([^ ]*\).*/\1/p' "$dir/recover.log" | tail -1
  fi
}

start_node() {
  local n=$1 position
  position="$(recovered_position "$n")"
  if [[ -n $position ]]; then
    launch_node "$n" --wsrep-start-position="$position"
  else
    launch_node "$n"
  fi
}

bootstrap() {
  local state="$(node_dir 1)/data/grastate.dat"
  # A private cluster whose nodes all went down: node 1 holds the data to
  # start from (stop ends with it; a crash may have left it unsafe).
  [[ -f $state ]] && sed -i 's/^safe_to_bootstrap: *0/safe_to_bootstrap: 1/' "$state"
  local position
  position="$(recovered_position 1)"
  say "bootstrapping a new cluster on node 1"
  launch_node 1 --wsrep-new-cluster ${position:+--wsrep-start-position="$position"}
}

load_schema() {
  client 1 -e "CREATE DATABASE orb CHARACTER SET utf8mb4"
  local file
  for file in "$ROOT"/sql/[0-9][0-9]_*.sql; do
    [[ -e "$file" ]] || continue
    client 1 --database=orb <"$file" || { say "loading $file failed"; return 1; }
  done
  # The daemon's account, reached through the proxy.
  client 1 -e "CREATE USER IF NOT EXISTS '$DB_USER'@'127.0.0.1' IDENTIFIED BY '$DB_PASSWORD';
    GRANT SELECT, INSERT, UPDATE, DELETE, EXECUTE ON orb.* TO '$DB_USER'@'127.0.0.1'"
  say "database orb loaded from sql/"
}

# The node check's account (scripts/galera-node-check.sh): no rights, over
# the socket only. Also made for a cluster created before the check.
create_check_user() {
  client "$1" -e "CREATE USER IF NOT EXISTS '$CHECK_USER'@'localhost'"
}

write_proxy_config() {
  local n role
  cat >"$DIR/haproxy.cfg" <<EOF
global
  log stdout format raw local0 info
  # The node check is a program of ours (scripts/galera-node-check.sh).
  external-check
  insecure-fork-wanted
  # External checks run on the first thread only; with more threads this
  # HAProxy (2.6) crashes when a failed connection marks a server down from
  # another thread (observe layer4 below). One thread is plenty here.
  nbthread 1
  pidfile $DIR/haproxy.pid
  stats socket $DIR/haproxy.sock mode 600 level admin
  maxconn 1000

defaults
  mode tcp
  log global
  option tcplog
  timeout connect 2s
  # The daemon keeps idle sessions open for long; the server's own
  # time-outs end them, not the proxy.
  timeout client 8h
  timeout server 8h

listen orb
  bind 127.0.0.1:$BASE
  # A node takes sessions only while it is Synced in the primary
  # component: a donor, a desynced node or one cut off from the others
  # still accepts a login, so a login check is not enough.
  option external-check
  external-check command $DIR/node-check
  external-check path /usr/sbin:/usr/bin:/sbin:/bin
  timeout check 2s
  # One entry for everyone: all sessions go to the node that served the
  # first, until it fails. A node that returns gets no sessions back.
  stick-table type integer size 1
  stick on int(1)
  # A refused or failed connect marks the node down at once, and the same
  # client connection is retried on the next node: a client's first
  # reconnect after a crash already lands on a live node.
  retries 2
  option redispatch 1
  default-server inter 500ms fastinter 250ms downinter 500ms rise 2 fall 2 on-marked-down shutdown-sessions observe layer4 error-limit 1 on-error mark-down
EOF
  for n in "${NODES[@]}"; do
    role=""
    ((n == 1)) || role=" backup"
    echo "  server node$n 127.0.0.1:$(sql_port "$n") check$role" >>"$DIR/haproxy.cfg"
  done
}

# HAProxy runs its external check with an empty environment: this one
# tells the node check where the nodes live.
write_node_check() {
  cat >"$DIR/node-check" <<EOF
#!/bin/sh
KORB_GALERA_DIR='$DIR' exec '$ROOT/scripts/galera-node-check.sh' "\$@"
EOF
  chmod 755 "$DIR/node-check"
}

start_proxy() {
  proxy_running && return 0
  write_node_check
  write_proxy_config
  haproxy -c -q -f "$DIR/haproxy.cfg" || die "haproxy rejects $DIR/haproxy.cfg"
  rm -f "$DIR/haproxy.pid"
  setsid haproxy -db -f "$DIR/haproxy.cfg" </dev/null >>"$DIR/haproxy.log" 2>&1 &
  echo $! >"$DIR/haproxy.pid"
  await "mariadb --no-defaults -h127.0.0.1 -P$BASE -u'$DB_USER' -p'$DB_PASSWORD' -e 'SELECT 1' >/dev/null 2>&1" 300 \
    || { say "the proxy does not reach a node:"; tail -20 "$DIR/haproxy.log" >&2; return 1; }
  say "proxy on 127.0.0.1:$BASE"
}

write_option_file() {
  cat >"$DIR/korb-db.cnf" <<EOF
[orb]
host=127.0.0.1
port=$BASE
user=$DB_USER
password=$DB_PASSWORD
database=orb
EOF
}

start() {
  command -v rsync >/dev/null || die "rsync is missing (state transfer needs it)"
  [[ -e $PROVIDER ]] || die "$PROVIDER is missing (package galera-4)"
  mkdir -p "$DIR"
  chmod 755 "$DIR"
  if [[ $RUN_USER != "$(id -un)" ]] && ! runuser -u "$RUN_USER" -- test -x "$DIR"; then
    die "the $RUN_USER user cannot reach $DIR (a folder above it is closed to others)"
  fi
  local n any=0
  for n in "${NODES[@]}"; do node_running "$n" && any=1; done
  if ((any == 0)); then
    for port in $BASE $(for n in "${NODES[@]}"; do echo "$(sql_port "$n") $(gcomm_port "$n") $(ist_port "$n") $(sst_port "$n")"; done); do
      port_free "$port" || die "port $port is in use (set KORB_GALERA_PORT)"
    done
  fi
  for n in "${NODES[@]}"; do create_node "$n"; done
  if ((any == 0)); then
    bootstrap
  fi
  for n in "${NODES[@]}"; do
    node_running "$n" || start_node "$n"
  done
  local loader=""
  for n in "${NODES[@]}"; do [[ -z $loader ]] && node_running "$n" && loader=$n; done
  if [[ -z "$(client "$loader" -N -e "SHOW DATABASES LIKE 'orb'")" ]]; then
    load_schema
  fi
  create_check_user "$loader"
  start_proxy
  write_option_file
  echo "$DIR/korb-db.cnf"
}

stop_pid() {
  local pid=$1 what=$2 tries=0
  kill -TERM "$pid" 2>/dev/null || return 0
  while kill -0 "$pid" 2>/dev/null; do
    tries=$((tries + 1))
    if ((tries > 600)); then
      say "$what ($pid) did not stop within 60 s; killing it"
      kill -KILL "$pid" 2>/dev/null || true
      break
    fi
    sleep 0.1
  done
}

stop() {
  if proxy_running; then stop_pid "$(cat "$DIR/haproxy.pid")" haproxy; fi
  rm -f "$DIR/haproxy.pid"
  local n
  for n in 3 2 1; do
    node_running "$n" && stop_pid "$(node_pid "$n")" "node $n"
  done
  say "stopped"
}

status() {
  local n ok=0 state size
  for n in "${NODES[@]}"; do
    state="$(node_state "$n")"
    size=""
    [[ $state == down ]] || size="$(client "$n" -N -e "SHOW GLOBAL STATUS LIKE 'wsrep_cluster_size'" 2>/dev/null | awk '{print $2}')"
    echo "node$n 127.0.0.1:$(sql_port "$n") $state${size:+ cluster_size=$size}"
    [[ $state == Synced ]] || ok=1
  done
  if proxy_running; then
    local active
    active="$(echo "show table orb" | socat - "UNIX-CONNECT:$DIR/haproxy.sock" 2>/dev/null \
      | sed -n 's/.*server_key=\([^ ]*\).*/\1/p' | head -1)"
    echo "proxy 127.0.0.1:$BASE up${active:+ sessions to $active}"
  else
    echo "proxy 127.0.0.1:$BASE down"
    ok=1
  fi
  return $ok
}

node_arg() {
  [[ ${1:-} =~ ^[123]$ ]] || die "node must be 1, 2 or 3"
}

case "${1:-}" in
  start) start ;;
  stop) stop ;;
  status) status ;;
  kill)
    node_arg "${2:-}"
    node_running "$2" || die "node $2 is not running"
    kill -KILL "$(node_pid "$2")"
    say "node $2 killed" ;;
  check)
    node_arg "${2:-}"
    exec bash "$ROOT/scripts/galera-node-check.sh" "$(node_dir "$2")/mariadbd.sock" ;;
  rejoin)
    node_arg "${2:-}"
    if node_running "$2"; then say "node $2 is running"; exit 0; fi
    start_node "$2" ;;
  *)
    echo "usage: $0 start|stop|status|kill N|rejoin N|check N" >&2
    exit 2 ;;
esac
