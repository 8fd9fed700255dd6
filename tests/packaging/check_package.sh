#!/usr/bin/env bash
# Builds the Debian package from BUILD_DIR and checks it: control fields,
# conffiles and file list, lintian (errors fail), the unit with
# systemd-analyze (verify, and an exposure of 2.0 or less), and the
# unpacked programs run by test_packaging against a private server.
#
#   bash tests/packaging/check_package.sh BUILD_DIR
set -uo pipefail

ROOT="$(cd "$(dirname "${BASH_SOURCE[0]}")/../.." && pwd)"
BUILD="$(realpath -m "${1:?usage: check_package.sh BUILD_DIR}")"
WORK="$(mktemp -d /tmp/korb-package-check.XXXXXX)"
trap 'rm -rf "$WORK"' EXIT
failures=0
say() { echo "=== check_package.sh: $*"; }
fail() { say "FAILED: $*"; failures=$((failures + 1)); }

deb="$(bash "$ROOT/scripts/package.sh" "$BUILD" | tail -n 1)"
[[ -f $deb ]] || { say "no package built"; exit 1; }
say "checking $deb"

version="$(sed -n 's/^project(KORB_ProbeScheduler VERSION \([0-9.]*\).*/\1/p' "$ROOT/CMakeLists.txt")"
field() { dpkg-deb --field "$deb" "$1"; }
[[ $(field Package) == korb-probescheduler ]] || fail "package name $(field Package)"
[[ $(field Version) == "$version" ]] || fail "version $(field Version), project $version"
for dep in adduser libmariadb3 libsystemd0 libc6; do
  [[ ", $(field Depends)," == *", $dep"[\ ,]* ]] || fail "Depends lacks $dep: $(field Depends)"
done
[[ $(field Recommends) == *mariadb-server* ]] || fail "Recommends lacks mariadb-server"

conffiles="$(dpkg-deb --info "$deb" conffiles | sort | tr '\n' ' ')"
[[ $conffiles == "/etc/default/korb-supervisor /etc/korb/korb-db.cnf " ]] \
  || fail "conffiles: $conffiles"
for script in postinst prerm postrm; do
  dpkg-deb --info "$deb" "$script" >"$WORK/$script" && sh -n "$WORK/$script" \
    || fail "maintainer script $script"
done

contents="$(dpkg-deb --contents "$deb" | awk '{print $6}')"
for path in ./usr/sbin/korb-supervisor ./usr/bin/korb-signal \
            ./usr/libexec/korb/KORB_ProbeScheduler ./lib/systemd/system/korb-supervisor.service \
            ./etc/korb/korb-db.cnf ./etc/default/korb-supervisor \
            ./usr/share/korb/sql/01_schema.sql ./usr/share/korb/sql/03_procedures.sql \
            ./usr/share/doc/korb-probescheduler/copyright ./usr/share/doc/korb-probescheduler/changelog.gz; do
  grep -qxF "$path" <<<"$contents" || fail "missing $path"
done
grep -q '^\./usr/local/' <<<"$contents" && fail "files under /usr/local"

lintian --tag-display-limit 0 "$deb" >"$WORK/lintian.txt" 2>&1
grep -v 'running with root privileges' "$WORK/lintian.txt"
grep -q '^E: ' "$WORK/lintian.txt" && fail "lintian reports errors"

root="$WORK/root"
dpkg-deb -x "$deb" "$root" || fail "unpacking"
unit="$WORK/korb-supervisor.service"
# The unit names the installed path; here it is the unpacked one.
sed "s|/usr/sbin/korb-supervisor|$root/usr/sbin/korb-supervisor|" \
  "$root/lib/systemd/system/korb-supervisor.service" >"$unit"
systemd-analyze verify "$unit" || fail "systemd-analyze verify"
# The threshold is in tenths: 20 is an exposure of 2.0.
systemd-analyze security --offline=true --threshold=20 "$unit" | tail -n 1
((PIPESTATUS[0] == 0)) || fail "unit exposure above 2.0"

KORB_PACKAGE_ROOT="$root" "$BUILD/tests/test_packaging" --gtest_filter='Installed*' \
  || fail "the unpacked programs"

((failures == 0)) || exit 1
say "package checks passed"
