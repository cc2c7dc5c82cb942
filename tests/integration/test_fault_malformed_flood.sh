#!/usr/bin/env bash
# Two senders flood the worker with malformed datagrams at full speed (random bytes, lying
# headers, odd lengths, empty and oversized datagrams, another key) while logon and logoff
# reports arrive the normal way: every acknowledged well-formed report is decided (counted at
# the gateway emulator and in the worker's counters), and the worker survives with its memory
# bounded.
set -euo pipefail
source "$(dirname "${BASH_SOURCE[0]}")/lib/netns.sh"
source "$(dirname "${BASH_SOURCE[0]}")/lib/common.sh"
source "$(dirname "${BASH_SOURCE[0]}")/lib/fault.sh"
install_program_folder
fault_road always
CTL="$PROG/orvanectl"
wait_for 10 "$CTL" status >/dev/null || fail "no status"
notifications() { count_lines "$WORK/gw.jsonl" '"type":"o[nf]*line"'; }
rss0=$(rss_kib "$WPID")

FLOOD_SECONDS=20
flood_t0=$SECONDS
start_floods --seconds $FLOOD_SECONDS
wait_for 10 eval '[ "$(metric orvane_dropped_total ",reason=\"not_a_report\"")" -gt 1000 ]' \
  || fail "the flood does not reach the worker: $("$CTL" status)"

# The normal stream: logon and logoff in turn, each sent again until acknowledged, as the
# reporter does with its repetitions; the next only once this one is decided (a logoff
# overtaking its logon would be refused). An attempt that got through without its
# acknowledgement reaching the sender is decided too: the notifications then run ahead of the
# acknowledged reports. The flood fills the worker's socket buffer, so the kernel may drop a
# report many times in a row (how often depends on how fast the flooders run against the
# worker on this machine): up to 30 attempts, and at least 3 reports must get through while
# the flood lasts.
acked=0 acked_in_flood=0 attempts=0 decided=0 kinds=(logon logoff)
while [ $((SECONDS - flood_t0)) -lt $((FLOOD_SECONDS - 2)) ]; do
  kind=${kinds[$((acked % 2))]}
  for try in $(seq 30); do
    attempts=$((attempts + 1))
    "$PROG/orvane-reportsend" --to "127.0.0.1:$LISTEN_PORT" --kind "$kind" --user ann \
      --domain dc=corp,dc=example,dc=com --computer PC01 --key-file "$WORK/client.key" --wait-ack 1 >/dev/null \
      && break
    [ "$try" = 30 ] && fail "a $kind report was not acknowledged in 30 attempts"
  done
  acked=$((acked + 1))
  [ $((SECONDS - flood_t0)) -lt "$FLOOD_SECONDS" ] && acked_in_flood=$((acked_in_flood + 1))
  wait_for 20 eval '[ "$(notifications)" -gt $decided ]' || fail "report $acked ($kind) not decided: $("$CTL" status)"
  decided=$(notifications)
done
wait_floods
flooded=$FLOODED
[ "$acked_in_flood" -ge 3 ] || fail "only $acked_in_flood reports acknowledged under the flood ($attempts attempts)"
logons=$(metric orvane_logons_total) logoffs=$(metric orvane_logoffs_total)
[ "$decided" -ge "$acked" ] && [ "$(notifications)" = "$decided" ] && [ $((logons + logoffs)) = "$decided" ] \
  || fail "$acked acknowledged; $logons logons and $logoffs logoffs decided, $(notifications) notifications"
dropped=$(metric orvane_dropped_total ',reason="not_a_report"')
echo "$flooded malformed datagrams sent in $FLOOD_SECONDS s; $dropped dropped unanswered as no report;" \
  "$acked reports acknowledged ($acked_in_flood during the flood) in $attempts attempts, $decided decided"
pass "under a flood of $flooded malformed datagrams every acknowledged report ($acked) is decided"

# Quiet again: the queue drains and the worker is still whole.
kill -0 "$WPID" || fail "the worker died"
send_report logon || fail "no acknowledgement after the flood"
wait_for 20 eval '[ "$(notifications)" = $((decided + 1)) ]' || fail "a report after the flood is not decided"
rss1=$(rss_kib "$WPID")
echo "RSS ${rss0} KiB before, ${rss1} KiB after the flood"
[ $((rss1 - rss0)) -le 65536 ] || fail "RSS grew by $((rss1 - rss0)) KiB"
pass "after the flood the worker decides reports at once (RSS +$((rss1 - rss0)) KiB)"
echo "2 passed, 0 failed"
