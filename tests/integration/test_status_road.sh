#!/usr/bin/env bash
# What the worker knows, read back through orvanectl: after ann's logon `orvanectl users` lists
# her at her address with the answering gateway A confirmed and the silent gateway B pending;
# after her logoff and B's repetitions she is gone. The counters of `orvanectl status` and
# `orvanectl metrics` match what the gateway emulators and the load generator counted, the
# metrics pass a strict reader of the Prometheus text format. A hung worker is reported as not
# answering; the socket a killed worker leaves is skipped at once (no worker runs: exit status 6).
set -euo pipefail
source "$(dirname "${BASH_SOURCE[0]}")/lib/netns.sh"
source "$(dirname "${BASH_SOURCE[0]}")/lib/common.sh"
install_program_folder

DC="$WORK/dc"
status_cleanup() {
  "$FIX/samba/samba-dc" stop "$DC" >/dev/null 2>&1 || true
  cleanup
}
trap status_cleanup EXIT
"$FIX/samba/samba-dc" start "$DC" --address 10.99.0.1 --template "$BUILD/samba-dc-template" >/dev/null
source "$DC/env"
"$FIX/samba/samba-dc" add-ou "$DC" OU=Sales >/dev/null
"$FIX/samba/samba-dc" add-user "$DC" ann 'Ann-Pass-1' OU=Sales >/dev/null
"$FIX/samba/samba-dc" kinit "$DC" ann 'Ann-Pass-1' >/dev/null

printf '%s\n' device-share-key >"$WORK/device.key"
printf '%s\n' client-key-16chr >"$WORK/client.key"
printf '%s\n' not-the-right-key >"$WORK/wrong.key"
start_gwemu gwa "$WORK/device.key" --encrypt-type 1 --answer always
PORT_A=$EMU_PORT
# B on an address of its own, so its heartbeats and (absent) answers are told apart from A's.
GWEMU_ADDRESS=127.0.0.2 start_gwemu gwb "$WORK/device.key" --encrypt-type 1 --answer never
PORT_B=$EMU_PORT
LISTEN_PORT=$(python3 -c 'import socket; s=socket.socket(socket.AF_INET, socket.SOCK_DGRAM); s.bind(("127.0.0.1",0)); print(s.getsockname()[1])')

ini_set "$PROG/config.ini" ModelType Value 0 EncryptType Value 1 EncodeType Value 1 \
  FirewallShareKey Value "$(protect device-share-key)" ClientShareKey Value "$(protect client-key-16chr)" \
  ListenPort Value "$LISTEN_PORT" AntiReplayTime Value 1800 RetranTimes Value 2 MessageTimeout Value 2 \
  AdServerNum Value 1 AdServer0 Ip 10.99.0.1 AdServer0 UserName 'CORP\Administrator' \
  AdServer0 Password "$(protect "$SAMBA_DC_ADMIN_PASSWORD")" AdServer0 FilterGroups '' \
  FirewallNum Value 2 Firewall0 Ip 127.0.0.1 Firewall0 Port "$PORT_A" Firewall1 Ip 127.0.0.2 Firewall1 Port "$PORT_B"

CTL="$PROG/orvanectl"
# Before any worker ran from this folder.
set +e; out=$("$CTL" users 2>&1); rc=$?; set -e
[ "$rc" = 6 ] && [[ $out == *"no worker has run from $PROG"* ]] || fail "users without a worker: rc=$rc $out"

"$PROG/Orvane" . 0 &
WPID=$!; PIDS+=("$WPID")
wait_for 10 bash -c "ss -uln | grep -q ':$LISTEN_PORT '" || fail "worker not listening on $LISTEN_PORT"
wait_for 10 "$CTL" status >/dev/null || fail "no status: $("$CTL" status 2>&1)"
[ "$(stat -c %a "$PROG/run")" = 750 ] && [ "$(stat -c %a "$PROG/run/Orvane-client-report.sock")" = 660 ] \
  || fail "status socket not root-only: $(ls -la "$PROG/run")"

send() {  # send KIND KEYFILE [ADDRESS]: one report for ann, acknowledged
  "$PROG/orvane-reportsend" --to "127.0.0.1:$LISTEN_PORT" --kind "$1" --user ann \
    --domain dc=corp,dc=example,dc=com --computer PC01 --key-file "$2" --wait-ack 5 >/dev/null \
    || fail "$1 report not acknowledged"
}
# ann_is STATE_A STATE_B: `orvanectl users --json` lists ann at 127.0.0.1 with these gateway states.
ann_is() {
  "$CTL" users --json | python3 -c '
import json, sys
users = [u for u in json.load(sys.stdin) if u["user"] == "ann"]
sys.exit(0 if len(users) == 1 and users[0]["address"] == "127.0.0.1" and users[0]["state"] == "online"
         and users[0]["ad_path"] == "OU=Sales,DC=corp,DC=example,DC=com"
         and [g["state"] for g in users[0]["gateways"]] == sys.argv[1:] else 1)' "$@"
}

send logon "$WORK/client.key"
wait_for 10 ann_is confirmed pending || fail "ann not listed with A confirmed and B pending: $("$CTL" users --json)"
table=$("$CTL" users)
grep -q "^ann .*127\.0\.0\.1 .*online.*127\.0\.0\.1:$PORT_A confirmed, 127\.0\.0\.2:$PORT_B pending" <<<"$table" \
  || fail "users table: $table"
[ "$("$CTL" users --filter 10.1.1.1 | wc -l)" = 1 ] || fail "a filter matching nobody still lists users"
# B is repeated RetranTimes (2) times, MessageTimeout (2 s) apart, then given up.
wait_for 15 ann_is confirmed "given up" || fail "B not given up: $("$CTL" users --json)"
pass "after the logon ann is listed at her address, A confirmed and B pending, later given up"

send logoff "$WORK/client.key"
wait_for 15 bash -c "[ \"\$('$CTL' users --json)\" = '[]' ]" || fail "ann still listed: $("$CTL" users --json)"
pass "after the logoff and B's repetitions ann is gone"

counter() { "$CTL" metrics | sed -n "s/^$1{worker=\"client-report\"$2} //p"; }
emu() { grep -c -- "$2" "$WORK/$1.jsonl" || true; }
check() {  # check NAME LABELS EXPECTED
  local got; got=$(counter "$1" "$2")
  [ "$got" = "$3" ] || fail "$1$2 is ${got:-missing}, expected $3; status: $("$CTL" status)"
}
# One logon and one logoff: A got and answered one of each, B three of each.
[ "$(emu gwa '"type":"o[nf]*line"')" = 2 ] && [ "$(emu gwb '"type":"o[nf]*line"')" = 6 ] \
  || fail "emulators: A $(emu gwa '"type":"o[nf]*line"'), B $(emu gwb '"type":"o[nf]*line"')"
check orvane_reports_received_total "" 2
check orvane_logons_total "" 1
check orvane_logoffs_total "" 1
check orvane_notifications_sent_total "" 8
check orvane_confirmations_total "" "$(emu gwa '"answered":true')"
check orvane_given_up_total "" 2
check orvane_directory_lookups_total "" 2

# A refusal of each kind the road can see here, then the load generator's logons.
send logon "$WORK/wrong.key"
send logoff "$WORK/client.key"  # ann is not online any more
load=$("$BUILD/bin/orvane_road_load" "$LISTEN_PORT" "$WORK/client.key" ann dc=corp,dc=example,dc=com 40 200 4)
acked=$(sed -n 's/.*acked=\([0-9]*\).*/\1/p' <<<"$load")
[ "$acked" = 40 ] || fail "load generator: $load"
wait_for 30 bash -c "[ \"\$(\"$CTL\" metrics | sed -n 's/^orvane_logons_total{worker=\"client-report\"} //p')\" = 41 ]" \
  || fail "logons: $("$CTL" status)"
# Quiet: every notification to B repeated until given up.
wait_for 15 bash -c "\"$CTL\" users --json | grep -q '\"given up\"'" || fail "B still pending: $("$CTL" users)"
reports=$((2 + 2 + acked))
check orvane_reports_received_total "" "$reports"
check orvane_reports_acknowledged_total "" "$reports"
check orvane_refused_total ',reason="undecryptable"' 1
check orvane_refused_total ',reason="not_online"' 1
check orvane_refused_total ',reason="replay"' 0
check orvane_notifications_sent_total "" $(( $(emu gwa '"type":"o[nf]*line"') + $(emu gwb '"type":"o[nf]*line"') ))
confirmed=$(counter orvane_confirmations_total "")
# Answers to notifications a newer logon superseded confirm nothing, so at most every answer counts.
[ "$confirmed" -ge 3 ] && [ "$confirmed" -le "$(emu gwa '"answered":true')" ] || fail "confirmations $confirmed"
check orvane_directory_connected ',server="10.99.0.1"' 1
wait_for 10 bash -c "\"$CTL\" status | grep -q 'gateway 127.0.0.1:$PORT_A: last heartbeat [0-9]*s ago, last response [0-9]*s ago'" \
  || fail "status: $("$CTL" status)"
"$CTL" status | grep -q "reports: $reports received, $reports acknowledged, 2 refused" || fail "status: $("$CTL" status)"
pass "counters match the emulators and the load generator"

"$CTL" metrics >"$WORK/metrics.prom"
"$BUILD/bin/orvane_prom_check" <"$WORK/metrics.prom" >/dev/null || fail "metrics are not valid exposition text"
if command -v promtool >/dev/null; then
  promtool check metrics <"$WORK/metrics.prom" || fail "promtool refuses the metrics"
fi
# Relative paths name the caller's files, although orvanectl leaves the caller's folder.
(cd "$WORK" && "$CTL" --folder prog metrics --output orvane.prom) || fail "metrics --output failed"
"$BUILD/bin/orvane_prom_check" <"$WORK/orvane.prom" >/dev/null && [ ! -e "$WORK/orvane.prom.tmp" ] \
  || fail "metrics --output wrote no valid file"
pass "metrics pass a strict reader of the Prometheus text format"

# A hung worker (stopped by a signal) is reported as not answering, once its deadline is up.
# The answering worker is the one started here, so stopping it silences the socket.
"$CTL" status | grep -q "^worker client-report: running (client-report mode), pid $WPID, " \
  || fail "status names another worker than $WPID: $("$CTL" status)"
stop_process "$WPID"
start=$SECONDS
set +e; out=$("$CTL" status --timeout 1 2>&1); rc=$?; set -e
[ "$rc" = 6 ] && [[ $out == *"worker client-report: not answering"* ]] || fail "hung worker: rc=$rc $out"
[ $((SECONDS - start)) -le 3 ] || fail "a hung worker took $((SECONDS - start)) s to report"
kill -CONT "$WPID"
wait_for 10 "$CTL" status >/dev/null || fail "worker not answering again: $("$CTL" status 2>&1)"
pass "a hung worker is reported as not answering after the deadline"

# A killed worker leaves its socket; nobody listens there, so it is no worker, and not waited for.
kill -9 "$WPID"; wait "$WPID" 2>/dev/null || true
[ -S "$PROG/run/Orvane-client-report.sock" ] || fail "the killed worker's socket is gone already"
start=$SECONDS
set +e; out=$("$CTL" status 2>&1); rc=$?; set -e
[ "$rc" = 6 ] && [[ $out == *"no worker is running from $PROG (1 socket of stopped workers in $PROG/run)"* ]] \
  && [[ $out != *"not answering"* ]] && [[ $out != *"worker client-report"* ]] || fail "stopped worker: rc=$rc $out"
set +e; out=$("$CTL" metrics 2>/dev/null); rc=$?; set -e
[ "$rc" = 6 ] && [ -z "$out" ] || fail "metrics of a stopped worker: $out"
set +e; out=$("$CTL" users 2>&1 >/dev/null); rc=$?; set -e
[ "$rc" = 6 ] && [[ $out == *"no worker is running"* ]] || fail "users of a stopped worker: rc=$rc $out"
[ $((SECONDS - start)) -le 2 ] || fail "a stopped worker took $((SECONDS - start)) s to report"
# Not for everyone: another account is refused, with a message saying so.
chmod 755 "$WORK" "$PROG"
set +e; out=$(runuser -u nobody -- "$CTL" status 2>&1); rc=$?; set -e
[ "$rc" = 6 ] && [[ $out == *"Permission denied (the workers' status is for root)"* ]] || fail "as nobody: rc=$rc $out"
pass "a killed worker's socket is skipped at once with exit status 6, and nobody else may read the status"
echo "6 passed, 0 failed"
