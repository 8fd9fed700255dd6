#!/usr/bin/env bash
# Runs the benchmark suite (korb-bench) against a private MariaDB server:
# each figure beside its baseline from the same run, one line per figure,
# then a short table. Results go to $KORB_BUILD_DIR/bench-results/.
#
#   bash scripts/bench.sh            posting 1k/10k, fan-out, MSP passes, signals, idle day,
#                                    a fenced posting (lease on)
#   bash scripts/bench.sh --quick    every case small: checks the suite works
#   bash scripts/bench.sh --full     adds 50k-target postings
#   KORB_BENCHMARKS=posting,signals bash scripts/bench.sh   some of them
#   KORB_BENCH_ARGS="--sizes=1000,50000" bash scripts/bench.sh   more korb-bench options
#   KORB_BENCH_FAILOVER=1 bash scripts/bench.sh   adds the cluster failover case
#                                   (bench/failover.sh; a few minutes)
#   KORB_BENCH_WRAPPER="valgrind --tool=callgrind --toggle-collect=PostScanJob*" \
#     KORB_BENCHMARKS=posting KORB_BENCH_ARGS=--sizes=1000 bash scripts/bench.sh
#                                   runs korb-bench under a profiler (the
#                                   figures of such a run mean nothing)
#
# Builds korb-bench and the daemon into $KORB_BUILD_DIR (default build/)
# when they are missing. Run it on a machine as quiet as you can make it.
set -euo pipefail

ROOT="$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)"
BUILD="${KORB_BUILD_DIR:-$ROOT/build}"
MODE=()
case "${1:-}" in
  --quick|--full) MODE=("$1") ;;
  "") ;;
  *) echo "usage: $0 [--quick|--full]" >&2; exit 2 ;;
esac

say() { echo "=== bench.sh: $*" >&2; }

if [[ ! -x "$BUILD/bench/korb-bench" || ! -x "$BUILD/src/KORB_ProbeScheduler" ]]; then
  say "building korb-bench and the daemon in $BUILD"
  cmake -S "$ROOT" -B "$BUILD" -DCMAKE_BUILD_TYPE=RelWithDebInfo >/dev/null
  cmake --build "$BUILD" -j"${KORB_TEST_JOBS:-2}" --target korb-bench KORB_ProbeScheduler
fi

# The server's files in memory when there is room: the figures are about
# the daemon, not about the disk.
BASE=/dev/shm
[[ -d $BASE && -w $BASE ]] || BASE="$BUILD"
WORK="$(mktemp -d "$BASE/korb-bench.XXXXXX")"
export KORB_DB_DIR="$WORK/db"
cleanup() {
  bash "$ROOT/scripts/mariadb.sh" stop >/dev/null 2>&1 || true
  rm -rf "$WORK"
}
trap cleanup EXIT

SOCK="$(bash "$ROOT/scripts/mariadb.sh" start)"
client() { mariadb --no-defaults --user=root --socket="$SOCK" "$@"; }
# Room for the largest job tables, and the server's default redo log
# (96 MiB): the private server's small ones, made to save room in tests,
# would turn the largest postings into a test of the server's checkpoints.
# Sessions for the 1,000-customer passes: the daemon's and the raw loop's.
client -e "SET GLOBAL innodb_buffer_pool_size = 268435456; SET GLOBAL innodb_log_file_size = 100663296; SET GLOBAL max_connections = 3000"
client orb -e "INSERT INTO configsettings (SettingKey, SettingValue) VALUES
  ('LOG_LEVEL', '3'), ('LOG_SIZE', '10000000'), ('PATCH_SCAN_STATUS', '0'),
  ('SOFTWARE_METER_STATUS', '0'), ('ENABLE_REVERSE_PING', '0'),
  ('AGENT_DOWN_STATUS_UPDATE_FACTOR', '2');
  INSERT INTO jobhandlermaster (HostName, PortNumber) VALUES ('127.0.0.1', 9)"
# One database that every benchmark customer's DSN group names.
client -e "CREATE DATABASE cust CHARACTER SET utf8mb4"
for file in "$ROOT"/sql/[0-9][0-9]_*.sql; do client cust <"$file"; done

export KORB_INSTALL_DIR="$WORK/install"
mkdir -p "$KORB_INSTALL_DIR/ConsoleManagement/log" "$KORB_INSTALL_DIR/ConsoleManagement/config"
export KORB_DB_CONFIG="$KORB_INSTALL_DIR/ConsoleManagement/config/korb-db.cnf"
cat >"$KORB_DB_CONFIG" <<CNF
[orb]
socket=$SOCK
user=root
database=orb
CNF

RESULTS="$BUILD/bench-results"
mkdir -p "$RESULTS"
OUT="$RESULTS/$(date -u +%Y%m%dT%H%M%SZ).txt"
{
  echo "# $(date -u '+%Y-%m-%d %H:%M UTC') $(uname -srm)"
  echo "# $(grep -m1 'model name' /proc/cpuinfo | cut -d: -f2- | sed 's/^ *//'), $(nproc) CPUs, load $(cut -d' ' -f1-3 /proc/loadavg)"
  echo "# git $(git -C "$ROOT" rev-parse --short HEAD 2>/dev/null || echo unknown)"
} >"$OUT"
cat "$OUT"
status=0
# shellcheck disable=SC2086  # options are words
${KORB_BENCH_WRAPPER:-} "$BUILD/bench/korb-bench" "${MODE[@]}" ${KORB_BENCH_ARGS:-} --out="$OUT" \
  --benchmarks="${KORB_BENCHMARKS:-posting,fanout,msp,signals,idle,fencing}" || status=$?
cp "$OUT" "$RESULTS/latest.txt"
if [[ ${KORB_BENCH_FAILOVER:-0} == 1 ]]; then
  cmake --build "$BUILD" -j"${KORB_TEST_JOBS:-2}" --target korb-supervisor >/dev/null
  KORB_BUILD_DIR="$BUILD" bash "$ROOT/bench/failover.sh" | tee -a "$OUT" || status=$?
  cp "$OUT" "$RESULTS/latest.txt"
fi
if ((status != 0)); then
  rm -rf "$RESULTS/failed-run"
  cp -r "$KORB_INSTALL_DIR" "$RESULTS/failed-run" 2>/dev/null || true
  say "FAILED (exit $status); logs of the run in $RESULTS/failed-run"
fi
say "results in $OUT (and latest.txt)"
exit "$status"
