#!/usr/bin/env bash
# The administrator's identity rules on the client-report road with a real DC and a gateway:
# an ignored service account never takes a PC's address from its user, address rules decide in
# order with an include rule shutting out what it does not name, each refusal is logged once and
# counted by reason, and a logoff is never held back.
set -euo pipefail
source "$(dirname "${BASH_SOURCE[0]}")/lib/netns.sh"
source "$(dirname "${BASH_SOURCE[0]}")/lib/common.sh"
install_program_folder

DC="$WORK/dc"
rules_cleanup() {
  "$FIX/samba/samba-dc" stop "$DC" >/dev/null 2>&1 || true
  cleanup
}
trap rules_cleanup EXIT
"$FIX/samba/samba-dc" start "$DC" --address 10.99.0.1 --template "$BUILD/samba-dc-template" >/dev/null
source "$DC/env"
"$FIX/samba/samba-dc" add-user "$DC" ann 'Ann-Pass-1' >/dev/null
"$FIX/samba/samba-dc" add-user "$DC" svc-backup 'Svc-Pass-1' >/dev/null
"$FIX/samba/samba-dc" kinit "$DC" ann 'Ann-Pass-1' >/dev/null
"$FIX/samba/samba-dc" kinit "$DC" svc-backup 'Svc-Pass-1' >/dev/null
# The PCs: addresses of this namespace's own.
for a in 10.99.5.7 10.99.6.7 10.98.0.1; do ip addr add "$a/32" dev lo; done

printf 'device-share-key\n' >"$WORK/device.key"
CLIENT_KEY='client-key-16chr'
printf '%s\n' "$CLIENT_KEY" >"$WORK/client.key"
start_gwemu gw "$WORK/device.key" --encrypt-type 1 --answer always
LISTEN_PORT=$(python3 -c 'import socket; s=socket.socket(socket.AF_INET, socket.SOCK_DGRAM); s.bind(("127.0.0.1",0)); print(s.getsockname()[1])')
C="$PROG/config.ini"
ini_set "$C" ModelType Value 0
ini_set "$C" EncryptType Value 1
ini_set "$C" EncodeType Value 1
ini_set "$C" FirewallShareKey Value "$(protect device-share-key)"
ini_set "$C" ClientShareKey Value "$(protect "$CLIENT_KEY")"
ini_set "$C" ListenPort Value "$LISTEN_PORT"
ini_set "$C" AdServerNum Value 1
ini_set "$C" AdServer0 Ip 10.99.0.1
ini_set "$C" AdServer0 UserName 'CORP\Administrator'
ini_set "$C" AdServer0 Password "$(protect "$SAMBA_DC_ADMIN_PASSWORD")"
ini_set "$C" AdServer0 FilterGroups ''
ini_set "$C" FirewallNum Value 1
ini_set "$C" Firewall0 Ip 127.0.0.1
ini_set "$C" Firewall0 Port "$EMU_PORT"
# The lists as an administrator writes them with orvanectl (the include rule first, the exclude
# rule put before it), and one bad entry written by hand, which orvanectl would refuse.
"$PROG/orvanectl" filter add accounts 'svc-*' >/dev/null
"$PROG/orvanectl" filter add addresses 'include 10.99.0.0/16' >/dev/null
"$PROG/orvanectl" filter add addresses 'exclude 10.99.5.0/24' --at 1 >/dev/null
rc=0; "$PROG/orvanectl" filter add accounts 'svc*x' 2>/dev/null || rc=$?
[ "$rc" = 3 ] || fail "orvanectl answered svc*x with exit status $rc, not 3"
ini_set "$C" IgnoredAccounts Num 2
ini_set "$C" IgnoredAccounts Account2 'svc*x'

"$PROG/Orvane" . 0 &
WPID=$!
PIDS+=("$WPID")
LOG() { log_text "$(ls "$PROG"/log/LOG_"$WPID"_*.txt | head -1)"; }
log_has() { LOG 2>/dev/null | grep -qF -- "$1"; }
wait_for 10 bash -c "ss -uln | grep -q ':$LISTEN_PORT '" || fail "worker not listening on $LISTEN_PORT"
log_has '[ERR]IgnoredAccounts Account2 "svc*x" is left out: a * is allowed only at the end of the name.' \
  || fail "the bad entry is not named: $(LOG)"
log_has '[INF]2 address rules, first match decides; an address no rule matches is NOT reported (the list holds an include rule).' \
  || fail "the rules in force are not stated: $(LOG)"

report() { send_report "$LISTEN_PORT" "$@"; }
notices() { count_lines "$WORK/gw.jsonl" "\"type\":\"$1\",\"sequence\":[0-9]*,\"address\":\"$2\",\"user\":\"$3\""; }

report 0 ann 10.99.6.7
wait_for 20 eval '[ "$(notices online 10.99.6.7 ann)" = 1 ]' || fail "ann at 10.99.6.7 not announced: $(LOG)"
# The same PC: svc-backup is ignored, ann keeps the address.
report 0 svc-backup 10.99.6.7
wait_for 10 log_has '[INF]User svc-backup at 10.99.6.7 not reported: account ignored (svc-*)' \
  || fail "the ignored account's refusal is not logged: $(LOG)"
pass "an ignored service account does not take ann's address"

report 0 ann 10.99.5.7
report 0 ann 10.99.5.7
report 0 ann 10.98.0.1
wait_for 10 log_has '[INF]User ann at 10.98.0.1 not reported: address matches no include rule' \
  || fail "the unmatched address is not logged: $(LOG)"
[ "$(LOG | grep -cF '[INF]User ann at 10.99.5.7 not reported: address excluded by rule 1 (exclude 10.99.5.0/24)')" = 1 ] \
  || fail "the excluded address is not logged exactly once: $(LOG | grep 'not reported')"
pass "address rules: the first match decides, the include rule shuts out 10.98.0.1, one line per user and address"

# Nothing else reached the gateway, and the refusals are counted by reason.
[ "$(count_lines "$WORK/gw.jsonl" '"type":"online"')" = 1 ] || fail "a refused logon reached the gateway: $(cat "$WORK/gw.jsonl")"
metric() { "$PROG/orvanectl" metrics | sed -n "s/^orvane_refused_total{worker=\"client-report\",reason=\"$1\"} //p"; }
[ "$(metric address_excluded)" = 3 ] || fail "address_excluded is $(metric address_excluded), expected 3"
[ "$(metric ignored_account)" = 1 ] || fail "ignored_account is $(metric ignored_account), expected 1"
pass "refusals counted: address_excluded 3, ignored_account 1"

# A logoff passes the rules: ann goes offline at 10.99.6.7.
report 1 ann 10.99.6.7
wait_for 20 eval '[ "$(notices offline 10.99.6.7 ann)" = 1 ]' || fail "ann's logoff did not reach the gateway: $(LOG)"
pass "the logoff reaches the gateway"
