#!/usr/bin/env bash
# Member groups against a real DC with nested groups (ann in Sales-VPN, itself in VPN-Users;
# carl in VPN-Users; bob in neither), in both modes. Client reports with two gateways, the
# second with a group list of its own (Sales-VPN, given by DN): ann reaches both, carl only the
# first, bob neither, and a logoff goes where the logon went. Log-query mode (kinit from a PC in
# a namespace of its own, the Samba audit source): groups, an ignored account and address rules
# decide the same way.
set -euo pipefail
source "$(dirname "${BASH_SOURCE[0]}")/lib/netns.sh"
source "$(dirname "${BASH_SOURCE[0]}")/lib/common.sh"
install_program_folder

DC="$WORK/dc"
DC_ADDR=10.99.2.1
CLIENT_ADDR=10.99.2.7
trap '"$FIX/samba/samba-dc" stop "$DC" >/dev/null 2>&1 || true; cleanup' EXIT

# The log-query PC: a namespace of its own joined by a veth pair.
client_namespace "$DC_ADDR" "$CLIENT_ADDR"
# The client-report PCs: addresses of this namespace's own.
for a in 10.99.6.7 10.99.6.8 10.99.6.9; do ip addr add "$a/32" dev lo; done

SD="$FIX/samba/samba-dc"
"$SD" start "$DC" --address "$DC_ADDR" --template "$BUILD/samba-dc-template" >/dev/null
source "$DC/env"
for u in ann bob carl svc-backup; do "$SD" add-user "$DC" "$u" "${u^}-Pass-1" >/dev/null; done
"$SD" add-group "$DC" VPN-Users
"$SD" add-group "$DC" Sales-VPN
"$SD" add-member "$DC" VPN-Users Sales-VPN
"$SD" add-member "$DC" Sales-VPN ann
"$SD" add-member "$DC" VPN-Users carl
for u in ann bob carl; do "$SD" kinit "$DC" "$u" "${u^}-Pass-1" >/dev/null; done
SALES_DN="CN=Sales-VPN,CN=Users,$SAMBA_DC_BASE_DN"

# --- Client reports -------------------------------------------------------------------------
printf 'device-share-key\n' >"$WORK/device.key"
CLIENT_KEY='client-key-16chr'
printf '%s\n' "$CLIENT_KEY" >"$WORK/client.key"
start_gwemu gwa "$WORK/device.key" --encrypt-type 1 --answer always
PORT_A=$EMU_PORT
start_gwemu gwb "$WORK/device.key" --encrypt-type 1 --answer always
PORT_B=$EMU_PORT
LISTEN_PORT=$(python3 -c 'import socket; s=socket.socket(socket.AF_INET, socket.SOCK_DGRAM); s.bind(("127.0.0.1",0)); print(s.getsockname()[1])')
C="$PROG/config.ini"
ini_set "$C" ModelType Value 0  EncryptType Value 1  EncodeType Value 1 \
  FirewallShareKey Value "$(protect device-share-key)"  ClientShareKey Value "$(protect "$CLIENT_KEY")" \
  ListenPort Value "$LISTEN_PORT"  AdServerNum Value 1  AdServer0 Ip "$DC_ADDR" \
  AdServer0 UserName 'CORP\Administrator'  AdServer0 Password "$(protect "$SAMBA_DC_ADMIN_PASSWORD")" \
  AdServer0 FilterGroups ''  FirewallNum Value 2  Firewall0 Ip 127.0.0.1  Firewall0 Port "$PORT_A" \
  Firewall1 Ip 127.0.0.1  Firewall1 Port "$PORT_B"  Firewall1 GroupNum 1  Firewall1 Group1 "$SALES_DN" \
  MemberGroups Num 2  MemberGroups Group1 VPN-Users  MemberGroups Group2 No-Such-Group

"$PROG/Orvane" . 0 &
WPID=$!; PIDS+=("$WPID")
LOG() { log_text "$(ls "$PROG"/log/LOG_"$WPID"_*.txt | head -1)"; }
log_has() { LOG 2>/dev/null | grep -qF -- "$1"; }
wait_for 10 bash -c "ss -uln | grep -q ':$LISTEN_PORT '" || fail "worker not listening on $LISTEN_PORT"
log_has '[INF]Only members of these groups (nested membership included) are reported: VPN-Users, No-Such-Group' \
  || fail "the groups in force are not stated: $(LOG)"
log_has "[INF]Gateway 127.0.0.1 hears only about members of: $SALES_DN" || fail "the gateway's groups: $(LOG)"

report() { send_report "$LISTEN_PORT" "$@"; }
# notices GATEWAY TYPE USER: notifications of that type for USER the gateway received.
notices() { count_lines "$WORK/$1.jsonl" "\"type\":\"$2\",\"sequence\":[0-9]*,\"address\":\"[0-9.]*\",\"user\":\"$3\""; }

report 0 bob 10.99.6.8
report 0 ann 10.99.6.7
report 0 carl 10.99.6.9
wait_for 20 eval '[ "$(notices gwa online carl)" = 1 ]' || fail "carl not announced at the first gateway: $(LOG)"
wait_for 10 eval '[ "$(notices gwb online ann)" = 1 ]' || fail "ann not announced at the second gateway: $(LOG)"
[ "$(notices gwa online ann)" = 1 ] || fail "ann not announced at the first gateway: $(cat "$WORK/gwa.jsonl")"
log_has '[ERR]Member group "No-Such-Group" does not exist at 10.99.2.1; it is left out.' \
  || fail "the missing group is not named: $(LOG)"
log_has '[INF]User bob at 10.99.6.8 not reported: not a member of VPN-Users, No-Such-Group' \
  || fail "bob's refusal is not logged: $(LOG)"
# Decisions are made in arrival order: carl's came last, so bob's and ann's are all there is.
[ "$(count_lines "$WORK/gwa.jsonl" '"user":"bob"')" = 0 ] || fail "bob reached a gateway"
[ "$(count_lines "$WORK/gwb.jsonl" '"type":"online"')" = 1 ] || fail "the second gateway heard of a non-member: $(cat "$WORK/gwb.jsonl")"
pass "nested groups: ann reaches both gateways, carl only the one without groups, bob none"

report 1 carl 10.99.6.9
report 1 ann 10.99.6.7
wait_for 20 eval '[ "$(notices gwb offline ann)" = 1 ]' || fail "ann's logoff did not reach the second gateway: $(LOG)"
wait_for 10 eval '[ "$(notices gwa offline carl)" = 1 ] && [ "$(notices gwa offline ann)" = 1 ]' \
  || fail "the logoffs did not reach the first gateway: $(LOG)"
[ "$(notices gwb offline carl)" = 0 ] || fail "carl's logoff reached the gateway that never heard of him"
metric() { "$PROG/orvanectl" metrics | sed -n "s/^orvane_refused_total{worker=\"$1\",reason=\"$2\"} //p"; }
[ "$(metric client-report not_in_groups)" = 1 ] || fail "not_in_groups is $(metric client-report not_in_groups), expected 1"
pass "logoffs go where the logons went; not_in_groups counted once"
kill "$WPID"; wait "$WPID" 2>/dev/null || true

# --- Log-query mode -------------------------------------------------------------------------
log_query_config "$DC_ADDR"
ini_set "$C" MemberGroups Num 1  MemberGroups Group1 VPN-Users  IgnoredAccounts Num 1 \
  IgnoredAccounts Account1 'svc-*'  FirewallNum Value 1
ORVANE_SMB_CONF="$DC/dc/etc/smb.conf" "$PROG/Orvane" "$DC_ADDR" 0 &
WPID=$!; PIDS+=("$WPID")
LOGQ() { local f; f=$(ls "$PROG"/log/LOG*_"$WPID"_*.txt 2>/dev/null | head -1); [ -n "$f" ] && log_text "$f"; }
logq_has() { LOGQ 2>/dev/null | grep -qF -- "$1"; }
wait_for 20 logq_has "[INF]Start query ADServer:$DC_ADDR." || fail "polling did not start: $(LOGQ)"
wait_for 20 bash -c "ls -l /proc/$WPID/fd | grep -qF '$DC/log/auth.json'" || fail "the audit log was never opened: $(LOGQ)"
client_kinit bob 'Bob-Pass-1' || fail "kinit bob failed"
client_kinit svc-backup 'Svc-backup-Pass-1' || fail "kinit svc-backup failed"
client_kinit ann 'Ann-Pass-1' || fail "kinit ann failed"
wait_for 20 at_least 1 "$WORK/gw.jsonl" '"type":"online"' || fail "ann not reported; log: $(LOGQ)"
expect_online "$WORK/gw.jsonl" ann "$CLIENT_ADDR" "DC=corp,DC=example,DC=com"
wait_for 10 logq_has "[INF]User bob at $CLIENT_ADDR not reported: not a member of VPN-Users" \
  || fail "bob's refusal is not logged: $(LOGQ)"
logq_has "[INF]User svc-backup at $CLIENT_ADDR not reported: account ignored (svc-*)" \
  || fail "the ignored account is not logged: $(LOGQ)"
[ "$(count_lines "$WORK/gw.jsonl" '"type":"online"')" = 1 ] || fail "a refused logon was reported: $(cat "$WORK/gw.jsonl")"
pass "log-query mode: ann reported with her AD path, bob not a member, svc-backup ignored"
kill "$WPID"; wait "$WPID" 2>/dev/null || true

ini_set "$C" AddressRules Num 1  AddressRules Rule1 'exclude 10.99.2.0/24'
ORVANE_SMB_CONF="$DC/dc/etc/smb.conf" "$PROG/Orvane" "$DC_ADDR" 0 &
WPID=$!; PIDS+=("$WPID")
wait_for 20 bash -c "ls -l /proc/$WPID/fd | grep -qF '$DC/log/auth.json'" || fail "the audit log was never opened: $(LOGQ)"
client_kinit ann 'Ann-Pass-1' || fail "kinit ann failed"
wait_for 20 logq_has "[INF]User ann at $CLIENT_ADDR not reported: address excluded by rule 1 (exclude 10.99.2.0/24)" \
  || fail "the excluded address is not logged: $(LOGQ)"
[ "$(count_lines "$WORK/gw.jsonl" '"type":"online"')" = 1 ] || fail "an excluded address was reported"
pass "log-query mode: an excluded address is not reported"
