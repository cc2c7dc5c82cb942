#!/usr/bin/env bash
# Log-query mode on a Samba domain controller: the installed worker, started as the service
# starts it for a DC (Orvane <dc-address> 0), polls the DC's authentication audit log; a client
# host in a network namespace of its own (joined to the DC by a veth pair) logs on with kinit,
# and the gateway emulator receives the online notification. Checks the first poll, accounts
# that are never reported (the worker's own least-privileged bind account among them), unknown
# principals, a Samba restart with a rotated audit file, and the 5 s polling interval of QueryTime 3.
set -euo pipefail
source "$(dirname "${BASH_SOURCE[0]}")/lib/netns.sh"
source "$(dirname "${BASH_SOURCE[0]}")/lib/common.sh"
install_program_folder

DC="$WORK/dc"
DC_ADDR=10.99.2.1
CLIENT_ADDR=10.99.2.7
trap '"$FIX/samba/samba-dc" stop "$DC" >/dev/null 2>&1 || true; cleanup' EXIT

# The client host: a network namespace of its own, joined to this one by a veth pair.
client_namespace "$DC_ADDR" "$CLIENT_ADDR"

"$FIX/samba/samba-dc" start "$DC" --address "$DC_ADDR" --template "$BUILD/samba-dc-template" >/dev/null
source "$DC/env"
"$FIX/samba/samba-dc" add-ou "$DC" OU=Sales >/dev/null
"$FIX/samba/samba-dc" add-user "$DC" ann 'Ann-Pass-1' OU=Sales >/dev/null
"$FIX/samba/samba-dc" add-user "$DC" bob 'Bob-Pass-1' >/dev/null
"$FIX/samba/samba-dc" add-user "$DC" carl 'Carl-Pass-1' >/dev/null
"$FIX/samba/samba-dc" add-computer "$DC" PC01 'Pc01-Pass-1' >/dev/null
# The worker binds as an ordinary account, not as Administrator.
"$FIX/samba/samba-dc" add-user "$DC" svc-orvane 'Svc-Pass-1' >/dev/null
AUDIT="$DC/log/auth.json"

log_query_config "$DC_ADDR"
C="$PROG/config.ini"
ini_set "$C" AdServer0 UserName 'CORP\svc-orvane'  AdServer0 Password "$(protect 'Svc-Pass-1')"

# The service would start this worker for the DC at DC_ADDR; it finds the audit log through
# the DC's smb.conf.
ORVANE_SMB_CONF="$DC/dc/etc/smb.conf" "$PROG/Orvane" "$DC_ADDR" 0 &
WPID=$!; PIDS+=("$WPID")
LOG() { local f; f=$(ls "$PROG"/log/LOG*_"$WPID"_*.txt 2>/dev/null | head -1); [ -n "$f" ] && log_text "$f"; }
log_has() { LOG 2>/dev/null | grep -qF -- "$1"; }
online() { count_lines "$WORK/gw.jsonl" '"type":"online"'; }
now_ms() { echo $(( $(date +%s%N) / 1000000 )); }

# The first poll: nothing yet reaches the gateway. Its log lines are checked after the first
# report, with that report's.
wait_for 20 log_has "[INF]Start query ADServer:$DC_ADDR." || fail "polling did not start: $(LOG)"
pass "worker polls $DC_ADDR"
[ "$(LOG | grep -cF "[INF]Logons of the agent's own accounts are not reported: CORP\svc-orvane")" -eq 1 ] \
  || fail "the excluded bind account is not named once: $(LOG)"
# The first poll opens the audit file and fixes its starting point there; logons from then on
# are new. (The worker's own directory bind is already in the file, so that poll finds an event.)
wait_for 20 bash -c "ls -l /proc/$WPID/fd | grep -qF '$AUDIT'" || fail "the audit log was never opened: $(LOG)"

# ann logs on from the client host: one notification at the client's address with her AD path.
client_kinit ann 'Ann-Pass-1' || fail "kinit ann failed"
wait_for 15 at_least 1 "$WORK/gw.jsonl" '"type":"online"' || fail "ann not reported; log: $(LOG)"
T_ANN=$(now_ms)
python3 - "$WORK/gw.jsonl" "$CLIENT_ADDR" <<'PY' || fail "notification content: $(cat "$WORK/gw.jsonl")"
import json, sys
n = [json.loads(l) for l in open(sys.argv[1]) if '"online"' in l]
assert len(n) == 1, n
assert n[0]["user"] == "ann" and n[0]["address"] == sys.argv[2], n[0]
assert n[0]["ad_path"] == "OU=Sales,DC=corp,DC=example,DC=com", n[0]
PY
pass "kinit ann from $CLIENT_ADDR -> online ann@$CLIENT_ADDR with her AD path"
# The worker's status socket is named after its server and shows what it did.
wait_for 10 bash -c "\"$PROG/orvanectl\" metrics | grep -qx 'orvane_logons_total{worker=\"$DC_ADDR\"} 1'" \
  || fail "log-query worker's metrics: $("$PROG/orvanectl" metrics 2>&1 | grep -v '^#')"
"$PROG/orvanectl" status | grep -q "^worker $DC_ADDR: running (log-query mode)" || fail "status: $("$PROG/orvanectl" status)"
"$PROG/orvanectl" status | grep -q "directory $DC_ADDR: connected" || fail "status: $("$PROG/orvanectl" status)"
# Within one poll: Administrator, a computer account, an unknown principal and a wrong password
# report nothing; bob does. His report comes one polling interval (5 s for QueryTime 3) after ann's.
client_kinit Administrator "$SAMBA_DC_ADMIN_PASSWORD" || fail "kinit Administrator failed"
client_kinit 'PC01$' 'Pc01-Pass-1' || fail "kinit PC01\$ failed"
client_kinit nobody 'x' && fail "kinit of an unknown principal succeeded"
client_kinit carl 'wrong' && fail "kinit with a wrong password succeeded"
client_kinit bob 'Bob-Pass-1' || fail "kinit bob failed"
grep -q '"becameAccount": "PC01\$"' "$AUDIT" || fail "the DC did not log the computer logon"
wait_for 15 at_least 2 "$WORK/gw.jsonl" '"type":"online"' || fail "bob not reported; log: $(LOG)"
T_BOB=$(now_ms)
gap=$((T_BOB - T_ANN))
[ "$gap" -ge 4300 ] && [ "$gap" -le 6500 ] || fail "polls not 5 s apart: ann at $T_ANN, bob at $T_BOB ($gap ms)"
pass "QueryTime 3: the next poll came $gap ms later"
# A poll's lines are written together when it ends.
wait_for 5 log_has "User-logon: UserName:ann" || fail "ann's logon not logged: $(LOG)"
LOG | grep -q '\[INF\]First query time [0-9]\{14\}\.[0-9]\{6\}+000' || fail "no first query time logged: $(LOG)"
first=$(LOG | grep -n 'First query time' | head -1 | cut -d: -f1)
report=$(LOG | grep -n 'User-logon: UserName:ann' | head -1 | cut -d: -f1)
[ "$first" -lt "$report" ] || fail "the first poll reported something"
pass "first poll only fixed the starting time; ann's logon logged with her AD path"

# ann again in a later poll is reported again; nothing else ever was.
client_kinit ann 'Ann-Pass-1' || fail "kinit ann failed"
wait_for 15 at_least 3 "$WORK/gw.jsonl" '"type":"online"' || fail "second ann logon not reported"
T_ANN2=$(now_ms)
gap=$((T_ANN2 - T_BOB))
[ "$gap" -ge 4300 ] && [ "$gap" -le 6500 ] || fail "polls not 5 s apart: $gap ms"
python3 - "$WORK/gw.jsonl" <<'PY' || fail "unexpected notifications: $(cat "$WORK/gw.jsonl")"
import json, sys
users = [json.loads(l)["user"] for l in open(sys.argv[1]) if '"online"' in l]
assert users == ["ann", "bob", "ann"], users
PY
pass "Administrator, PC01\$, nobody and a wrong password were not reported; one notification per kinit"
log_has "[INF]User-logon: UserName:bob, ADPath:DC=corp,DC=example,DC=com, Ip: $CLIENT_ADDR" \
  || fail "bob's logon not logged: $(LOG)"

# Samba restarts with a rotated audit file: the worker goes on with the new file.
mv "$AUDIT" "$AUDIT.1"
"$FIX/samba/samba-dc" restart "$DC" >/dev/null
client_kinit carl 'Carl-Pass-1' || fail "kinit carl after the restart failed"
[ -s "$AUDIT" ] || fail "Samba did not start a new audit file"
wait_for 20 at_least 4 "$WORK/gw.jsonl" '"type":"online"' || fail "carl not reported after the restart; log: $(LOG)"
last=$(last_online "$WORK/gw.jsonl")
grep -q '"user":"carl"' <<<"$last" || fail "last notification is not carl's: $last"
pass "Samba restart with a rotated audit file survived"
# The restart broke the worker's directory connection: looking carl up bound again as
# svc-orvane from this host's address, a logon the DC logged before bob's kinit below. That
# line is polled at the latest with bob's, so when carl's next logon (a later poll) has
# arrived, a notification for svc-orvane would have arrived before it.
grep -q '"becameAccount": "svc-orvane"' "$AUDIT" || fail "the DC logged no bind of the worker's account after the restart"
client_kinit bob 'Bob-Pass-1' || fail "kinit bob failed"
wait_for 20 at_least 5 "$WORK/gw.jsonl" '"type":"online"' || fail "bob not reported after the restart; log: $(LOG)"
client_kinit carl 'Carl-Pass-1' || fail "kinit carl failed"
last_is_carl() { last_online "$WORK/gw.jsonl" | grep -q '"user":"carl"'; }
wait_for 20 last_is_carl || fail "carl's second logon not reported; log: $(LOG)"
python3 - "$WORK/gw.jsonl" <<'PY' || fail "unexpected notifications: $(cat "$WORK/gw.jsonl")"
import json, sys
users = [json.loads(l)["user"] for l in open(sys.argv[1]) if '"online"' in l]
assert users == ["ann", "bob", "ann", "carl", "bob", "carl"], users
PY
pass "the worker's own bind account CORP\\svc-orvane was never reported"
kill -0 "$WPID" || fail "the worker ended"
! log_has "[ERR]" || fail "errors logged: $(LOG | grep -F '[ERR]')"
echo "PASS: log-query mode on a Samba DC"
