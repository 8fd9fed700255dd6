#!/usr/bin/env bash
# Failover benchmark: the write node of a private three-node Galera cluster
# (scripts/galera.sh) dies in the middle of a scan posting; how long until
# the scheduler posts its next job on the node the proxy picks next, and
# were job rows lost or doubled.
#
#   bash bench/failover.sh [WINDOW ...]
#
# One round per reconnect window (korb-reconnect-window, in scaled seconds;
# default rounds: 1000 and 0, that is 10 s and none at the default time
# scale 100). The supervisor runs the scheduler, as in production. Without
# a window the scheduler ends at its next connection check (timeout event
# 5, 900 scaled seconds: 9 s at 100) and the supervisor starts another.
# Each round prints one line per figure:
#
#   failover.window=W.kill_to_cluster_s     the other nodes go on without it
#   failover.window=W.kill_to_first_job_s   first job row from the new writer
#   failover.window=W.restarts              scheduler starts after the kill
#   failover.window=W.targets               systems the scan schedule selects
#   failover.window=W.lost                  of them, without an open scan job
#   failover.window=W.doubled               systems with two open jobs of one
#                                           type from one schedule
#   failover.window=W.nodes_agree           1 when the job tables' checksums
#                                           agree on all nodes after rejoin
#
# KORB_BUILD_DIR (default build/), KORB_BENCH_SYSTEMS (extra systems in the
# scanned domain, default 2000), KORB_BENCH_SCALE (KORB_TIME_SCALE, default
# 100), KORB_GALERA_PORT (default 27100).
set -euo pipefail

ROOT="$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)"
BUILD="${KORB_BUILD_DIR:-$ROOT/build}"
SYSTEMS="${KORB_BENCH_SYSTEMS:-2000}"
SCALE="${KORB_BENCH_SCALE:-100}"
WINDOWS=("$@")
((${#WINDOWS[@]})) || WINDOWS=(1000 0)
WORK="$(mktemp -d /tmp/korb-failover.XXXXXX)"
chmod 755 "$WORK"  # the nodes run as the mysql user when we are root
export KORB_GALERA_DIR="$WORK/cluster"
export KORB_GALERA_PORT="${KORB_GALERA_PORT:-27100}"
GALERA="$ROOT/scripts/galera.sh"
SCHEDULER="$BUILD/src/KORB_ProbeScheduler"
SUPERVISOR="$BUILD/tools/supervisor/korb-supervisor"
OPEN_SCANS="select count(*) from jobdetails where SchedularID = 1 and JobTypeID = 10027 and Status in (0, 2, 3)"

say() { echo "failover.sh: $*" >&2; }
die() { say "$*"; exit 1; }

SUPERVISOR_PID=""
cleanup() {
  [[ -n $SUPERVISOR_PID ]] && kill -TERM "$SUPERVISOR_PID" 2>/dev/null && wait "$SUPERVISOR_PID" 2>/dev/null
  bash "$GALERA" stop >/dev/null 2>&1 || true
  rm -rf "$WORK"
}
trap cleanup EXIT
trap 'exit 130' INT TERM

[[ -x $SCHEDULER && -x $SUPERVISOR ]] || die "build the scheduler and the supervisor in $BUILD first"

sql() {
  local node=$1
  shift
  mariadb --no-defaults --user=root --socket="$KORB_GALERA_DIR/node$node/mariadbd.sock" \
    --database=orb -N -B "$@"
}
status_of() { sql "$1" -e "SHOW GLOBAL STATUS LIKE '$2'" 2>/dev/null | awk '{print $2}'; }
now() { date +%s.%N; }
starts() { cat "$1" 2>/dev/null | awk '/Initializing the module\.\.\./ { n++ } END { print n + 0 }'; }
elapsed() { awk -v a="$1" -v b="$2" 'BEGIN { printf "%.2f", b - a }'; }

# True when every running node is Synced in a cluster of $1 with nothing
# left to apply, and, with a second argument, all at the same position
# (only while nothing writes).
settled() {
  local size=$1 node synced=0 committed=""
  for node in 1 2 3; do
    [[ $(status_of "$node" wsrep_local_state_comment) == Synced ]] || continue
    [[ $(status_of "$node" wsrep_cluster_size) == "$size" ]] || return 1
    [[ $(status_of "$node" wsrep_local_recv_queue) == 0 ]] || return 1
    committed+="$(status_of "$node" wsrep_last_committed) "
    synced=$((synced + 1))
  done
  ((synced == size)) || return 1
  [[ -z ${2:-} || $(tr ' ' '\n' <<<"$committed" | sort -u | grep -c .) == 1 ]]
}
await() {  # command, seconds
  local deadline=$((SECONDS + $2))
  until eval "$1"; do
    ((SECONDS < deadline)) || return 1
    sleep 0.05
  done
}

load_installation() {
  # The script loads sql/ into orb when it finds none.
  sql 1 -e "DROP DATABASE IF EXISTS orb"
  bash "$GALERA" start >/dev/null
  sql 1 <"$ROOT/sql/sample_installation.sql"
  sql 1 -e "update configsettings set SettingValue = '3' where SettingKey = 'LOG_LEVEL';
    update configsettings set SettingValue = '50000000' where SettingKey = 'LOG_SIZE';
    update kovaorbprocessmaster set PortNumber = $((KORB_GALERA_PORT + 60));
    update jobhandlermaster set PortNumber = $((KORB_GALERA_PORT + 60));
    update schedularinfo set IntervalSeconds = 5 where SchedularInfoID = 1;
    set session max_recursive_iterations = 100000;
    insert into inventorymaster (SystemID, SiteID, SystemName, ipaddress, domainname, managenode,
      DataCollectionType, isVPNClient, configpoll, SystemStatus)
    with recursive n (i) as (select 1001 union all select i + 1 from n where i < 1000 + $SYSTEMS)
    select i, 1, concat('host-', i), concat('10.1.', i div 256, '.', i mod 256), 'corp.example',
      1, 1, 0, 0, 1 from n"
}

round() {
  local window=$1 install="$WORK/install-$1"
  mkdir -p "$install/ConsoleManagement/log" "$install/ConsoleManagement/config" "$install/lock"
  cp "$KORB_GALERA_DIR/korb-db.cnf" "$install/ConsoleManagement/config/korb-db.cnf"
  echo "korb-reconnect-window=$window" >>"$install/ConsoleManagement/config/korb-db.cnf"
  local log="$install/ConsoleManagement/log/KORB_ProbeScheduler.log"

  KORB_INSTALL_DIR="$install" KORB_LOCK_DIR="$install/lock" KORB_TIME_SCALE="$SCALE" \
    "$SUPERVISOR" --scheduler "$SCHEDULER" --identifier $((KORB_GALERA_PORT + 50)) >"$install/supervisor.log" 2>&1 &
  SUPERVISOR_PID=$!
  await "(( \$(sql 1 -e \"$OPEN_SCANS\") >= 400 ))" 120 || die "no scan posting under way"
  local writer survivor before rows t0 t1 t2
  writer="$(echo 'show table orb' | socat - "UNIX-CONNECT:$KORB_GALERA_DIR/haproxy.sock" \
    | sed -n 's/.*server_key=node\([0-9]\).*/\1/p')"
  [[ -n $writer ]] || die "cannot tell the write node"
  survivor=$((writer == 1 ? 2 : 1))
  before="$(starts "$log")"

  t0="$(now)"
  bash "$GALERA" kill "$writer" 2>/dev/null
  await "settled 2" 60 || die "the cluster did not go on with two nodes"
  t1="$(now)"
  rows="$(sql "$survivor" -e 'select count(*) from jobdetails')"
  await "(( \$(sql $survivor -e 'select count(*) from jobdetails') > rows ))" 120 \
    || die "no job posted after the kill"
  t2="$(now)"
  # A whole later pass, so that a job lost in the interrupted one shows.
  local operation
  operation="$(sql "$survivor" -e 'select max(OperationID) from jobdetails where SchedularID = 1')"
  await "(( \$(sql $survivor -e 'select count(distinct OperationID) from jobdetails where SchedularID = 1 and OperationID > $operation') >= 2 ))" 180 \
    || die "no complete posting after the failover"
  kill -TERM "$SUPERVISOR_PID"
  wait "$SUPERVISOR_PID" 2>/dev/null || true
  SUPERVISOR_PID=""

  local targets doubled lost restarts agree=1 sums=""
  targets="$(sql "$survivor" -e 'select count(distinct SystemID) from jobdetails where SchedularID = 1')"
  # A target's open scan job may be the on-demand schedule's (101-104):
  # this schedule's are then duplicates.
  lost="$(sql "$survivor" -e "select count(distinct t.SystemID) from jobdetails t
    where t.SchedularID = 1 and not exists (select 1 from jobdetails o where o.SystemID = t.SystemID
    and o.JobTypeID = 10027 and o.Status in (0, 2, 3))")"
  doubled="$(sql "$survivor" -e 'select count(*) from (select 1 from jobdetails where Status in (0, 2, 3) group by SchedularID, SystemID, JobTypeID having count(*) > 1) d')"
  restarts=$(($(starts "$log") - before))

  bash "$GALERA" rejoin "$writer" 2>/dev/null
  await "settled 3 same" 120 || die "node $writer did not rejoin"
  for node in 1 2 3; do
    sums+="$(sql "$node" -e 'checksum table jobdetails, probescheduledetail, patch_summary, patch_jobdetails' | tr '\n' ' ')|"
  done
  [[ $(tr '|' '\n' <<<"$sums" | grep . | sort -u | wc -l) == 1 ]] || agree=0

  echo "failover.window=$window.kill_to_cluster_s $(elapsed "$t0" "$t1")"
  echo "failover.window=$window.kill_to_first_job_s $(elapsed "$t0" "$t2")"
  echo "failover.window=$window.restarts $restarts"
  echo "failover.window=$window.targets $targets"
  echo "failover.window=$window.lost $lost"
  echo "failover.window=$window.doubled $doubled"
  echo "failover.window=$window.nodes_agree $agree"
}

say "starting a three-node cluster in $KORB_GALERA_DIR"
bash "$GALERA" start >/dev/null
for window in "${WINDOWS[@]}"; do
  load_installation
  round "$window"
done
