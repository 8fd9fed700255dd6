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
[[ $conffiles == "/etc/default/korb-supervisor /etc/korb/korb-db.cnf /etc/korb/korb-explain.cnf " ]] \
  || fail "conffiles: $conffiles"
for script in postinst prerm postrm; do
  dpkg-deb --info "$deb" "$script" >"$WORK/$script" && sh -n "$WORK/$script" \
    || fail "maintainer script $script"
done

contents="$(dpkg-deb --contents "$deb" | awk '{print $6}')"
for path in ./usr/sbin/korb-supervisor ./usr/bin/korb-signal \
            ./usr/libexec/korb/KORB_ProbeScheduler ./lib/systemd/system/korb-supervisor.service \
            ./etc/korb/korb-db.cnf ./etc/korb/korb-explain.cnf ./etc/default/korb-supervisor \
            ./usr/share/korb/sql/explain_account.sql \
            ./usr/share/korb/sql/01_schema.sql ./usr/share/korb/sql/03_procedures.sql \
            ./usr/share/doc/korb-probescheduler/copyright ./usr/share/doc/korb-probescheduler/changelog.gz \
            ./usr/share/man/man8/korb-supervisor.8.gz ./usr/share/man/man1/korb-signal.1.gz \
            ./usr/share/man/man1/korb-explain.1.gz ./usr/lib/sysctl.d/60-korb-probescheduler.conf \
            ./usr/lib/korb/ConsoleManagement/log ./usr/lib/korb/ConsoleManagement/state \
            ./usr/lib/korb/ConsoleManagement/config; do
  grep -qxF "$path" <<<"$contents" || fail "missing $path"
done
grep -q '^\./usr/local/' <<<"$contents" && fail "files under /usr/local"
# The option file holds a password: never readable by others, not even
# for the moment between unpacking and the postinst's override.
cnf_entry="$(dpkg-deb --contents "$deb" | awk '$6 == "./etc/korb/korb-db.cnf" {print $1, $2}')"
[[ $cnf_entry == "-rw-r----- root/root" ]] || fail "option file in the package: $cnf_entry"

lintian --tag-display-limit 0 "$deb" >"$WORK/lintian.txt" 2>&1
grep -v 'running with root privileges' "$WORK/lintian.txt"
grep -q '^E: ' "$WORK/lintian.txt" && fail "lintian reports errors"
grep -q 'no-manual-page' "$WORK/lintian.txt" && fail "lintian: a program without a manual page"

# Installed into another prefix, the option file is no more readable.
cmake --install "$BUILD" --prefix "$WORK/opt" >/dev/null || fail "cmake --install into another prefix"
[[ $(stat -c %a "$WORK/opt/etc/korb/korb-db.cnf" 2>/dev/null) == 640 ]] \
  || fail "option file under another prefix: $(stat -c %a "$WORK/opt/etc/korb/korb-db.cnf" 2>&1)"

# The maintainer scripts against a real dpkg, in a view of this machine
# that goes away afterwards.
bash "$ROOT/tests/packaging/dpkg_install_check.sh" "$deb" || fail "dpkg install checks"

# The drop-in raises net.core.rmem_max to what the signal receiver asks
# for. Applied here when this machine's limit is lower (and put back at
# the end), so that the restricted run below can check the buffer the
# service gets without a capability to force it.
sysctl_file="$WORK/root/usr/lib/sysctl.d/60-korb-probescheduler.conf"

root="$WORK/root"
dpkg-deb -x "$deb" "$root" || fail "unpacking"
wanted="$(sed -n 's/^net\.core\.rmem_max *= *\([0-9]*\)$/\1/p' "$sysctl_file")"
[[ -n $wanted ]] || fail "the sysctl drop-in sets no net.core.rmem_max"
before="$(sysctl -n net.core.rmem_max)"
if [[ -n $wanted ]] && ((before < wanted)); then
  trap 'sysctl -q -w net.core.rmem_max="$before"; rm -rf "$WORK"' EXIT
  /usr/lib/systemd/systemd-sysctl "$sysctl_file" || fail "applying the sysctl drop-in"
fi
[[ -z $wanted ]] || (($(sysctl -n net.core.rmem_max) >= wanted)) \
  || fail "net.core.rmem_max is $(sysctl -n net.core.rmem_max) after the drop-in"
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
