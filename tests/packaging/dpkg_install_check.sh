#!/usr/bin/env bash
# Installs the Debian package with dpkg into a copy-on-write view of this
# machine and checks what the maintainer scripts do: install, the link
# attack of the korb user against reconfigure and upgrade, purge.
#
# The view is an overlay of / in a mount and network namespace of this
# script's own: dpkg, adduser and the maintainer scripts change only the
# overlay's upper layer, which goes with the namespace; a sysctl written
# there fails harmlessly (the namespace's net.core settings are read-only).
# Needs root.
#
#   bash tests/packaging/dpkg_install_check.sh PACKAGE.deb
set -uo pipefail

deb="$(realpath "${1:?usage: dpkg_install_check.sh PACKAGE.deb}")"
WORK="$(mktemp -d /tmp/korb-dpkg-check.XXXXXX)"
trap 'rm -rf "$WORK"' EXIT
mkdir -p "$WORK/upper" "$WORK/work" "$WORK/root"
cp "$deb" "$WORK/korb.deb"

# What runs inside the view, as root there.
cat >"$WORK/inside.sh" <<'INSIDE'
set -u
failures=0
say() { echo "=== dpkg_install_check.sh: $*"; }
fail() { say "FAILED: $*"; failures=$((failures + 1)); }
owner_mode() { stat -c '%U:%G %a' "$1" 2>/dev/null; }
expect() {  # path, "user:group mode"
  [[ $(owner_mode "$1") == "$2" ]] || fail "$1 is $(owner_mode "$1"), expected $2"
}
as_korb() { setpriv --reuid korb --regid korb --init-groups -- "$@"; }
dpkg_quiet() { dpkg "$@" >/tmp/dpkg.log 2>&1 || { cat /tmp/dpkg.log; fail "dpkg $*"; }; }

dpkg_quiet -i /tmp/korb.deb
getent passwd korb >/dev/null || fail "no korb user"
expect /etc/korb/korb-db.cnf "root:korb 640"
expect /etc/korb/korb-explain.cnf "root:korb-operators 640"
expect /var/lib/korb "korb:korb 750"
expect /var/log/korb "korb:korb 750"
expect /usr/lib/korb/ConsoleManagement "root:root 755"
for link in log:/var/log/korb state:/var/lib/korb config:/etc/korb; do
  [[ $(readlink "/usr/lib/korb/ConsoleManagement/${link%%:*}") == "${link#*:}" ]] \
    || fail "ConsoleManagement/${link%%:*} does not link to ${link#*:}"
done

# The korb user (anyone who took over the daemon) plants links in the
# folders it owns, pointing at a folder of root's.
# Whatever is there goes first (an older package made ConsoleManagement/
# there as a folder).
mkdir -m 0755 /srv/victim && touch /srv/victim/file
plant() {  # target, link
  as_korb rm -rf "$2" && as_korb ln -sT "$1" "$2" || fail "planting $2 as korb"
}
plant /srv/victim /var/lib/korb/ConsoleManagement
plant /srv/victim /var/lib/korb/korb
plant /srv/victim /var/log/korb/korb
plant /srv/victim/file /var/lib/korb/KORB_ProbeScheduler.clean-end

/var/lib/dpkg/info/korb-probescheduler.postinst configure "$(dpkg-query -W -f '${Version}' korb-probescheduler)" \
  >/tmp/reconfigure.log 2>&1 || { cat /tmp/reconfigure.log; fail "reconfigure"; }
dpkg_quiet -i /tmp/korb.deb  # an upgrade to the same version: prerm upgrade, postinst configure VERSION
expect /srv/victim "root:root 755"
expect /srv/victim/file "root:root 644"
expect /var/lib/korb "korb:korb 750"
expect /etc/korb/korb-db.cnf "root:korb 640"

dpkg_quiet --purge korb-probescheduler
for gone in /var/lib/korb /var/log/korb /etc/korb /usr/lib/korb; do
  [[ -e $gone || -L $gone ]] && fail "$gone left after purge"
done
dpkg-statoverride --list /etc/korb/korb-db.cnf >/dev/null && fail "statoverride left after purge"
expect /srv/victim "root:root 755"
[[ -f /srv/victim/file ]] || fail "the purge removed the link's target"

((failures == 0)) || exit 1
say "install, link attack, reconfigure, upgrade and purge passed"
INSIDE

unshare --mount --net --fork --propagation private bash -c '
  set -e
  work=$1
  mount -t overlay overlay -o "lowerdir=/,upperdir=$work/upper,workdir=$work/work" "$work/root"
  mount --rbind /dev "$work/root/dev"
  mount -t proc proc "$work/root/proc"
  mount -t tmpfs tmpfs "$work/root/tmp"
  mount -t tmpfs tmpfs "$work/root/run"
  cp "$work/korb.deb" "$work/inside.sh" "$work/root/tmp/"
  exec chroot "$work/root" /bin/bash /tmp/inside.sh
' bash "$WORK"
