#!/usr/bin/env bash
# 10,000 acknowledged logon reports while every gateway is silent: the worker's memory stays
# bounded (RSS from /proc; the online-user table holds one record throughout), every
# notification is repeated RetranTimes times and given up, and after the logoff the record is
# removed once its repetitions are done (orvanectl users, the counters and the log agree).
set -euo pipefail
source "$(dirname "${BASH_SOURCE[0]}")/lib/netns.sh"
source "$(dirname "${BASH_SOURCE[0]}")/lib/common.sh"
source "$(dirname "${BASH_SOURCE[0]}")/lib/fault.sh"
install_program_folder
# RetranTimes 2, MessageTimeout 1: a notification is sent 3 times, then given up.
fault_road never 2 1
CTL="$PROG/orvanectl"
wait_for 10 "$CTL" status >/dev/null || fail "no status"
N=10000
WARM=500
logons_are() { metric_is orvane_logons_total "$1"; }
table_size() { "$CTL" users --json | python3 -c 'import json,sys; print(len(json.load(sys.stdin)))'; }

# Warm up: the first reports settle the worker's buffers and the directory connection.
load=$("$BUILD/bin/orvane_road_load" "$LISTEN_PORT" "$WORK/client.key" ann dc=corp,dc=example,dc=com $WARM 400 8)
WARM=$(sed -n 's/.*acked=\([0-9]*\).*/\1/p' <<<"$load")
[ "${WARM:-0}" -ge 400 ] || fail "warm-up: $load"
wait_for 60 logons_are $WARM || fail "warm-up not decided: $("$CTL" status)"
rss0=$(rss_kib "$WPID")

# The load generator does not repeat what the worker never acknowledged (a datagram the kernel
# dropped while the shared cores were busy elsewhere), as a reporter would: it is run again for
# the missing ones until N are acknowledged.
load_until_acknowledged() {
  local total=0 got
  while [ $total -lt $N ]; do
    got=$("$BUILD/bin/orvane_road_load" "$LISTEN_PORT" "$WORK/client.key" ann dc=corp,dc=example,dc=com \
      $((N - total)) 400 8 | sed -n 's/.*acked=\([0-9]*\).*/\1/p')
    total=$((total + ${got:-0}))
    echo "$total" >"$WORK/acked"
  done
}
t0=$SECONDS
peak=$rss0
echo 0 >"$WORK/acked"
load_until_acknowledged &
loader=$!
PIDS+=("$loader")
until ! kill -0 "$loader" 2>/dev/null && logons_are $((WARM + $(cat "$WORK/acked"))); do
  r=$(rss_kib "$WPID"); [ "$r" -gt "$peak" ] && peak=$r
  [ "$(table_size)" -le 1 ] || fail "the table holds $(table_size) records for one user"
  [ $((SECONDS - t0)) -lt 90 ] || fail "not decided in 90 s ($(cat "$WORK/acked") acknowledged): $("$CTL" status)"
  sleep 0.5
done
wait "$loader" || fail "load generator failed"
rss1=$(rss_kib "$WPID")
acked=$(metric orvane_reports_acknowledged_total)
[ "$acked" = $((WARM + N)) ] || fail "acknowledged $acked of $((WARM + N))"
echo "$N reports decided in $((SECONDS - t0)) s; RSS ${rss0} KiB before, peak ${peak} KiB, ${rss1} KiB after"
[ $((peak - rss0)) -le 8192 ] || fail "RSS grew by $((peak - rss0)) KiB over $N reports"
pass "$N acknowledged logons with a silent gateway: RSS grew by $((peak - rss0)) KiB (bound 8 MiB), one record"

# Quiet: the last notification is repeated and given up; the record stays (online).
wait_for 15 bash -c "'$CTL' users --json | grep -q '\"given up\"'" || fail "not given up: $("$CTL" users)"
[ "$(table_size)" = 1 ] || fail "table: $("$CTL" users)"
send_report logoff || fail "logoff not acknowledged"
wait_for 15 bash -c "[ \"\$('$CTL' users --json)\" = '[]' ]" || fail "record not removed: $("$CTL" users --json)"
sent=$(metric orvane_notifications_sent_total)
at_gw=$(count_lines "$WORK/gw.jsonl" '"type":"o[nf]*line"')
offline=$(count_lines "$WORK/gw.jsonl" '"type":"offline"')
[ "$sent" = "$at_gw" ] || fail "sent $sent notifications, the gateway got $at_gw"
[ "$offline" = 3 ] || fail "the offline notification reached the gateway $offline times, not 1 + RetranTimes"
[ "$at_gw" -ge $((WARM + N + 1)) ] || fail "only $at_gw notifications for $((WARM + N)) logons"
[ "$(worker_log_count "$PROG" "$WPID" "[INF]User (ann) from 127.0.0.1 is offline on every gateway; record removed.")" = 1 ] \
  || fail "the removal is not logged once"
pass "the logoff's record is removed after 1 + 2 repetitions; $at_gw notifications sent and received"

# The table and the worker's memory after the removal.
rss2=$(rss_kib "$WPID")
[ $((rss2 - rss0)) -le 8192 ] || fail "RSS after the removal is $rss2 KiB ($rss0 KiB before the load)"
kill -0 "$WPID" || fail "the worker died"
echo "RSS after the removal: $rss2 KiB"
echo "3 passed, 0 failed"
