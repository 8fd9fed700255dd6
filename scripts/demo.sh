#!/usr/bin/env bash
# The main job: the scheduler at work on a small sample installation.
#
# Starts a private MariaDB server with the reference database and a sample
# installation (one site, two probes, 36 systems, scan, deploy, CAB and
# on-demand schedules), a stand-in process for each probe and for the job
# handler (they print every signal they receive), and the supervisor, which
# starts the scheduler under a time scale. While it runs it tells, every few
# seconds, what happened since the last report: schedules falling due, jobs
# posted, jobs handed to probes, signals received, restarts. At the end it
# stops everything it started and prints a summary.
#
#   bash scripts/demo.sh
#
# KORB_DEMO_SECONDS   how long the scheduler runs (default 100: with the
#                     default time scale a scaled day passes, so the daily
#                     restart is seen)
# KORB_DEMO_SCALE     KORB_TIME_SCALE of the scheduler (default 1000)
# KORB_BUILD_DIR      build tree to use (default build/; built when missing)
set -uo pipefail

ROOT="$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)"
RUN_SECONDS="${KORB_DEMO_SECONDS:-100}"
METRICS_PORT="${KORB_DEMO_METRICS_PORT:-9471}"
SUPERVISOR_METRICS_PORT=$((METRICS_PORT + 1))
SCALE="${KORB_DEMO_SCALE:-1000}"
BUILD="${KORB_BUILD_DIR:-$ROOT/build}"
IDENTIFIER="${KORB_DEMO_IDENTIFIER:-47200}"
WORK="$(mktemp -d /tmp/korb-demo.XXXXXX)"
export KORB_DB_DIR="$WORK/db"

say() { printf '%s  %s\n' "$(date +%H:%M:%S)" "$*"; }
die() { say "demo failed: $*"; exit 1; }

PIDS=()
cleanup() {
  local pid
  for pid in "${PIDS[@]}"; do kill -TERM "$pid" 2>/dev/null; done
  for pid in "${PIDS[@]}"; do wait "$pid" 2>/dev/null; done
  bash "$ROOT/scripts/mariadb.sh" stop >/dev/null 2>&1
  rm -rf "$WORK"
}
trap cleanup EXIT
trap 'exit 130' INT TERM

bash "$ROOT/scripts/install-deps.sh" || die "packages could not be installed"

SCHEDULER="$BUILD/src/KORB_ProbeScheduler"
SUPERVISOR="$BUILD/tools/supervisor/korb-supervisor"
SIGNAL_TOOL="$BUILD/tools/signal_tool/korb-signal"
if [[ ! -x $SCHEDULER || ! -x $SUPERVISOR || ! -x $SIGNAL_TOOL ]]; then
  say "building the scheduler and its tools in $BUILD"
  cmake -S "$ROOT" -B "$BUILD" -DCMAKE_BUILD_TYPE=RelWithDebInfo >"$WORK/configure.log" 2>&1 \
    || { cat "$WORK/configure.log"; die "configure failed"; }
  cmake --build "$BUILD" -j2 --target KORB_ProbeScheduler korb-supervisor korb-signal \
    || die "build failed"
fi

say "starting a private MariaDB server"
SOCKET="$(bash "$ROOT/scripts/mariadb.sh" start)" || die "the database server did not start"
sql() {
  mariadb --no-defaults --user=root --socket="$SOCKET" --database=orb -N -B \
    "--init-command=SET SESSION sql_mode='STRICT_TRANS_TABLES,ERROR_FOR_DIVISION_BY_ZERO,NO_BACKSLASH_ESCAPES,NO_ENGINE_SUBSTITUTION'" "$@"
}
sql <"$ROOT/sql/sample_installation.sql" || die "loading the sample installation failed"
# The scan schedule runs on the server's real clock; let it fall due every
# 30 real seconds so a short demo sees it come round several times.
sql -e "update schedularinfo set IntervalSeconds = 30 where SchedularInfoID = 1"
say "sample installation loaded: $(sql -e 'select count(*) from inventorymaster') systems, $(sql -e 'select count(*) from jobsmaster') schedules, $(sql -e 'select count(*) from probemaster where Status = 1') probes"

INSTALL="$WORK/install"
mkdir -p "$INSTALL/ConsoleManagement/log" "$INSTALL/ConsoleManagement/config"
cat >"$INSTALL/ConsoleManagement/config/korb-db.cnf" <<EOF
[orb]
socket=$SOCKET
user=root
database=orb
korb-msp-flag=0
korb-site-id=1
korb-probe-id=1
korb-install-type=1
korb-metrics-port=$METRICS_PORT
# The grace period is scaled like every period: under the time scale the
# default 60 s would leave a posting only milliseconds to finish before the
# daily restart. 10 s of real time at any scale:
korb-grace-period=$(awk -v s="$SCALE" 'BEGIN { printf "%d", s * 10 }')
EOF
export KORB_INSTALL_DIR="$INSTALL" KORB_LOCK_DIR="$WORK" KORB_TIME_SCALE="$SCALE"
LOG="$INSTALL/ConsoleManagement/log/KORB_ProbeScheduler.log"

listen() {  # name port
  "$SIGNAL_TOOL" listen "$2" --bind 127.0.0.1 --timeout $((RUN_SECONDS + 60)) >"$WORK/$1.signals" 2>&1 &
  PIDS+=($!)
}
listen probe-a 47001
listen probe-b 47002
listen job-handler 47100
say "stand-in processes listen for signals: probe A on 127.0.0.1:47001, probe B on :47002, job handler on :47100"

"$SUPERVISOR" --scheduler "$SCHEDULER" --identifier "$IDENTIFIER" --signal-host 127.0.0.1 \
  --metrics-port "$SUPERVISOR_METRICS_PORT" >"$WORK/supervisor.out" 2>&1 &
SUPERVISOR_PID=$!
PIDS+=("$SUPERVISOR_PID")
say "supervisor started (pid $SUPERVISOR_PID); it starts the scheduler with time scale $SCALE: a scaled day lasts $((86400 / SCALE)) s"
say "metrics: curl http://127.0.0.1:$METRICS_PORT/metrics (health: /healthz); the supervisor's on http://127.0.0.1:$SUPERVISOR_METRICS_PORT/metrics"

count_signals() { grep -c '^type=' "$WORK/$1.signals" 2>/dev/null || true; }
jobs_of() { sql -e "select count(*) from jobdetails where JobTypeID = $1"; }

# Reports what the log, the database and the listeners show since the last
# report, in plain words.
log_seen=0 sup_seen=0
report() {
  local lines new
  lines=$(wc -l <"$WORK/supervisor.out")
  if ((lines > sup_seen)); then
    tail -n +"$((sup_seen + 1))" "$WORK/supervisor.out" | head -n $((lines - sup_seen)) \
      | grep -E 'started|ended' | sed -E 's/^[^ ]+ [^ ]+ korb-supervisor: //' \
      | while read -r l; do say "  supervisor: $l"; done
    sup_seen=$lines
  fi
  if [[ -f $LOG ]]; then
    lines=$(wc -l <"$LOG")
    ((lines < log_seen)) && log_seen=0  # the log was rotated
    new=$(tail -n +"$((log_seen + 1))" "$LOG" | head -n $((lines - log_seen)))
    log_seen=$lines
    grep -o 'PostScheduledJobs:: GetNextScheduleTime() returned.*' <<<"$new" \
      | grep -E 'NextSchedule:[^|]*\|[01]' | sed -E 's/.*SchedularInfoID:([0-9]+) NextSchedule:(.*)\|.*/schedule timing \1 fell due: run of \2/' \
      | sort -u | while read -r l; do say "  $l"; done
    grep -q 'PostOnDemandJobs Entry' <<<"$new" && [[ $(sql -e "select count(*) from jobsmaster where JobScheduledType = 0 and lastsubmittedtime <> '0000-00-00 00:00:00'") -gt 0 ]] \
      && [[ ${ondemand_told:-0} -eq 0 ]] && { say "  the on-demand scan was posted"; ondemand_told=1; }
    grep -q 'Process is exiting for Internal Restart' <<<"$new" && say "  daily restart: the scheduler ended for its internal restart"
    grep -q 'postpatchinternaldeployjob() Ended' <<<"$new" && say "  ready patches were posted as internal deploy jobs"
    grep -q 'InsertDeployJob: SH_PATCH_DOWNLOAD_SIGNAL Signal sent' <<<"$new" && say "  the job handler was signalled after eleven deploy jobs"
  fi
  say "  jobs posted: $(jobs_of 10027) scan, $(jobs_of 10025) deploy, $(jobs_of 10037) CAB download;" \
      "open: $(sql -e 'select count(*) from jobdetails where Status = 0');" \
      "handed to probes: $(sql -e 'select count(*) from probescheduledetail where TaskTypeID = 3');" \
      "signals received: probe A $(count_signals probe-a), probe B $(count_signals probe-b), job handler $(count_signals job-handler)"
}

end=$((SECONDS + RUN_SECONDS))
while ((SECONDS < end)); do
  sleep 5
  kill -0 "$SUPERVISOR_PID" 2>/dev/null || die "the supervisor ended early: $(tail -5 "$WORK/supervisor.out")"
  report
done

# The scheduler's endpoint closes with it: take the last scrape now.
curl -s --max-time 5 "http://127.0.0.1:$METRICS_PORT/metrics" >"$WORK/metrics.txt" || true
curl -s --max-time 5 "http://127.0.0.1:$SUPERVISOR_METRICS_PORT/metrics" >>"$WORK/metrics.txt" || true
say "stopping: the supervisor sends the scheduler its end signal"
kill -TERM "$SUPERVISOR_PID"
wait "$SUPERVISOR_PID" 2>/dev/null
report
grep -q 'Unloaded the module succesfully' "$LOG" && say "  the scheduler unloaded in order"

echo
echo "=== Summary after ${RUN_SECONDS} s (time scale ${SCALE}) ==="
echo "Scheduler starts: $(grep -c 'korb-supervisor: started' "$WORK/supervisor.out")"
echo "Jobs by type and status:"
sql -e "select concat('  ', case JobTypeID when 10027 then 'patch scan' when 10025 then 'patch deploy'
                  when 10037 then 'CAB download' else JobTypeID end,
                  ', status ', Status, ': ', count(*))
          from jobdetails group by JobTypeID, Status order by JobTypeID, Status"
echo "Jobs handed to probes: $(sql -e 'select count(*) from probescheduledetail where TaskTypeID = 3')"
echo "Signals received by type:"
for who in probe-a probe-b job-handler; do
  grep -o '^type=[-0-9]*' "$WORK/$who.signals" 2>/dev/null | sort | uniq -c \
    | while read -r n t; do echo "  $who: $n signal(s) of ${t/=/ }"; done
done
echo "Procedure calls: $(sql -e 'select count(*) from procedurecalllog')"
echo "From the last scrape of /metrics (counted since the scheduler's latest start):"
if [[ -s $WORK/metrics.txt ]]; then
  # p99 of a histogram: the smallest bucket bound holding 99% of the runs;
  # the three latest events are shown.
  awk '/^korb_timeout_event_lateness_seconds_bucket/ {
         match($0, /event="[0-9]+"/); ev = substr($0, RSTART + 7, RLENGTH - 8)
         match($0, /le="[^"]+"/); le = substr($0, RSTART + 4, RLENGTH - 5)
         n[ev]++; bound[ev, n[ev]] = le; count[ev, n[ev]] = $2 }
       END { for (ev in n) { total = count[ev, n[ev]]; if (total == 0) continue
               for (i = 1; i <= n[ev]; i++) if (count[ev, i] >= 0.99 * total) break
               printf "  lateness p99 <= %s s for timeout event %d (%d runs)\n", bound[ev, i], ev, total } }' \
    "$WORK/metrics.txt" | sort -k4 -g -r | head -n 3
  grep -E '^korb_(jobs_posted_total|signals_received_total|signal_datagrams_refused_total|supervisor_scheduler_restarts_total)' \
    "$WORK/metrics.txt" | awk '$2 > 0 { print "  " $0 }'
else
  echo "  (no scrape: the endpoint did not answer)"
fi
posted=$(sql -e 'select count(*) from jobdetails')
signals=$(( $(count_signals probe-a) + $(count_signals probe-b) ))
echo "Result: ${posted} jobs posted, ${signals} probe signals received"
((posted > 0 && signals > 0)) || die "no work flowed"
