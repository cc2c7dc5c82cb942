#!/usr/bin/env bash
# Kerberos to a remote Windows DC's WinRM with short tickets: the worker gets a new
# ticket-granting ticket before the one it holds ends, and polls on past that end with no
# failure. Hosts as in test_log_query_kerberos.sh.
set -euo pipefail
source "$(dirname "${BASH_SOURCE[0]}")/lib/netns.sh"
source "$(dirname "${BASH_SOURCE[0]}")/lib/common.sh"
install_program_folder
source "$(dirname "${BASH_SOURCE[0]}")/lib/wsman_dc.sh"
source "$(dirname "${BASH_SOURCE[0]}")/lib/kerberos_dc.sh"

# Short tickets (5 minutes 10 s: Samba gives no service ticket from a ticket-granting ticket in its
# last five minutes), with the DC closing every connection after one answer, so each request
# authenticates anew: the worker gets a new ticket-granting ticket before the first one ends,
# and polls on past that end with no failure.
sed 's/^\[libdefaults\]$/&\n\tticket_lifetime = 310s/' "$KRB5_CONFIG" >"$WORK/krb5-short.conf"
start_peer --refuse-ntlm --strict-channel-binding --requests-per-connection 1
as_requests() {
  grep -c '"status": "NT_STATUS_OK".*"serviceDescription": "Kerberos KDC".*"clientAccount": "Administrator@' "$DC/log/auth.json" || true
}
accepted() { count_lines "$WORK/peer.err" "Kerberos accepted"; }
before=$(as_requests)
KRB5_CONFIG="$WORK/krb5-short.conf" start_worker
wait_for 30 log_has "$WPID" "[INF]Start query ADServer:$DC_ADDR." || fail "polling did not start: $(LOG "$WPID")"
first=$EPOCHSECONDS
renewed() { [ $(( $(as_requests) - before )) -ge 2 ]; }
wait_for 300 renewed || fail "no new ticket-granting ticket before the first ended; log: $(LOG "$WPID")"
renewal=$((EPOCHSECONDS - first))
[ "$renewal" -lt 310 ] || fail "the ticket was renewed only after $renewal s"
# Past the first ticket's end: Kerberos authentications go on.
past() { [ "$EPOCHSECONDS" -ge "$1" ]; }
wait_for 330 past $((first + 320)) || fail "the clock stood still"
n=$(accepted)
wait_for 20 bash -c '[ "$(grep -c "Kerberos accepted" "$1")" -gt "$2" ]' _ "$WORK/peer.err" "$n" \
  || fail "no Kerberos authentication after the first ticket ended"
client_kinit ann 'Ann-Pass-1' || fail "kinit ann failed"
reported ann 1
! LOG "$WPID" | grep -F "[ERR]" || fail "a poll failed across the ticket's end"
pass "5-minute tickets: renewed after $renewal s, $(accepted) Kerberos authentications in all, no failed poll"
stop_worker

echo "PASS: Kerberos tickets renewed under a polling worker"
