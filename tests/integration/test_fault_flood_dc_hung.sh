#!/usr/bin/env bash
# While the DC hangs with reports waiting for it, 1,000,000 datagrams without the key arrive at
# full speed (garbage, and envelopes shaped like reports that fill the queue): the worker's
# memory stays under its documented cap (48 MiB) plus 20 MiB, its log grows by less than 1 MiB,
# and every well-formed report acknowledged before the flood is decided once the DC answers.
set -euo pipefail
source "$(dirname "${BASH_SOURCE[0]}")/lib/netns.sh"
source "$(dirname "${BASH_SOURCE[0]}")/lib/common.sh"
source "$(dirname "${BASH_SOURCE[0]}")/lib/fault.sh"
install_program_folder
fault_road always
online() { count_lines "$WORK/gw.jsonl" '"type":"online"'; }
log_bytes() { du -sb "$PROG/log" | cut -f1; }
send_report logon || fail "first logon not acknowledged"
wait_for 20 eval '[ "$(online)" = 1 ]' || fail "first logon not decided"

"$FIX/samba/samba-dc" freeze "$DC"
REPORTS=10
for i in $(seq $REPORTS); do send_report logon || fail "report $i not acknowledged while the DC hangs"; done
wait_for 20 eval '[ "$(worker_log_count "$PROG" "$WPID" "waits until a directory server answers")" -ge 1 ]' \
  || fail "the reports are not held for the DC"
log0=$(log_bytes)

COUNT=500000
t0=$SECONDS
start_floods --count $COUNT
wait_floods
flooded=$FLOODED
[ "$flooded" -ge 1000000 ] || fail "only $flooded datagrams sent"
kill -0 "$WPID" || fail "the worker died under the flood"
full=$(metric orvane_dropped_total ',reason="queue_full"')
notreport=$(metric orvane_dropped_total ',reason="not_a_report"')
[ "$full" -gt 0 ] || fail "the queue never filled: the flood did not test its cap"
peak=$(awk '/^VmHWM:/ {print $2}' "/proc/$WPID/status")
grown=$(( $(log_bytes) - log0 ))
echo "$flooded datagrams in $((SECONDS - t0)) s: $notreport dropped as no report, $full for a full queue;" \
  "peak RSS $peak KiB; log +$grown bytes"
[ "$peak" -lt $(( (48 + 20) * 1024 )) ] || fail "peak RSS $peak KiB is over 68 MiB"
[ "$grown" -lt 1048576 ] || fail "the log grew by $grown bytes under the flood"
pass "1,000,000 datagrams while the DC hangs: RSS peak $peak KiB, log +$grown bytes"

"$FIX/samba/samba-dc" thaw "$DC"
wait_for 60 eval '[ "$(online)" = $((1 + REPORTS)) ]' \
  || fail "$(( $(online) - 1 )) of $REPORTS reports acknowledged before the flood decided after the DC answered"
send_report logon || fail "no acknowledgement after the flood"
wait_for 20 eval '[ "$(online)" = $((2 + REPORTS)) ]' || fail "a report after the flood is not decided"
pass "all $REPORTS reports acknowledged before the flood are decided once the DC answers"
echo "2 passed, 0 failed"
