#!/usr/bin/env bash
# Builds the libFuzzer targets in fuzz/ with clang (ASan+UBSan) and runs
# each for a bounded time on a copy of its corpus in the repository. Exits
# non-zero when a target crashes, leaks, trips a sanitizer or cannot be
# built; the input that did it is kept and its path printed.
#
#   bash scripts/fuzz.sh                 60 seconds per target
#   bash scripts/fuzz.sh --seconds 300   longer
#   bash scripts/fuzz.sh --build-dir DIR build somewhere else (default build-fuzz)
set -uo pipefail

ROOT="$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)"
SECONDS_PER_TARGET=60
BUILD_DIR="$ROOT/build-fuzz"
while (($# > 0)); do
  case $1 in
    --seconds) SECONDS_PER_TARGET=${2:?--seconds needs a number}; shift 2 ;;
    --build-dir) BUILD_DIR=$(realpath -m "${2:?--build-dir needs a folder}"); shift 2 ;;
    -h|--help) sed -n '2,10p' "$0"; exit 0 ;;
    *) echo "fuzz.sh: unknown argument '$1'" >&2; exit 2 ;;
  esac
done
if ! [[ $SECONDS_PER_TARGET =~ ^[1-9][0-9]*$ ]]; then
  echo "fuzz.sh: --seconds takes a positive whole number, not '$SECONDS_PER_TARGET'" >&2
  exit 2
fi

say() { echo "=== fuzz.sh: $*"; }

mkdir -p "$BUILD_DIR"
if ! CXX=clang++ cmake -S "$ROOT/fuzz" -B "$BUILD_DIR" >"$BUILD_DIR/configure.log" 2>&1; then
  cat "$BUILD_DIR/configure.log"
  say "configure FAILED (needs clang and libfuzzer-14-dev)"
  exit 1
fi
if ! cmake --build "$BUILD_DIR" -j"${KORB_TEST_JOBS:-2}"; then
  say "build FAILED"
  exit 1
fi

export ASAN_OPTIONS="detect_leaks=1:abort_on_error=1"
export UBSAN_OPTIONS="print_stacktrace=1:halt_on_error=1"
failed=()
for corpus in "$ROOT"/fuzz/corpus/*/; do
  name=$(basename "$corpus")
  target="$BUILD_DIR/${name}_fuzzer"
  if [[ ! -x $target ]]; then
    say "$name: no target $target"
    failed+=("$name")
    continue
  fi
  # New inputs go to a scratch folder; the repository's corpus is only read.
  work=$(mktemp -d "/tmp/korb-fuzz-$name.XXXXXX")
  mkdir -p "$work/corpus" "$work/artifacts"
  say "$name: ${SECONDS_PER_TARGET}s"
  if KORB_FUZZ_LOG_DIR="$work" "$target" -max_total_time="$SECONDS_PER_TARGET" -print_final_stats=1 \
       -artifact_prefix="$work/artifacts/" "$work/corpus" "$corpus" \
       >"$work/fuzz.log" 2>&1; then
    tail -n 12 "$work/fuzz.log"
    say "$name: passed"
    rm -rf "$work"
  else
    tail -n 60 "$work/fuzz.log"
    say "$name: FAILED; the input and the full output are in $work"
    ls -l "$work/artifacts"
    failed+=("$name")
  fi
done

if ((${#failed[@]} > 0)); then
  say "FAILED: ${failed[*]}"
  exit 1
fi
say "all targets passed"
