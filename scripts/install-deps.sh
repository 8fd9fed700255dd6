#!/usr/bin/env bash
# Installs the Debian 12 packages the build, the tests and the demo need,
# when any is missing. Needs root to install. The MariaDB server package is
# installed without starting a system server: we only run private ones.
set -uo pipefail

PACKAGES=(cmake make g++ pkg-config mariadb-server mariadb-client libmariadb-dev
          libgtest-dev googletest util-linux procps
          galera-4 haproxy rsync iproute2 socat nftables
          libmicrohttpd-dev prometheus-cpp-dev libyaml-cpp-dev libcrypt-dev
          prometheus curl openssl
          clang libfuzzer-14-dev jq nlohmann-json3-dev
          libsystemd-dev dpkg-dev lintian systemd help2man faketime)

say() { echo "=== install-deps.sh: $*"; }

missing=()
for pkg in "${PACKAGES[@]}"; do
  dpkg -s "$pkg" >/dev/null 2>&1 || missing+=("$pkg")
done
((${#missing[@]} == 0)) && exit 0

say "installing ${missing[*]}"
if [[ $(id -u) -ne 0 ]]; then
  say "not root: cannot install ${missing[*]}"
  exit 1
fi
# policy-rc.d is Debian's switch for "do not start services".
policy=/usr/sbin/policy-rc.d
made_policy=0
if [[ ! -e $policy ]]; then
  printf '#!/bin/sh\nexit 101\n' >"$policy" && chmod +x "$policy" && made_policy=1
fi
rc=0
export DEBIAN_FRONTEND=noninteractive
apt-get update -q && apt-get install -y -q --no-install-recommends "${missing[@]}" || rc=1
((made_policy)) && rm -f "$policy"
# In case the service started anyway (an existing policy allowed it).
if [[ -x /etc/init.d/mariadb ]] && /etc/init.d/mariadb status >/dev/null 2>&1; then
  say "stopping the system MariaDB service started by the package"
  /etc/init.d/mariadb stop >/dev/null 2>&1 || true
fi
if [[ -x /etc/init.d/haproxy ]] && /etc/init.d/haproxy status >/dev/null 2>&1; then
  say "stopping the system HAProxy service started by the package"
  /etc/init.d/haproxy stop >/dev/null 2>&1 || true
fi
exit $rc
