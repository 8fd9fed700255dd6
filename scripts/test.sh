#!/usr/bin/env bash
# Builds everything and runs every test three times: a normal build, an
# ASan+UBSan build and a TSan build. Installs what is missing on a Debian 12
# machine first (needs root for that). Exits non-zero when anything fails.
#
#   bash scripts/test.sh            all three
#   KORB_TEST_BUILDS="normal" bash scripts/test.sh     only some of them
#
# Tests start private MariaDB servers of their own; no system server is
# needed or used.
set -uo pipefail

ROOT="$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)"
cd "$ROOT" || exit 1
BUILDS="${KORB_TEST_BUILDS:-normal asan tsan}"
JOBS="${KORB_TEST_JOBS:-2}"

say() { echo "=== test.sh: $*"; }

# Configures, builds and runs ctest in one build directory.
run_build() {
  local name=$1 dir=$2
  shift 2
  say "$name: configure and build in $dir"
  mkdir -p "$ROOT/$dir"
  if ! cmake -S "$ROOT" -B "$ROOT/$dir" "$@" >"$ROOT/$dir/configure.log" 2>&1; then
    cat "$ROOT/$dir/configure.log"
    say "$name: configure FAILED"
    return 1
  fi
  if ! cmake --build "$ROOT/$dir" -j"$JOBS"; then
    say "$name: build FAILED"
    return 1
  fi
  if [[ $name == normal ]]; then
    # The main-job demo in a short form: it fails unless jobs were posted
    # and the probes received signals.
    say "$name: short demo"
    if ! KORB_DEMO_SECONDS=20 KORB_BUILD_DIR="$ROOT/$dir" bash "$ROOT/scripts/demo.sh"; then
      say "$name: demo FAILED"
      return 1
    fi
    # The benchmark suite in its small form: checks that it still runs
    # (the figures are not judged here).
    say "$name: quick benchmarks"
    if ! KORB_BUILD_DIR="$ROOT/$dir" bash "$ROOT/scripts/bench.sh" --quick; then
      say "$name: benchmarks FAILED"
      return 1
    fi
    # The Debian package: built, inspected, lintian, the unit checked with
    # systemd-analyze, and its unpacked programs run against a private server.
    say "$name: package"
    if ! bash "$ROOT/tests/packaging/check_package.sh" "$ROOT/$dir"; then
      say "$name: package FAILED"
      return 1
    fi
  fi
  say "$name: tests"
  local runner=()
  if [[ $name == tsan ]] && setarch "$(uname -m)" -R true 2>/dev/null; then
    # TSan cannot map its shadow memory under the high ASLR entropy of
    # newer kernels; without randomisation it always can.
    runner=(setarch "$(uname -m)" -R)
  fi
  if ! "${runner[@]}" ctest --test-dir "$ROOT/$dir" --output-on-failure -j"$JOBS"; then
    say "$name: tests FAILED"
    return 1
  fi
  say "$name: all tests passed"
}

failed=()
bash "$ROOT/scripts/install-deps.sh" || failed+=("package installation")

export ASAN_OPTIONS="detect_leaks=1:abort_on_error=1:detect_stack_use_after_return=1"
export UBSAN_OPTIONS="print_stacktrace=1:halt_on_error=1"
export TSAN_OPTIONS="halt_on_error=1:second_deadlock_stack=1"
if [[ -f "$ROOT/tests/tsan.supp" ]]; then
  TSAN_OPTIONS+=":suppressions=$ROOT/tests/tsan.supp"
fi
if [[ -f "$ROOT/tests/lsan.supp" ]]; then
  export LSAN_OPTIONS="suppressions=$ROOT/tests/lsan.supp"
fi

# Sanitizer builds at -O1: close to the normal code, much faster to run
# than -O0, and quick to compile.
for build in $BUILDS; do
  case $build in
    normal) run_build normal build -DCMAKE_BUILD_TYPE=RelWithDebInfo || failed+=(normal) ;;
    asan) run_build asan build-asan -DCMAKE_BUILD_TYPE=Debug -DCMAKE_CXX_FLAGS_DEBUG="-g -O1" \
            -DKORB_SANITIZE=address || failed+=(asan) ;;
    tsan) run_build tsan build-tsan -DCMAKE_BUILD_TYPE=Debug -DCMAKE_CXX_FLAGS_DEBUG="-g -O1" \
            -DKORB_SANITIZE=thread || failed+=(tsan) ;;
    *) say "unknown build '$build'"; failed+=("$build") ;;
  esac
done

# The fuzz targets: built with clang apart from the builds above, each run
# for a bounded time (KORB_TEST_FUZZ_SECONDS, default 60; 0 skips them).
FUZZ_SECONDS="${KORB_TEST_FUZZ_SECONDS:-60}"
if [[ $FUZZ_SECONDS != 0 ]]; then
  say "fuzz: ${FUZZ_SECONDS}s per target"
  bash "$ROOT/scripts/fuzz.sh" --seconds "$FUZZ_SECONDS" || failed+=(fuzz)
fi

if ((${#failed[@]} > 0)); then
  say "FAILED: ${failed[*]}"
  exit 1
fi
say "all builds passed: $BUILDS"
