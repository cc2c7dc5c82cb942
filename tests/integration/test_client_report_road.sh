#!/usr/bin/env bash
# The whole client-report road with the installed worker, a real domain controller and a gateway
# emulator: report -> acknowledgement -> directory -> online-user table -> gateway -> confirmation,
# and logoff -> offline notification -> removal. Also the refusals that must send nothing, and the
# real logon reporter driving the same road.
set -euo pipefail
source "$(dirname "${BASH_SOURCE[0]}")/lib/netns.sh"
source "$(dirname "${BASH_SOURCE[0]}")/lib/common.sh"
install_program_folder

DC="$WORK/dc"
road_cleanup() {
  pkill -x Pemrose 2>/dev/null || true
  "$FIX/samba/samba-dc" stop "$DC" >/dev/null 2>&1 || true
  [ -n "${SD:-}" ] && "$SDNS" cleanup "$SD" >/dev/null 2>&1 || true
  cleanup
}
trap road_cleanup EXIT
"$FIX/samba/samba-dc" start "$DC" --address 10.99.0.1 --template "$BUILD/samba-dc-template" >/dev/null
source "$DC/env"
"$FIX/samba/samba-dc" add-ou "$DC" OU=Sales >/dev/null
"$FIX/samba/samba-dc" add-user "$DC" ann 'Ann-Pass-1' OU=Sales >/dev/null
"$FIX/samba/samba-dc" add-user "$DC" carl 'Carl-Pass-1' >/dev/null
"$FIX/samba/samba-dc" kinit "$DC" ann 'Ann-Pass-1' >/dev/null

DEVICE_KEY='device-share-key'
CLIENT_KEY='client-key-16chr'
printf '%s\n' "$DEVICE_KEY" >"$WORK/device.key"
printf '%s\n' "$CLIENT_KEY" >"$WORK/client.key"
printf '%s\n' 'not-the-right-key' >"$WORK/wrong.key"
start_gwemu gw "$WORK/device.key" --encrypt-type 1 --answer always
GW_PORT=$EMU_PORT
LISTEN_PORT=$(python3 -c 'import socket; s=socket.socket(socket.AF_INET, socket.SOCK_DGRAM); s.bind(("127.0.0.1",0)); print(s.getsockname()[1])')

C="$PROG/config.ini"
ini_set "$C" ModelType Value 0
ini_set "$C" EncryptType Value 1
ini_set "$C" EncodeType Value 1
ini_set "$C" FirewallShareKey Value "$(protect "$DEVICE_KEY")"
ini_set "$C" ClientShareKey Value "$(protect "$CLIENT_KEY")"
ini_set "$C" ListenPort Value "$LISTEN_PORT"
ini_set "$C" AntiReplayTime Value 1800
ini_set "$C" RetranTimes Value 3
ini_set "$C" MessageTimeout Value 5
ini_set "$C" AdServerNum Value 1
ini_set "$C" AdServer0 Ip 10.99.0.1
ini_set "$C" AdServer0 UserName 'CORP\Administrator'
ini_set "$C" AdServer0 Password "$(protect "$SAMBA_DC_ADMIN_PASSWORD")"
ini_set "$C" AdServer0 FilterGroups ''
ini_set "$C" FirewallNum Value 1
ini_set "$C" Firewall0 Ip 127.0.0.1
ini_set "$C" Firewall0 Port "$GW_PORT"

# ORVANE_ROAD_VIA_SERVICE=1: the worker is started by the service OrvaneSRV under a real systemd
# that shares this test's network namespace; otherwise by hand.
if [ "${ORVANE_ROAD_VIA_SERVICE:-}" = 1 ]; then
  source "$(dirname "${BASH_SOURCE[0]}")/lib/systemd.sh"
  require_systemd_fixture
  boot_systemd --same-net
  trap road_cleanup EXIT
  start_service
  main=$(unit_prop MainPID)
  wait_for 10 bash -c "[ -n \"\$($SDNS run $SD pgrep -P $main -x Orvane)\" ]" || fail "the service started no worker"
  WPID=$(inside pgrep -P "$main" -x Orvane)
  [ "$(cmdline_of "$WPID")" = "$IPROG/Orvane . 0" ] || fail "worker command line: $(cmdline_of "$WPID")"
  worker_alive() { inside kill -0 "$WPID"; }
else
  "$PROG/Orvane" . 0 &
  WPID=$!; PIDS+=("$WPID")
  worker_alive() { kill -0 "$WPID"; }
fi
LOG() { log_text "$(ls "$PROG"/log/LOG_"$WPID"_*.txt | head -1)"; }
log_has() { LOG 2>/dev/null | grep -qF -- "$1"; }
log_count() { LOG 2>/dev/null | grep -cF -- "$1" || true; }

send() {  # send KIND USER KEYFILE: one report, acknowledged
  "$PROG/orvane-reportsend" --to "127.0.0.1:$LISTEN_PORT" --kind "$1" --user "$2" \
    --domain dc=corp,dc=example,dc=com --computer PC01 --key-file "$3" --wait-ack 5 >/dev/null \
    || fail "$1 report for $2 not acknowledged"
}
wait_for 10 bash -c "ss -uln | grep -q ':$LISTEN_PORT '" || fail "worker not listening on $LISTEN_PORT"

# Logon: online notification with the user's address, name and AD path, confirmed.
out=$("$PROG/orvane-reportsend" --to "127.0.0.1:$LISTEN_PORT" --kind logon --user ann \
  --domain dc=corp,dc=example,dc=com --computer PC01 --key-file "$WORK/client.key" --wait-ack 5) \
  || fail "logon report not acknowledged: $out"
[[ $out == *"(84 bytes)"* ]] || fail "the logon report of ann/dc=corp,dc=example,dc=com/PC01 is not 84 bytes: $out"
wait_for 20 at_least 1 "$WORK/gw.jsonl" '"type":"online"' || fail "no online notification; log: $(LOG)"
expect_online "$WORK/gw.jsonl" ann 127.0.0.1 OU=Sales,DC=corp,DC=example,DC=com
wait_for 10 log_has "[INF]The gateway (0x7F000001) confirms that the user is online successfully." \
  || fail "no confirmation logged"
log_has "[INF]*************User (ann) logon." || fail "no logon line"
pass "logon reaches the gateway and is confirmed"

# Logoff: offline notification; once confirmed the record is gone, so a new logon is a fresh one.
send logoff ann "$WORK/client.key"
wait_for 20 at_least 1 "$WORK/gw.jsonl" '"type":"offline"' || fail "no offline notification"
wait_for 10 log_has "confirms that the user is offline successfully." || fail "no offline confirmation"
wait_for 10 log_has "[INF]User (ann) from 127.0.0.1 is offline on every gateway; record removed." \
  || fail "the confirmed offline record was not removed"
send logon ann "$WORK/client.key"
wait_for 20 at_least 2 "$WORK/gw.jsonl" '"type":"online"' || fail "no second online notification"
[ "$(log_count '[INF]*************User (ann) logon.')" = 2 ] \
  || fail "the confirmed offline record was not removed: $(LOG | grep 'User (ann)')"
log_has "has no offline process" && fail "logon after a confirmed logoff found the old record"
pass "logoff reaches the gateway; the confirmed record is removed"

# Refusals: no notification reaches the gateway (heartbeats go on meanwhile).
before=$(count_lines "$WORK/gw.jsonl" '"type":"o[nf]*line"')
send logon ann "$WORK/wrong.key"
wait_for 10 log_has "[ERR]Received unknown message from client script." || fail "wrong key not logged"
send logon carl "$WORK/client.key"   # never logged on: outside the anti-replay window
wait_for 10 log_has "[ERR]Fake logon detected, because logon time too far!" || fail "anti-replay not logged"
send logon 'PC01$' "$WORK/client.key"   # a computer account: dropped silently
send logon nobody "$WORK/client.key"
wait_for 10 log_has "[ERR]The user (nobody) did not pass the AD server authentication and logon failed." \
  || fail "unknown user not logged"
[ "$(count_lines "$WORK/gw.jsonl" '"type":"o[nf]*line"')" = "$before" ] || fail "a refused report reached the gateway"
log_has 'PC01$' && fail "a computer account was processed"
pass "wrong key, replayed logon, computer account and unknown user send nothing"
# The real reporter: the logon run's watch copy reports from the PC's address, the logoff run
# stops it and reports the logoff. The PC gets a network card of its own in this namespace, and
# the reporter runs as this account renamed "ann" in a passwd file only it sees.
ip link add pc0 type veth peer name pc1 && ip link set pc1 up && ip link set pc0 up
ip addr add 10.99.1.2/24 dev pc0
awk -F: -v uid="$(id -u)" 'BEGIN{OFS=":"} $3==uid {$1="ann"} {print}' /etc/passwd >"$WORK/passwd"
quenby() {
  HOME="$WORK/home" unshare --mount bash -c 'mount --bind "$1" /etc/passwd && shift && exec "$@"' _ \
    "$WORK/passwd" "$PROG/Quenby" 10.99.1.2 "$LISTEN_PORT" "$1" 3 "$CLIENT_KEY"
}
mkdir -p "$WORK/home"
online_before=$(count_lines "$WORK/gw.jsonl" '"address":"10.99.1.2"')
quenby 0 || fail "Quenby logon run failed"
pgrep -x Pemrose >/dev/null || fail "no watch copy runs after the logon run"
wait_for 20 at_least $((online_before + 1)) "$WORK/gw.jsonl" '"type":"online","sequence":[0-9]*,"address":"10.99.1.2","user":"ann"' \
  || fail "the watch copy's logon report did not reach the gateway"
quenby 1 || fail "Quenby logoff run failed"
pgrep -x Pemrose >/dev/null && fail "the watch copy still runs after the logoff run"
wait_for 20 at_least 1 "$WORK/gw.jsonl" '"type":"offline","sequence":[0-9]*,"address":"10.99.1.2","user":"ann"' \
  || fail "the logoff report did not reach the gateway"
pass "Quenby's logon and logoff runs reach the gateway through the worker"

worker_alive || fail "worker died"
echo "4 passed, 0 failed"
