#!/usr/bin/env bash
# How the daemon behaves in MSP mode with N customer databases, measured
# from outside: the metrics endpoint, the server's status and process list,
# /proc of both processes, and the rows in the customer databases.
#
#   bash scripts/msp-measure.sh [--customers N] [--scale S] [--seconds T]
#
# --customers  customer databases (KORB_MSP_CUSTOMERS, default 50)
# --scale      KORB_TIME_SCALE of the daemon (KORB_MSP_SCALE, default 10)
# --seconds    real seconds the daemon runs (KORB_MSP_SECONDS, default 120)
# KORB_BUILD_DIR  build tree holding src/KORB_ProbeScheduler (default build/)
# KORB_MSP_KEEP   set: keep the temporary folder (data, log, scrape, rows)
#
# A private server (scripts/mariadb.sh, socket only) under a temporary
# folder holds the main database orb and the customers korbc_0001...; each
# is the sample installation plus one more on-demand scan that falls due
# while the daemon runs. The daemon runs as its own database user, so its
# sessions and connects can be told from the script's own. Everything
# started is stopped and the folder removed on exit, also on Ctrl-C.
set -uo pipefail

ROOT="$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)"
CUSTOMERS="${KORB_MSP_CUSTOMERS:-50}"
SCALE="${KORB_MSP_SCALE:-10}"
RUN_SECONDS="${KORB_MSP_SECONDS:-120}"
BUILD="${KORB_BUILD_DIR:-$ROOT/build}"

usage() { sed -n '5,12p' "$0" | sed 's/^# \{0,1\}//'; exit 2; }
while (($#)); do
  case "$1" in
    --customers) CUSTOMERS="${2:-}"; shift 2 ;;
    --scale) SCALE="${2:-}"; shift 2 ;;
    --seconds) RUN_SECONDS="${2:-}"; shift 2 ;;
    -h|--help) usage ;;
    *) echo "unknown argument: $1" >&2; usage ;;
  esac
done

say() { printf '%s  %s\n' "$(date +%H:%M:%S)" "$*"; }
die() { say "msp-measure failed: $*"; exit 1; }

[[ $CUSTOMERS =~ ^[0-9]+$ && $CUSTOMERS -ge 1 && $CUSTOMERS -le 9999 ]] || die "--customers must be 1 to 9999"
[[ $RUN_SECONDS =~ ^[0-9]+$ && $RUN_SECONDS -ge 10 ]] || die "--seconds must be a whole number of at least 10"
awk -v s="$SCALE" 'BEGIN { exit !(s + 0 > 0 && s + 0 <= 100000) }' || die "--scale must be above 0 and at most 100000"
# Event 1 (every scaled day) ends the daemon for its internal restart;
# without a supervisor nobody starts it again.
awk -v s="$SCALE" -v t="$RUN_SECONDS" 'BEGIN { exit !(s * t < 86400) }' \
  || die "--seconds x --scale reaches a scaled day: the daemon would end for its daily restart"

SCHEDULER="$BUILD/src/KORB_ProbeScheduler"
[[ -x $SCHEDULER ]] || die "$SCHEDULER is missing (cmake --build $BUILD --target KORB_ProbeScheduler)"
for tool in mariadb mariadbd curl python3; do
  command -v "$tool" >/dev/null || die "$tool is not installed (bash scripts/install-deps.sh)"
done

# The data under /dev/shm when it has room (table files are made fast
# there), else under the usual temporary folder.
base="${TMPDIR:-/tmp}"
if [[ -d /dev/shm ]] && (($(df -Pk /dev/shm | awk 'NR == 2 { print $4 }') > 2097152)); then base=/dev/shm; fi
WORK="$(mktemp -d "$base/korb-msp-measure.XXXXXX")" || die "no temporary folder"
export KORB_DB_DIR="$WORK/db"
DAEMON_PID=""
# shellcheck disable=SC2317  # called by the traps
cleanup() {
  trap - EXIT INT TERM
  if [[ -n $DAEMON_PID ]] && kill -0 "$DAEMON_PID" 2>/dev/null; then
    kill -TERM "$DAEMON_PID" 2>/dev/null
    local tries=0
    while kill -0 "$DAEMON_PID" 2>/dev/null && ((tries < 300)); do sleep 0.1; tries=$((tries + 1)); done
    kill -KILL "$DAEMON_PID" 2>/dev/null
    wait "$DAEMON_PID" 2>/dev/null
  fi
  bash "$ROOT/scripts/mariadb.sh" stop >/dev/null 2>&1
  if [[ -n ${KORB_MSP_KEEP:-} ]]; then echo "kept $WORK"; else rm -rf "$WORK"; fi
}
trap cleanup EXIT
trap 'exit 130' INT TERM

free_port() {  # tcp|udp
  python3 - "$1" <<'EOF'
import socket, sys
kind = socket.SOCK_STREAM if sys.argv[1] == "tcp" else socket.SOCK_DGRAM
s = socket.socket(socket.AF_INET, kind)
s.bind(("127.0.0.1", 0))
print(s.getsockname()[1])
EOF
}

SESSION_MODE="STRICT_TRANS_TABLES,ERROR_FOR_DIVISION_BY_ZERO,NO_BACKSLASH_ESCAPES,NO_ENGINE_SUBSTITUTION"
say "starting a private MariaDB server under $WORK"
SOCKET="$(bash "$ROOT/scripts/mariadb.sh" start 2>"$WORK/mariadb-start.log")" \
  || { cat "$WORK/mariadb-start.log"; die "the database server did not start"; }
SERVER_PID="$(cat "$KORB_DB_DIR/mariadbd.pid")"
sql() {
  mariadb --no-defaults --user=root --socket="$SOCKET" -N -B --default-character-set=utf8mb4 \
    "--init-command=SET SESSION sql_mode='$SESSION_MODE'" "$@"
}

# The daemon asks for 4N + 22 (up to four kept sessions per customer and
# the main database's sessions); 4N + 60 leaves this script room too.
MAX_CONNECTIONS=$((4 * CUSTOMERS + 60))
((MAX_CONNECTIONS < 151)) && MAX_CONNECTIONS=151
sql -e "SET GLOBAL max_connections = $MAX_CONNECTIONS; SET GLOBAL userstat = 1;
        SET GLOBAL innodb_buffer_pool_size = 134217728" || die "server settings refused"
say "server: max_connections = $MAX_CONNECTIONS (4N + 60, at least 151; the daemon asks for 4N + 22), per-user statistics on, buffer pool 128 MiB"

# The daemon's own account, as README asks for it.
DB_USER=korbmsp DB_PASSWORD=measure
sql -e "CREATE USER '$DB_USER'@'localhost' IDENTIFIED BY '$DB_PASSWORD';
        GRANT SELECT, INSERT, UPDATE, DELETE, EXECUTE ON orb.* TO '$DB_USER'@'localhost';
        GRANT SELECT, INSERT, UPDATE, DELETE, EXECUTE ON \`korbc\\_%\`.* TO '$DB_USER'@'localhost'" \
  || die "the daemon's account could not be made"

# The main database: the numbered files (loaded by mariadb.sh) and the
# sample's settings; log level 3 (no trace lines) so the log does not
# weigh on what is measured.
sql --database=orb <"$ROOT/sql/sample_installation.sql" || die "loading the sample into orb failed"
sql --database=orb -e "UPDATE configsettings SET SettingValue = '3' WHERE SettingKey = 'LOG_LEVEL'"

# The customers: one client for all of them, the sql/ files streamed
# once per customer database, then the customer's rows in orb.
cust_db() { printf 'korbc_%04d' "$1"; }
cust_dsn() { printf 'cust%04d' "$1"; }
customer_sql() {
  local i db
  for ((i = 1; i <= CUSTOMERS; i++)); do
    db="$(cust_db "$i")"
    echo "CREATE DATABASE $db CHARACTER SET utf8mb4; USE $db;"
    cat "$ROOT"/sql/0[1-3]_*.sql "$ROOT/sql/sample_installation.sql"
    # A second on-demand scan, of systems 125-128 (outside the recurring
    # scan's selection, so its jobs are open), due during the run; its
    # time is set just before the daemon starts.
    cat <<EOF
INSERT INTO jobsmaster (SchedularID, SchedularName, SiteID, JobScheduledType, ScheduledTime, JobPriority, SchedularInfoID)
  VALUES (5, 'On-demand scan during the run', 1, 0, '2099-01-01 00:00:00', 100, 0);
INSERT INTO jobsmasterdetail (SchedularID, SystemID, JobTypeID, TaskID) VALUES
  (5, 125, 10027, 1), (5, 126, 10027, 2), (5, 127, 10027, 3), (5, 128, 10027, 4);
INSERT INTO jobsmasterlookup (SiteID, SchedularID, JobParamID, JobParamValue) VALUES (1, 5, 564, '0');
INSERT INTO orb.customermaster (CustomerID, CustomerName, DSNName, DBName, CustomerStatus, AddOnID)
  VALUES ($i, 'Customer $i', '$(cust_dsn "$i")', '$db', 0, 0);
INSERT INTO orb.customerdetails (CustomerID, SiteID, IsVirtualProbe) VALUES ($i, 1, 1);
EOF
  done
}
say "creating $CUSTOMERS customer databases (sample installation each)"
t0=$(date +%s%N)
customer_sql | sql || die "creating the customer databases failed"
t1=$(date +%s%N)
say "customers created in $(( (t1 - t0) / 1000000 )) ms ($(( (t1 - t0) / 1000000 / CUSTOMERS )) ms per customer)"

# Option file: the main group and one group per customer.
METRICS_PORT="$(free_port tcp)"
SIGNAL_PORT="$(free_port udp)"
INSTALL="$WORK/install"
mkdir -p "$INSTALL/ConsoleManagement/log" "$INSTALL/ConsoleManagement/config"
CNF="$INSTALL/ConsoleManagement/config/korb-db.cnf"
{
  cat <<EOF
[client]
socket=$SOCKET
user=$DB_USER
password=$DB_PASSWORD

[orb]
database=orb
korb-msp-flag=1
korb-site-id=1
korb-probe-id=1
korb-install-type=1
korb-metrics-port=$METRICS_PORT
korb-signal-address=127.0.0.1
korb-grace-period=$(awk -v s="$SCALE" 'BEGIN { printf "%d", s * 10 }')
EOF
  for ((i = 1; i <= CUSTOMERS; i++)); do
    printf '\n[%s]\ndatabase=%s\n' "$(cust_dsn "$i")" "$(cust_db "$i")"
  done
} >"$CNF"

# On-demand schedule 5 falls due in every customer while the daemon runs,
# spread over the part of the run that still leaves one on-demand cycle
# (its five-minute wait, scaled) plus a fifth after the last of them.
CYCLE=$(awk -v s="$SCALE" 'BEGIN { printf "%.3f", 300 / s }')
read -r DUE_FIRST DUE_SPAN < <(awk -v t="$RUN_SECONDS" -v c="$CYCLE" 'BEGIN {
  first = t / 6; if (first > 10) first = 10
  span = t - 1.2 * c - first - 3
  if (span < 0) span = 0
  printf "%.3f %.3f\n", first, span }')
CHECKABLE=$(awk -v t="$RUN_SECONDS" -v c="$CYCLE" -v f="$DUE_FIRST" 'BEGIN { print (f + 1.2 * c + 3 <= t) ? 1 : 0 }')
{
  for ((i = 1; i <= CUSTOMERS; i++)); do
    off=$(awk -v f="$DUE_FIRST" -v s="$DUE_SPAN" -v i="$i" -v n="$CUSTOMERS" \
      'BEGIN { printf "%d", (f + (n > 1 ? s * (i - 1) / (n - 1) : 0)) * 1000000 }')
    echo "UPDATE $(cust_db "$i").jobsmaster SET ScheduledTime = NOW(6) + INTERVAL $off MICROSECOND WHERE SchedularID = 5;"
  done
} | sql || die "setting the on-demand times failed"

export KORB_INSTALL_DIR="$INSTALL" KORB_LOCK_DIR="$WORK" KORB_TIME_SCALE="$SCALE" KORB_DB_CONFIG="$CNF"
ulimit -n "$(( $(ulimit -Hn) < 65536 ? $(ulimit -Hn) : 65536 ))" 2>/dev/null || true
# The daemon watches the process named as its supervisor: this shell.
"$SCHEDULER" "$$" "$SIGNAL_PORT" "$(basename "$(readlink /proc/$$/exe)")" >"$WORK/daemon.out" 2>&1 &
DAEMON_PID=$!
kill -0 "$DAEMON_PID" 2>/dev/null || die "the daemon did not start"
say "daemon started (pid $DAEMON_PID): time scale $SCALE, metrics on 127.0.0.1:$METRICS_PORT, signals on 127.0.0.1:$SIGNAL_PORT"

scrape() { curl -s --max-time 5 "http://127.0.0.1:$METRICS_PORT/metrics"; }
cpu_ticks() { awk '{ print $14 + $15 }' "/proc/$1/stat" 2>/dev/null || echo 0; }
now_ms() { date +%s%3N; }
daemon_connects() {
  sql -e "SELECT COALESCE(SUM(TOTAL_CONNECTIONS), 0) FROM information_schema.USER_STATISTICS WHERE USER = '$DB_USER'"
}
daemon_sessions() {
  sql -e "SELECT COUNT(*) FROM information_schema.PROCESSLIST WHERE USER = '$DB_USER'"
}

# The run starts when the endpoint answers: the start-up is done and the
# timeout events count from about then.
tries=0
until scrape >/dev/null 2>&1; do
  kill -0 "$DAEMON_PID" 2>/dev/null || die "the daemon ended during start-up: $(tail -5 "$WORK/daemon.out")"
  tries=$((tries + 1)); ((tries > 300)) && die "the metrics endpoint did not answer within 30 s"
  sleep 0.1
done
START_MS=$(now_ms)
DAEMON_CPU0=$(cpu_ticks "$DAEMON_PID") SERVER_CPU0=$(cpu_ticks "$SERVER_PID")
say "daemon up; measuring for $RUN_SECONDS s (a scaled $(awk -v s="$SCALE" -v t="$RUN_SECONDS" 'BEGIN { printf "%g", s * t }') s)"
if ((CHECKABLE)); then
  say "on-demand schedule 5 falls due between $DUE_FIRST s and $(awk -v a="$DUE_FIRST" -v b="$DUE_SPAN" 'BEGIN { print a + b }') s into the run; one cycle is $CYCLE s"
else
  say "warning: the run is shorter than one on-demand cycle ($CYCLE s) after schedule 5 falls due; 'posted within one cycle' cannot be checked"
fi

# Every 3 s: the busy gauge and the daemon's sessions. Halfway: the
# daemon's connects so far.
SAMPLES="$WORK/samples.txt"
: >"$SAMPLES"
half_done=0 CONNECTS_HALF=0 HALF_MS=0
END_MS=$((START_MS + RUN_SECONDS * 1000))
while (($(now_ms) < END_MS)); do
  kill -0 "$DAEMON_PID" 2>/dev/null || die "the daemon ended during the run: $(tail -5 "$WORK/daemon.out")"
  if ((!half_done && $(now_ms) >= START_MS + RUN_SECONDS * 500)); then
    CONNECTS_HALF=$(daemon_connects) HALF_MS=$(now_ms) half_done=1
    scrape >"$WORK/metrics-half.txt"
  fi
  busy=$(scrape | awk '/^korb_main_loop_busy_seconds / { print $2 }')
  echo "${busy:-nan} $(daemon_sessions)" >>"$SAMPLES"
  left=$(( END_MS - $(now_ms) ))
  ((left <= 0)) && break
  sleep "$(awk -v l="$left" 'BEGIN { printf "%.3f", (l < 3000 ? l : 3000) / 1000 }')"
done

# The end, while the daemon still runs.
STOP_MS=$(now_ms)
DAEMON_CPU1=$(cpu_ticks "$DAEMON_PID") SERVER_CPU1=$(cpu_ticks "$SERVER_PID")
CONNECTS_END=$(daemon_connects)
SESSIONS_END=$(daemon_sessions)
# How the kept sessions spread over the databases: "k sessions: d databases".
SESSION_SPREAD=$(sql -e "SELECT CONCAT(n, ' sessions: ', COUNT(*), ' databases') FROM (SELECT DB, COUNT(*) AS n FROM information_schema.PROCESSLIST WHERE USER = '$DB_USER' GROUP BY DB) AS per_db GROUP BY n ORDER BY n" | paste -sd ';' -)
scrape >"$WORK/metrics.txt" || die "the last scrape failed"
SERVER_CONNECTIONS=$(sql -e "SHOW GLOBAL STATUS LIKE 'Connections'" | awk '{ print $2 }')
MAX_USED=$(sql -e "SHOW GLOBAL STATUS LIKE 'Max_used_connections'" | awk '{ print $2 }')

# The customers' rows: per customer, jobs of the on-demand schedules 4
# (due at load) and 5 (due during the run), of the recurring scan 1,
# internal deploy jobs, and schedule 5's delay from falling due to its
# first job row (real seconds; the daemon stamps whole seconds).
{
  for ((i = 1; i <= CUSTOMERS; i++)); do
    db="$(cust_db "$i")"
    ((i > 1)) && echo "UNION ALL"
    echo "SELECT $i,
      (SELECT COUNT(*) FROM $db.jobdetails WHERE SchedularID = 4),
      (SELECT COUNT(*) FROM $db.jobdetails WHERE SchedularID = 5),
      (SELECT COUNT(*) FROM $db.jobdetails WHERE SchedularID = 1),
      (SELECT COUNT(*) FROM $db.jobdetails WHERE JobName LIKE 'InternalPatchDeployJob%'),
      (SELECT ScheduledTime <= NOW() FROM $db.jobsmaster WHERE SchedularID = 5),
      (SELECT LastSubmittedTime <> '0000-00-00 00:00:00' FROM $db.jobsmaster WHERE SchedularID = 5),
      COALESCE((SELECT TIMESTAMPDIFF(MICROSECOND, m.ScheduledTime, MIN(d.SubmissionTime)) / 1e6
                  FROM $db.jobsmaster m JOIN $db.jobdetails d ON d.SchedularID = m.SchedularID
                 WHERE m.SchedularID = 5), 'NULL')"
  done
} | sql >"$WORK/rows.txt" || die "reading the customers' rows failed"

TICKS=$(getconf CLK_TCK)
python3 - "$WORK" "$CUSTOMERS" "$SCALE" "$START_MS" "$STOP_MS" "$HALF_MS" "$CONNECTS_HALF" \
  "$CONNECTS_END" "$SESSIONS_END" "$DAEMON_CPU0" "$DAEMON_CPU1" "$SERVER_CPU0" "$SERVER_CPU1" \
  "$TICKS" "$CYCLE" "$CHECKABLE" "$SERVER_CONNECTIONS" "$MAX_USED" "$MAX_CONNECTIONS" <<'EOF'
import math, re, sys
(work, n, scale, start_ms, stop_ms, half_ms, conn_half, conn_end, sessions_end,
 dcpu0, dcpu1, scpu0, scpu1, ticks, cycle, checkable, server_conns, max_used,
 max_conns) = sys.argv[1:]
n = int(n); scale = float(scale); cycle = float(cycle); ticks = float(ticks)
wall = (int(stop_ms) - int(start_ms)) / 1000.0

# Timeout events' periods (seconds, before scaling), events 1..17.
periods = [86400, 28800, 21600, 900, 900, 900, 300, 180, 180, 180, 180, 120, 60, 45, 45, 45, 20]
# Events the main loop makes due at once when it starts (install type 1).
at_start = {4, 7, 8, 9, 10, 11, 12, 13, 14, 15, 16, 17}

line_re = re.compile(r'^([a-zA-Z_:][a-zA-Z0-9_:]*)(\{([^}]*)\})?\s+(\S+)')
def read_scrape(path):
    found = []
    try:
        lines = open(path).readlines()
    except OSError:
        return found
    for line in lines:
        m = line_re.match(line)
        if not m or line.startswith('#'):
            continue
        labels = dict(re.findall(r'(\w+)="([^"]*)"', m.group(3) or ''))
        found.append((m.group(1), labels, float(m.group(4))))
    return found
series = read_scrape(f"{work}/metrics.txt")
half_series = read_scrape(f"{work}/metrics-half.txt")

def values(name, source=None, **want):
    return [(l, v) for (nm, l, v) in (series if source is None else source)
            if nm == name and all(l.get(k) == x for k, x in want.items())]
def value(name, **want):
    return sum(v for _, v in values(name, **want))

# Lateness p99 per event: the least bucket bound holding 99 % of the runs.
print("\nTimeout events (lateness in real seconds; x%g for scaled):" % scale)
print("  event  period  runs  expected  p99 lateness <=  second half: runs, p99 <=  note")
def p99_of(buckets):
    total = buckets[-1][1] if buckets else 0
    for bound, count, text in buckets:
        if total > 0 and count >= 0.99 * total:
            return (bound, text)
    return None
def lateness_buckets(ev, source=None):
    return sorted(((float('inf') if l['le'] == '+Inf' else float(l['le'])), v, l['le'])
                  for l, v in values('korb_timeout_event_lateness_seconds_bucket', source, event=str(ev)))
worst = (-1.0, None, None)
for ev in range(1, 18):
    buckets = lateness_buckets(ev)
    p99 = p99_of(buckets)
    # The second half alone: the end's buckets less those at half time
    # (the start makes twelve events due at once, which the first half holds).
    before = {text: count for _, count, text in lateness_buckets(ev, half_series)}
    late = [(b, c - before.get(t, 0), t) for b, c, t in buckets] if half_series else []
    late_p99 = p99_of(late)
    late_runs = late[-1][1] if late else 0
    runs = value('korb_timeout_event_runs_total', event=str(ev))
    expected = math.floor(wall * scale / periods[ev - 1]) + (1 if ev in at_start else 0)
    note = ''
    if expected > 0 and runs < 0.95 * expected:
        note = 'BELOW 95 % OF EXPECTED'
    if p99 and p99[0] > worst[0]:
        worst = (p99[0], p99[1], ev)
    if expected > 0 or runs > 0:
        print("  %5d  %6d  %4d  %8d  %15s  %12d, %8s  %s" % (ev, periods[ev - 1], runs, expected,
              p99[1] if p99 else '-', late_runs, late_p99[1] if late_p99 else '-', note))
worst_text = ("<= %s s (event %d; %g scaled s)" % (worst[1], worst[2], worst[0] * scale)
              if worst[2] else "no runs")

# Main loop: handler time of the timeout events over the wall time; the
# busy gauge is the time away from the wait right now, sampled.
handler_s = sum(v for l, v in values('korb_timeout_event_duration_seconds_sum'))
busy_fraction = handler_s / wall
samples = [l.split() for l in open(f"{work}/samples.txt") if l.strip()]
busy = [float(s[0]) for s in samples if s[0] != 'nan']
sessions = [int(s[1]) for s in samples if len(s) > 1]
busy_seen = sum(1 for b in busy if b > 0)
print("\nMain loop: timeout handlers ran %.2f s of %.1f s = %.1f %% busy; the busy gauge was above 0 in %d of %d samples (max %.3f s)"
      % (handler_s, wall, 100 * busy_fraction, busy_seen, len(busy), max(busy) if busy else 0))

# Customers.
rows = [l.rstrip('\n').split('\t') for l in open(f"{work}/rows.txt") if l.strip()]
od4 = sum(1 for r in rows if int(r[1]) > 0)
od5 = sum(1 for r in rows if int(r[2]) > 0)
scan = sum(1 for r in rows if int(r[3]) > 0)
internal = sum(1 for r in rows if int(r[4]) > 0)
due5 = sum(1 for r in rows if r[5] == '1')
delays = [float(r[7]) for r in rows if r[7] != 'NULL']
reached = min(od4, scan, internal)
print("\nPatch threads (customers with job rows of the thread):")
print("  PerformOndemandPatchJobs  schedule 4 (due at load): %d of %d; schedule 5 (due in the run): posted in %d of the %d where it fell due" % (od4, n, od5, due5))
print("  PerformPatchJobs          recurring scan 1:          %d of %d" % (scan, n))
print("  InternalDeployJobPoster   internal deploy jobs:      %d of %d" % (internal, n))
for kind in ('PerformPatchJobs', 'PerformOndemandPatchJobs', 'InternalDeployJobPoster'):
    print("  passes of %-26s %d" % (kind, value('korb_msp_fanout_duration_seconds_count', kind=kind)))
print("  korb_msp_customers_served_total %d; skipped %s" % (
    value('korb_msp_customers_served_total'),
    ', '.join('%s %d' % (l['reason'], v) for l, v in values('korb_msp_customers_skipped_total'))))
if delays:
    worst_delay = max(delays)
    within = sum(1 for d in delays if d <= cycle + 1)
    print("  schedule 5, falling due to first job row: longest %.0f s real = %.0f scaled s (1 s resolution);"
          " %d of %d posted within one cycle (%.1f s + 1 s)" % (worst_delay, worst_delay * scale, within, len(delays), cycle))
    if not int(checkable):
        print("  (the run was too short after the due times for every customer to get a full cycle)")
    if len(delays) < due5:
        print("  NOT POSTED: %d customers whose schedule 5 fell due have no job rows of it" % (due5 - len(delays)))
else:
    print("  schedule 5: no job rows")

# Sessions, connects, CPU.
warm = (int(stop_ms) - int(half_ms)) / 1000.0 if int(half_ms) else 0
connects = (int(conn_end) - int(conn_half)) / warm if warm > 0 else float('nan')
dcpu = (float(dcpu1) - float(dcpu0)) / ticks / wall * 100
scpu = (float(scpu1) - float(scpu0)) / ticks / wall * 100
print("\nServer: daemon sessions at the end %s (max sampled %d); daemon's connects %d in all, %d in the second half (%.1f s);"
      " server Connections %s, Max_used_connections %s of max_connections %s"
      % (sessions_end, max(sessions) if sessions else 0, int(conn_end), int(conn_end) - int(conn_half),
         warm, server_conns, max_used, max_conns))
if int(max_used) >= int(max_conns):
    print("WARNING: the server reached max_connections; connects may have been refused")
print("CPU over %.1f s: daemon %.1f %% of a core, server %.1f %% of a core" % (wall, dcpu, scpu))

print("\n| customers | patch threads reached | worst event lateness p99 | main loop busy | daemon sessions | connects/s after warm-up | daemon CPU | server CPU |")
print("|---|---|---|---|---|---|---|---|")
print("| %d | %d of %d | %s | %.1f %% | %s | %.2f | %.1f %% | %.1f %% |"
      % (n, reached, n, worst_text, 100 * busy_fraction, sessions_end, connects, dcpu, scpu))
EOF
status=$?
say "daemon sessions per database at the end: ${SESSION_SPREAD:-none}"

LOG="$INSTALL/ConsoleManagement/log/KORB_ProbeScheduler.log"
if [[ -f $LOG ]]; then
  # A scan posting writes its per-target "NRET" and patch_summary lines
  # at level 2 by design; the other level 2 lines are listed.
  say "daemon log: $(wc -l <"$LOG") lines, $(grep -c '\[ERROR\]' "$LOG") at level 2, of them $(grep -c '\[ERROR\].*\(NRET :\|New entry in patch_summary\)' "$LOG") the scan posting's per-target lines; the others, by message:"
  grep '\[ERROR\]' "$LOG" | grep -v 'NRET :\|New entry in patch_summary' | sed -E 's/^.*\[ERROR\] \[[0-9]+\] //; s/[0-9]+/N/g' \
    | sort | uniq -c | sort -rn | head -n 8 | sed 's/^/    /'
fi
exit "$status"
