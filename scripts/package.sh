#!/usr/bin/env bash
# Builds the Debian package: bash scripts/package.sh [BUILD_DIR]
# Installs the build's Debian packages when missing, builds the programs
# (RelWithDebInfo, into build/ unless told otherwise) and writes
# korb-probescheduler_<version>_<arch>.deb into the build folder; prints
# its path as the last line.
set -euo pipefail

ROOT="$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)"
BUILD="$(realpath -m "${1:-$ROOT/build}")"
say() { echo "=== package.sh: $*" >&2; }
die() { say "$*"; exit 1; }

bash "$ROOT/scripts/install-deps.sh" >&2 || die "packages could not be installed"
if [[ ! -f $BUILD/CMakeCache.txt ]]; then
  cmake -S "$ROOT" -B "$BUILD" -DCMAKE_BUILD_TYPE=RelWithDebInfo >&2 || die "configure failed"
fi
cmake --build "$BUILD" -j"$(nproc)" --target korb-programs >&2 || die "build failed"
rm -f "$BUILD"/korb-probescheduler_*.deb
(cd "$BUILD" && cpack -G DEB --config CPackConfig.cmake >&2) || die "cpack failed"
deb=("$BUILD"/korb-probescheduler_*.deb)
[[ -f ${deb[0]} ]] || die "no package was written"
say "package: ${deb[0]}"
echo "${deb[0]}"
