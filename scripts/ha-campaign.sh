#!/usr/bin/env bash
# The fault campaign of the scheduler lease: three scheduler instances
# against one database while faults hit the active one (SIGKILL, freezes
# past the lease and between a fence and its commit, a freeze shorter than
# the safety margin, its database port dropped, a database restart; on the
# Galera recipe the write node killed instead of the restart). Prints one
# line per round and a summary: rounds, violations, takeover p50/p99/max
# per fault kind. Exits non-zero on any violation.
#
#   bash scripts/ha-campaign.sh                  short: 6 rounds on one server
#   bash scripts/ha-campaign.sh --rounds 100     many rounds
#   bash scripts/ha-campaign.sh --galera         adds 6 rounds on the Galera recipe
#   bash scripts/ha-campaign.sh --galera-only --galera-rounds 25
#   options: --seed N, --targets N (systems per schedule, default 1500),
#            --lease S (korb-lease-duration of the instances, default 3)
#
# Needs root (network namespaces, nftables) and a normal build in
# $KORB_BUILD_DIR (default build/; built when missing). The full output of
# the test binary goes to $KORB_BUILD_DIR/ha-campaign-<time>.log.
set -uo pipefail

ROOT="$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)"
BUILD="${KORB_BUILD_DIR:-$ROOT/build}"
ROUNDS=6
GALERA=0
SINGLE=1
GALERA_ROUNDS=6
EXTRA=()

usage() { sed -n '2,19p' "${BASH_SOURCE[0]}" | sed 's/^# \{0,1\}//' >&2; exit 2; }
while (($#)); do
  case $1 in
    --rounds) ROUNDS=${2:?}; shift ;;
    --galera) GALERA=1 ;;
    --galera-only) GALERA=1; SINGLE=0 ;;
    --galera-rounds) GALERA_ROUNDS=${2:?}; GALERA=1; shift ;;
    --seed) EXTRA+=("KORB_CAMPAIGN_SEED=${2:?}"); shift ;;
    --targets) EXTRA+=("KORB_CAMPAIGN_TARGETS=${2:?}"); shift ;;
    --lease) EXTRA+=("KORB_CAMPAIGN_LEASE=${2:?}"); shift ;;
    -h|--help) usage ;;
    *) echo "unknown option $1" >&2; usage ;;
  esac
  shift
done
[[ $ROUNDS =~ ^[0-9]+$ && $GALERA_ROUNDS =~ ^[0-9]+$ ]] || usage

BINARY="$BUILD/tests/test_ha_campaign"
if [[ ! -x $BINARY ]]; then
  echo "=== ha-campaign.sh: building the campaign in $BUILD" >&2
  cmake -S "$ROOT" -B "$BUILD" -DCMAKE_BUILD_TYPE=RelWithDebInfo >/dev/null || exit 1
  cmake --build "$BUILD" -j"${KORB_TEST_JOBS:-2}" --target test_ha_campaign || exit 1
fi

filters=()
((SINGLE)) && filters+=("SingleServerCampaignTest.*")
((GALERA)) && filters+=("GaleraCampaignTest.*")
filter=$(IFS=:; echo "${filters[*]}")
LOG="$BUILD/ha-campaign-$(date -u +%Y%m%dT%H%M%S).log"

: >"$LOG"
env KORB_CAMPAIGN_ROUNDS="$ROUNDS" KORB_CAMPAIGN_GALERA="$GALERA" \
    KORB_CAMPAIGN_GALERA_ROUNDS="$GALERA_ROUNDS" "${EXTRA[@]}" \
    "$BINARY" --gtest_filter="$filter" >"$LOG" 2>&1 &
pid=$!
trap 'kill "$pid" 2>/dev/null' INT TERM
# One line per round as it comes, then the summary.
tail -n +1 -f --pid="$pid" "$LOG" | grep --line-buffered '^\[campaign\]'
wait "$pid"
status=$?
if ((status != 0)); then
  echo "=== ha-campaign.sh: FAILED (exit $status); failures:" >&2
  grep -E 'Failure|error:|FAILED' "$LOG" | head -40 >&2
  echo "=== ha-campaign.sh: full output in $LOG" >&2
  exit 1
fi
echo "=== ha-campaign.sh: passed; full output in $LOG" >&2
