#!/usr/bin/env bash
# An attacker without the client key holds one recorded report of ann, logged on at 10.0.0.30,
# and tries to make the gateways believe something else: (a) the recording replayed from another
# address, (b) its IV edited into ann's logoff and into the logon of ceo (also logged on lately),
# (c) every single-bit variant of it, (d) an old logoff of ann replayed after her next logon.
# Nothing of it reaches either gateway and each is counted; the PC's own repetitions of the
# original are acknowledged and its logon is notified once.
set -euo pipefail
source "$(dirname "${BASH_SOURCE[0]}")/lib/netns.sh"
source "$(dirname "${BASH_SOURCE[0]}")/lib/common.sh"
source "$(dirname "${BASH_SOURCE[0]}")/lib/fault.sh"
install_program_folder
fault_dc
"$FIX/samba/samba-dc" add-user "$DC" ceo 'Ceo-Pass-1' >/dev/null
"$FIX/samba/samba-dc" kinit "$DC" ceo 'Ceo-Pass-1' >/dev/null
client_report_config "$PROG" always
start_gwemu gw2 "$WORK/device.key" --encrypt-type 1 --answer always
ini_set "$PROG/config.ini" FirewallNum Value 2 Firewall1 Ip 127.0.0.1 Firewall1 Port "$EMU_PORT"
PC=10.0.0.30 ATTACKER=10.0.0.66
ip addr add "$PC/32" dev lo
ip addr add "$ATTACKER/32" dev lo
start_worker "$PROG" "$LISTEN_PORT"
wait_for 10 "$PROG/orvanectl" status >/dev/null || fail "no status"

R="python3 $SRC/tests/integration/lib/reports.py"
# notified GATEWAY TYPE USER ADDRESS: that gateway's notifications of that kind.
notified() { count_lines "$WORK/$1.jsonl" "\"type\":\"$2\",\"sequence\":[0-9]*,\"address\":\"$4\",\"user\":\"$3\""; }
# on_both N TYPE USER ADDRESS: both gateways have exactly N such notifications.
on_both() { [ "$(notified gw "$2" "$3" "$4")" = "$1" ] && [ "$(notified gw2 "$2" "$3" "$4")" = "$1" ]; }
# record KIND USER FILE: the datagram orvane-reportsend builds, caught on its way.
record() {
  local port cap_pid
  coproc CAP { $R capture "$3"; }
  # Kept now: bash unsets CAP_PID once the capture has ended, which may be before the wait.
  cap_pid=$CAP_PID
  read -r port <&"${CAP[0]}"
  "$PROG/orvane-reportsend" --to "127.0.0.1:$port" --kind "$1" --user "$2" --domain dc=corp,dc=example,dc=com \
    --computer PC01 --key-file "$WORK/client.key" --wait-ack 0 >/dev/null
  wait "$cap_pid" 2>/dev/null || true
  [ -s "$3" ] || fail "no $1 datagram of $2 captured"
}
replays() { metric orvane_refused_total ',reason="replay"'; }
# refused: the body variants, garbling the magic's block (undecryptable) or a later one (malformed).
refused() { echo $(( $(metric orvane_refused_total ',reason="malformed"') + $(metric orvane_refused_total ',reason="undecryptable"') )); }
counted() { echo "replay=$(replays) malformed+undecryptable=$(refused)" \
  "not_a_report=$(metric orvane_dropped_total ',reason="not_a_report"')"; }

record logon ann "$WORK/ann.logon"
[ "$(stat -c %s "$WORK/ann.logon")" = 84 ] || fail "the recorded report is not 84 bytes"

# The PC sends its report and, its acknowledgement being slow, twice more.
$R send "$WORK/ann.logon" --to "$LISTEN_PORT" --from "$PC" --times 3 --acks 3 >/dev/null \
  || fail "the PC's three copies were not all acknowledged"
wait_for 20 on_both 1 online ann "$PC" || fail "ann's logon not notified to both gateways"
wait_for 10 eval '[ "$(replays)" = 2 ]' || fail "the PC's repetitions not counted as repeats: $(counted)"
pass "the PC's three copies are acknowledged, its logon notified once to each gateway"

# (a) the recording from another address; (b) its IV edited into ann's logoff (plain byte 9,
# "0" to "1") and into ceo's logon (plain bytes 11-13, "ann" to "ceo").
$R send "$WORK/ann.logon" --to "$LISTEN_PORT" --from "$ATTACKER" --acks 1 >/dev/null || fail "(a) not acknowledged"
$R send "$WORK/ann.logon" --to "$LISTEN_PORT" --from "$PC" --iv-xor 9:01 --acks 1 >/dev/null || fail "(b) not acknowledged"
$R send "$WORK/ann.logon" --to "$LISTEN_PORT" --from "$ATTACKER" --iv-xor 11:020b01 --acks 1 >/dev/null \
  || fail "(b) not acknowledged"
wait_for 10 eval '[ "$(replays)" = 5 ]' || fail "(a)/(b) not refused as replays: $(counted)"
pass "(a) the replay and (b) the IV edits are refused as repeats"

# (c) all 672 single-bit variants: the 16 of the length field are no report; the 384 of the body
# decrypt to a text no reporter writes or without the magic; those of the IV do too, or give a
# valid text on the recorded body (a repeat); the rest of the header leaves body and IV, a repeat.
refused0=$(refused) replays0=$(replays)
notreport0=$(metric orvane_dropped_total ',reason="not_a_report"')
$R variants "$WORK/ann.logon" --to "$LISTEN_PORT" --from "$ATTACKER" >/dev/null
wait_for 20 eval '[ $(( $(refused) - refused0 + $(replays) - replays0 )) = $((672 - 16)) ] &&
  [ "$(metric orvane_dropped_total ",reason=\"not_a_report\"")" = $((notreport0 + 16)) ]' \
  || fail "(c) not all counted: $(counted)"
[ $(( $(replays) - replays0 )) -ge 144 ] && [ $(( $(refused) - refused0 )) -ge 384 ] \
  || fail "(c) counted in the wrong place: $(counted)"
pass "(c) every single-bit variant is refused or dropped and counted"

# (d) ann logs off and on again; her recorded logoff replayed must not end the new session.
record logoff ann "$WORK/ann.logoff"
$R send "$WORK/ann.logoff" --to "$LISTEN_PORT" --from "$PC" --acks 1 >/dev/null || fail "logoff not acknowledged"
wait_for 20 on_both 1 offline ann "$PC" || fail "ann's logoff not notified"
record logon ann "$WORK/ann.logon2"
$R send "$WORK/ann.logon2" --to "$LISTEN_PORT" --from "$PC" --acks 1 >/dev/null || fail "logon not acknowledged"
wait_for 20 on_both 2 online ann "$PC" || fail "ann's second logon not notified"
replays0=$(replays)
$R send "$WORK/ann.logoff" --to "$LISTEN_PORT" --from "$ATTACKER" --acks 1 >/dev/null || fail "(d) not acknowledged"
$R send "$WORK/ann.logoff" --to "$LISTEN_PORT" --from "$PC" --acks 1 >/dev/null || fail "(d) not acknowledged"
wait_for 10 eval '[ "$(replays)" = $((replays0 + 2)) ]' || fail "(d) the old logoff not refused: $(counted)"

# A last genuine report: once it is notified, anything decided before it would have been too.
send_report logon ceo || fail "ceo's report not acknowledged"
wait_for 20 on_both 1 online ceo 127.0.0.1 || fail "ceo's genuine logon not notified"
for gw in gw gw2; do
  [ "$(notified $gw online ann "$PC")" = 2 ] && [ "$(notified $gw offline ann "$PC")" = 1 ] \
    && [ "$(count_lines "$WORK/$gw.jsonl" "\"address\":\"$ATTACKER\"")" = 0 ] \
    && [ "$(count_lines "$WORK/$gw.jsonl" '"type":"o[nf]*line"')" = 4 ] \
    || fail "$gw was told more than the genuine reports: $(grep '"type":"o[nf]*line"' "$WORK/$gw.jsonl")"
done
"$PROG/orvanectl" users | grep -E "ann.*$PC|$PC.*ann" >/dev/null \
  || fail "ann is not online after the old logoff was replayed: $("$PROG/orvanectl" users)"
pass "(d) an old logoff replayed after the next logon is refused; ann stays online"
echo "$(counted); nothing forged reached either gateway"
kill -0 "$WPID" || fail "the worker died"
echo "4 passed, 0 failed"
