#!/usr/bin/env bash
# The worker always verifies the domain controller's certificate, whatever the folder it was
# started from or its environment say: an ldaprc with "TLS_REQCERT never" there and
# LDAPTLS_REQCERT=never in the environment do not make an untrusted DC acceptable, and a CA file
# named by an ldaprc in that folder is not trusted either. With the CA configured as the README
# says (LDAPTLS_CACERT), the same worker binds and decides the logon.
set -euo pipefail
source "$(dirname "${BASH_SOURCE[0]}")/lib/netns.sh"
source "$(dirname "${BASH_SOURCE[0]}")/lib/common.sh"
source "$(dirname "${BASH_SOURCE[0]}")/lib/fault.sh"
install_program_folder
fault_dc
client_report_config "$PROG" always
DC_CA=$LDAPTLS_CACERT
# The host's own ldap.conf must not already trust the fixture's CA, or nothing here is shown.
unset LDAPTLS_CACERT LDAPTLS_REQCERT

online() { count_lines "$WORK/gw.jsonl" '"type":"online"'; }
LOG() { worker_log "$PROG" "$WPID"; }
log_has() { LOG | grep -qF -- "$1"; }
BOUND='[INF]Open AD (10.99.0.1) success in initialization!'
REFUSED='[ERR]Connect ad fail in initialization 10.99.0.1'

# start_in FOLDER ENV...: the client-report worker started from FOLDER with ENV added; sets WPID.
start_in() {
  local folder=$1; shift
  (cd "$folder" && exec env "$@" "$PROG/Orvane" . 0) &
  WPID=$!
  PIDS+=("$WPID")
  wait_for 10 bash -c "ss -uln | grep -q ':$LISTEN_PORT '" || fail "worker $WPID not listening on $LISTEN_PORT"
}
stop_worker() { kill "$WPID" 2>/dev/null || true; wait "$WPID" 2>/dev/null || true; }

# expect_refused WHAT: the worker never bound (the handshake failed before any bind); ann's logon
# is refused and reaches no gateway.
expect_refused() {
  wait_for 15 log_has "$REFUSED" || fail "$1: no refused connection logged: $(LOG)"
  log_has '[ERR]StartTLS with the directory server 10.99.0.1 fail: Connect error (is its certificate trusted' \
    || fail "$1: no TLS failure logged: $(LOG)"
  send_report logon || fail "$1: logon not acknowledged"
  wait_for 15 log_has '[ERR]The user (ann) did not pass the AD server authentication and logon failed.' \
    || fail "$1: the logon is not refused: $(LOG)"
  ! log_has "$BOUND" || fail "$1: the worker bound to the untrusted DC: $(LOG)"
  [ "$(online)" = 0 ] || fail "$1: the untrusted DC's answer reached the gateway: $(cat "$WORK/gw.jsonl")"
  stop_worker
  pass "$1"
}

HOSTILE="$WORK/hostile"
mkdir -p "$HOSTILE"
printf 'TLS_REQCERT never\n' >"$HOSTILE/ldaprc"
start_in "$HOSTILE" LDAPTLS_REQCERT=never
expect_refused "TLS_REQCERT never in ./ldaprc and the environment: the DC is refused"

# A CA file named from the caller's folder is not the machine's trust.
PLANTED="$WORK/planted"
mkdir -p "$PLANTED"
printf 'TLS_CACERT %s\n' "$DC_CA" >"$PLANTED/ldaprc"
start_in "$PLANTED"
expect_refused "TLS_CACERT in ./ldaprc: not trusted"

start_in "$HOSTILE" LDAPTLS_REQCERT=never LDAPTLS_CACERT="$DC_CA"
wait_for 15 log_has "$BOUND" || fail "with LDAPTLS_CACERT the worker does not bind: $(LOG)"
send_report logon || fail "logon not acknowledged"
wait_for 20 eval '[ "$(online)" = 1 ]' || fail "logon not decided with the CA configured: $(LOG)"
expect_online "$WORK/gw.jsonl" ann 127.0.0.1 'OU=Sales,DC=corp,DC=example,DC=com'
stop_worker
pass "LDAPTLS_CACERT as the README says: bound, ann's logon reaches the gateway"
