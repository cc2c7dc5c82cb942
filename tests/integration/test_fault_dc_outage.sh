#!/usr/bin/env bash
# The domain controller fails under a running client-report worker. Down (connections refused)
# and hung (SIGSTOP: connections accepted, nothing answers): reports keep being acknowledged at
# once, no lookup blocks longer than the directory time-out, and every report acknowledged
# meanwhile is decided once the DC answers again (counted at the gateway emulator). A worker
# started while the DC is down logs the documented initialisation and reconnection texts.
set -euo pipefail
source "$(dirname "${BASH_SOURCE[0]}")/lib/netns.sh"
source "$(dirname "${BASH_SOURCE[0]}")/lib/common.sh"
source "$(dirname "${BASH_SOURCE[0]}")/lib/fault.sh"
install_program_folder
fault_road always
SAMBA_DC="$FIX/samba/samba-dc"
LOG() { worker_log "$PROG" "$WPID"; }
log_count() { worker_log_count "$PROG" "$WPID" "$1"; }
online() { count_lines "$WORK/gw.jsonl" '"type":"online"'; }

wait_for 10 eval '[ "$(log_count "[INF]Open AD (10.99.0.1) success in initialization!")" = 1 ]' \
  || fail "no initial binding: $(LOG)"
send_report logon || fail "first logon not acknowledged"
wait_for 20 eval '[ "$(online)" = 1 ]' || fail "first logon not decided: $(LOG)"
pass "the worker is bound and decides a logon"

# send_during WHAT N: N logons, each acknowledged within a second.
send_during() {
  local i t0
  for i in $(seq "$2"); do
    t0=$(date +%s%N)
    send_report logon || fail "$1: report $i not acknowledged"
    [ $(( ($(date +%s%N) - t0) / 1000000 )) -lt 1000 ] || fail "$1: acknowledgement $i took over a second"
  done
}
# The search lines of the worker's log with their time stamps, as seconds.
search_fail_times() {
  LOG | tr -d '\r' | sed -n 's/^\[\([0-9-]*\) \([0-9]*\)-\([0-9]*\)-\([0-9]*\)\]\[ERR\]Fail to execute the search,adserv count = 0\.$/\2 \3 \4/p' \
    | awk '{print $1*3600 + $2*60 + $3}'
}

# Down: refused connections fail each lookup at once; the reports wait for the directory.
"$SAMBA_DC" down "$DC"
before=$(online)
send_during down 4
wait_for 10 eval '[ "$(log_count "[ERR]Fail to execute the search,adserv count = 0.")" -ge 1 ]' \
  || fail "down: no failed search logged: $(LOG | tail -5)"
wait_for 10 eval '[ "$(log_count "waits until a directory server answers")" -ge 1 ]' \
  || fail "down: the report is not held: $(LOG | tail -5)"
[ "$(log_count "did not pass the AD server authentication")" = 0 ] \
  || fail "down: an acknowledged report was refused while the DC was down"
[ "$(online)" = "$before" ] || fail "down: a logon was decided without the directory"
"$SAMBA_DC" up "$DC"
wait_for 30 eval '[ "$(online)" = $((before + 4)) ]' || fail "down: $(( $(online) - before )) of 4 reports decided after the DC came back"
pass "DC down: 4 reports acknowledged at once, held, all decided once it is back"

# Hung: every lookup ends within the time-out (5 s) and the reports wait as well.
"$SAMBA_DC" freeze "$DC"
before=$(online)
fails_before=$(log_count "[ERR]Fail to execute the search,adserv count = 0.")
send_during hung 3
wait_for 30 eval '[ "$(log_count "[ERR]Fail to execute the search,adserv count = 0.")" -ge $((fails_before + 3)) ]' \
  || fail "hung: lookups do not end: $(LOG | tail -5)"
# Between two failed lookups of the held report no more than the time-out and the pause pass.
gaps=$(search_fail_times | tail -n +$((fails_before + 1)) | awk 'NR > 1 {print $1 - prev} {prev = $1}')
for g in $gaps; do
  [ "$g" -le 12 ] || fail "hung: a lookup blocked for $g s: $(LOG | tail -20)"
done
[ "$(online)" = "$before" ] || fail "hung: a logon was decided without the directory"
"$SAMBA_DC" thaw "$DC"
wait_for 40 eval '[ "$(online)" = $((before + 3)) ]' || fail "hung: $(( $(online) - before )) of 3 reports decided after the DC answered"
[ "$(log_count "did not pass the AD server authentication")" = 0 ] || fail "hung: a report was refused"
pass "DC hung: lookups end within the time-out (gaps: $(echo $gaps)), all 3 reports decided after"

received=$(metric orvane_reports_received_total)
logons=$(metric orvane_logons_total)
[ "$received" = 8 ] && [ "$logons" = 8 ] && [ "$(online)" = 8 ] \
  || fail "counters: received $received, logons $logons, online notifications $(online)"
pass "8 acknowledged, 8 decided, 8 online notifications: none lost"

# A worker started while the DC is down: the documented texts of initialisation and reconnection.
kill -9 "$WPID"; wait "$WPID" 2>/dev/null || true
"$SAMBA_DC" down "$DC"
start_worker "$PROG" "$LISTEN_PORT"
wait_for 10 eval 'LOG | grep -q "^\[[0-9 -]*\]\[ERR\]Connect ad fail in initialization 10\.99\.0\.1: error 0x"' \
  || fail "no initialisation failure: $(LOG)"
send_report logon || fail "report not acknowledged"
for t in "[INF]The count of reconnect is 0, it needs to reconnect AD(10.99.0.1)!" \
  "[ERR]Fail to connect ad (10.99.0.1). error 0x" "[ERR]Reconnect AD fail (10.99.0.1)!"; do
  wait_for 10 eval '[ "$(log_count "$t")" = 1 ]' || fail "not logged once: $t: $(LOG)"
done
wait_for 10 eval '[ "$(log_count "waits until a directory server answers")" -ge 1 ]' || fail "not held: $(LOG)"
pass "a worker started with the DC down logs the documented texts and holds the report"
echo "5 passed, 0 failed"
