#!/usr/bin/env bash
# Is a Galera node fit to take sessions? Only when it is Synced
# (wsrep_local_state 4), part of the primary component (wsrep_cluster_status
# Primary) and ready (wsrep_ready ON). A donor, a desynced node, a joiner
# and a node cut off from the others are not, though they still accept a
# login. Anything the check cannot read counts as not fit.
#
#   galera-node-check.sh SOCKET   asks the node at that socket; prints "up"
#                                 or "down: <why>"; exit 0 when up, 1 if not
#
# As HAProxy's external check (external-check command) it takes HAProxy's
# four arguments, asks the node at $KORB_GALERA_DIR/$HAPROXY_SERVER_NAME/
# mariadbd.sock (the layout of scripts/galera.sh) and prints nothing: the
# exit code is the verdict.
#
# The account (KORB_CHECK_USER, default korb_check, from localhost) needs
# no rights. The whole check is bounded by KORB_CHECK_TIMEOUT seconds
# (default 1); HAProxy's own "timeout check" must be longer.
set -uo pipefail

USER_NAME="${KORB_CHECK_USER:-korb_check}"
LIMIT="${KORB_CHECK_TIMEOUT:-1}"

if (($# == 4)) && [[ -n ${HAPROXY_SERVER_NAME:-} ]]; then
  SOCKET="${KORB_GALERA_DIR:?KORB_GALERA_DIR is not set}/$HAPROXY_SERVER_NAME/mariadbd.sock"
  QUIET=1
elif (($# == 1)); then
  SOCKET=$1
  QUIET=0
else
  echo "usage: $0 SOCKET (or as HAProxy's external check)" >&2
  exit 2
fi

verdict() {
  ((QUIET)) || echo "$1"
  [[ $1 == up ]]
}

status="$(timeout -k 1 "$LIMIT" mariadb --no-defaults --protocol=socket --socket="$SOCKET" \
  --user="$USER_NAME" --connect-timeout="$LIMIT" -N -B -e \
  "SHOW GLOBAL STATUS WHERE Variable_name IN ('wsrep_local_state', 'wsrep_local_state_comment', 'wsrep_cluster_status', 'wsrep_ready')" \
  2>&1)" || { verdict "down: no answer (${status//$'\n'/ })"; exit 1; }

state="" comment="" cluster="" ready=""
while IFS=$'\t' read -r name value; do
  case "${name,,}" in
    wsrep_local_state) state=$value ;;
    wsrep_local_state_comment) comment=$value ;;
    wsrep_cluster_status) cluster=$value ;;
    wsrep_ready) ready=$value ;;
  esac
done <<<"$status"

if [[ $state != 4 ]]; then
  verdict "down: state ${state:-unknown} (${comment:-no Galera status})"
elif [[ $cluster != Primary ]]; then
  verdict "down: cluster status ${cluster:-unknown}"
elif [[ $ready != ON ]]; then
  verdict "down: not ready"
else
  verdict up
fi
