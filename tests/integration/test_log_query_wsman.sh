#!/usr/bin/env bash
# Log-query mode against a remote Windows DC over WS-Management: the DC host is a network
# namespace of its own holding a real Samba DC (LDAP, Kerberos, the audit log) and the
# WS-Management test peer, which serves that DC's logons as a Windows DC's Security log over
# HTTPS with NTLM. The installed worker polls it from this namespace, where the DC's address
# is not local. Checks the first poll, a kinit from a client host reported with the AD path,
# a wrong password refused at connect, the peer stopped and started under the polling worker,
# the Windows Server 2003 event ids, and the polling interval as the peer sees it: 5 s for
# QueryTime 3, 30 s for QueryTime 30, with each poll's log lines in the file while it waits.
set -euo pipefail
source "$(dirname "${BASH_SOURCE[0]}")/lib/netns.sh"
source "$(dirname "${BASH_SOURCE[0]}")/lib/common.sh"
install_program_folder

source "$(dirname "${BASH_SOURCE[0]}")/lib/wsman_dc.sh"

# start_peer CAPTION: the WS-Management listener of the DC host on port 5986. One item per
# answer (WinRM's MaxBatchItems), so an enumeration of two events already needs a Pull, and one
# stopped after its first object has something to release. NTLM answers must carry a valid MIC.
start_peer() {
  # Not through on_dc: a backgrounded function would be a subshell, and $! not the peer.
  nsenter --net="/proc/$DC_NS/ns/net" "$BUILD/bin/orvane_wsman_peer" --listen "$DC_ADDR" --cert "$TLS/dc.pem" --key "$TLS/dc.key" \
    --accounts "$TLS/accounts" --domain CORP --dns-domain corp.example.com --audit-log "$DC/log/auth.json" \
    --caption "$1" --query-log "$WORK/queries.txt" --max-batch-items 1 --release-log "$WORK/releases.txt" --require-mic \
    >"$WORK/peer.out" 2>"$WORK/peer.err" &
  PEER_PID=$!
  PIDS+=("$PEER_PID")
  wait_for 10 grep -q listening "$WORK/peer.out" || fail "peer not listening: $(cat "$WORK/peer.err")"
}
start_peer "Microsoft Windows Server 2008 R2 Enterprise"

log_query_config "$DC_ADDR"
C="$PROG/config.ini"

online() { count_lines "$WORK/gw.jsonl" '"type":"online"'; }
# poll_at N LIMIT: waits up to LIMIT s for the peer's Nth Security-log query; prints when it came (ms).
poll_at() {
  wait_for "$2" at_least "$1" "$WORK/queries.txt" 'Win32_NTLogEvent' || return 1
  echo $(( $(date +%s%N) / 1000000 ))
}
# expect_gap T1 T2 MS: T2 came MS ms after T1, give or take a second.
expect_gap() {
  local gap=$(($2 - $1))
  [ "$gap" -ge $(($3 - 1000)) ] && [ "$gap" -le $(($3 + 1000)) ] || fail "polls $gap ms apart, not $3: $(cat "$WORK/queries.txt")"
  echo "$gap"
}

# Logons before the worker starts: the first poll stops at the newest event, when the next one
# is already asked for, and leaves the rest of its enumeration to release.
for i in 1 2 3; do client_kinit carl 'Carl-Pass-1' || fail "kinit carl failed"; done
start_worker
wait_for 20 log_has "$WPID" "[INF]Start query ADServer:$DC_ADDR." || fail "polling did not start: $(LOG "$WPID")"
# The first poll asks without a time bound and only fixes the starting time.
wait_for 20 grep -q "^SELECT \* FROM Win32_NTLogEvent where LogFile='Security' AND (EventCode='4768' OR EventCode='4769' OR EventCode='4770' OR EventCode='4624')$" "$WORK/queries.txt" \
  || fail "no first poll query: $(cat "$WORK/queries.txt" 2>/dev/null)"
wait_for 10 grep -q "^released uuid:" "$WORK/releases.txt" \
  || fail "the first poll, stopped at its first event, released nothing: $(cat "$WORK/releases.txt" 2>/dev/null)"
pass "worker polls $DC_ADDR over WS-Management with NTLM; the first poll released its enumeration"

client_kinit ann 'Ann-Pass-1' || fail "kinit ann failed"
wait_for 15 at_least 1 "$WORK/gw.jsonl" '"type":"online"' || fail "ann not reported; log: $(LOG "$WPID")"
python3 - "$WORK/gw.jsonl" "$CLIENT_ADDR" <<'PY' || fail "notification content: $(cat "$WORK/gw.jsonl")"
import json, sys
n = [json.loads(l) for l in open(sys.argv[1]) if '"online"' in l]
assert len(n) == 1, n
assert n[0]["user"] == "ann" and n[0]["address"] == sys.argv[2], n[0]
assert n[0]["ad_path"] == "OU=Sales,DC=corp,DC=example,DC=com", n[0]
PY
grep -q "TimeGenerated>'[0-9]\{14\}\.[0-9]\{6\}+000' and LogFile='Security'" "$WORK/queries.txt" \
  || fail "later polls do not ask from the last time: $(cat "$WORK/queries.txt")"
wait_for 10 log_has "$WPID" "[INF]First query time" || fail "no first query time: $(LOG "$WPID")"
# Later polls read their enumerations to the end: the server ended them, nothing more to release.
[ "$(grep -c '^released' "$WORK/releases.txt")" = 1 ] || fail "polls read to the end released: $(cat "$WORK/releases.txt")"
pass "kinit ann from $CLIENT_ADDR -> online ann@$CLIENT_ADDR with her AD path (event 4768 over WS-Management)"

# The peer stops: the poll fails, and the worker tries to reconnect once a second until the
# peer answers again; then the next logon is reported.
kill "$PEER_PID"; wait "$PEER_PID" 2>/dev/null || true
wait_for 15 log_has "$WPID" "[ERR]query error" || fail "no query error with the peer stopped: $(LOG "$WPID")"
wait_for 10 log_has "$WPID" "[ERR]Times of connect AD server failed.2" || fail "no reconnection attempts: $(LOG "$WPID")"
start_peer "Microsoft Windows Server 2008 R2 Enterprise"
n=$(LOG "$WPID" | grep -c 'Times of connect AD server failed' || true)
client_kinit bob 'Bob-Pass-1' || fail "kinit bob failed"
wait_for 20 at_least 2 "$WORK/gw.jsonl" '"type":"online"' || fail "bob not reported after the restart; log: $(LOG "$WPID")"
last=$(last_online "$WORK/gw.jsonl")
grep -q '"user":"bob"' <<<"$last" || fail "last notification is not bob's: $last"
# One attempt a second: n attempts span about n-1 seconds of the log's clock.
LOG "$WPID" | python3 -c '
import re, sys, datetime
t = [datetime.datetime.strptime(m, "%Y-%m-%d %H-%M-%S") for m in
     re.findall(r"\[(\d{4}-\d\d-\d\d \d\d-\d\d-\d\d)\][^\n]*Times of connect AD server failed", sys.stdin.read())]
span = (t[-1] - t[0]).total_seconds()
assert len(t) - 3 <= span <= len(t), (len(t), span)
' || fail "reconnection attempts not one a second: $(LOG "$WPID" | grep 'Times of connect')"
[ "$n" -ge 3 ] || fail "too few reconnection attempts ($n)"
pass "peer stopped: [ERR]query error, $n reconnection attempts, reported again once it answered"
kill "$WPID"; wait "$WPID" 2>/dev/null || true

# A wrong password: refused at connect, one attempt logged per try.
ini_set "$C" AdServer0 Password "$(protect 'not-the-password')"
start_worker
wait_for 15 log_has "$WPID" "[ERR]Connect remote AD server failed. errno = 0x80070005." \
  || fail "wrong password not refused: $(LOG "$WPID")"
wait_for 5 log_has "$WPID" "[ERR]Times of connect AD server failed.1" || fail "no attempt count: $(LOG "$WPID")"
! log_has "$WPID" "Try to connect the local AD server" || fail "the remote DC fell back to the local branch"
pass "wrong password: connection attempt 1 refused with 0x80070005"
kill "$WPID"; wait "$WPID" 2>/dev/null || true
# An account the DC does not know is refused as well, and a known one with its password let in.
printf 'whatever\n' >"$WORK/nobody.pw"
printf '%s\n' "$SAMBA_DC_ADMIN_PASSWORD" >"$WORK/admin.pw"
wmiquery() { "$PROG/orvane-wmiquery" --server "$DC_ADDR" --user "$1" --password-file "$2" --query "SELECT Caption FROM Win32_OperatingSystem"; }
out=$(wmiquery 'CORP\nobody' "$WORK/nobody.pw" 2>&1) && fail "an unknown user was let in: $out"
grep -q "cannot connect: 0x80070005" <<<"$out" || fail "unknown user not refused as access denied: $out"
out=$(wmiquery 'corp.example.com\administrator' "$WORK/admin.pw" 2>&1) || fail "the DNS domain name refused: $out"
pass "unknown user refused; the domain's DNS name and another case of the user name accepted"

# A Windows Server 2003 DC: the polls ask for 672/673/674 and a logon comes as 672.
kill "$PEER_PID"; wait "$PEER_PID" 2>/dev/null || true
start_peer "Microsoft(R) Windows(R) Server 2003, Enterprise Edition"
ini_set "$C" AdServer0 Password "$(protect "$SAMBA_DC_ADMIN_PASSWORD")"
: >"$WORK/queries.txt"
start_worker
# QueryTime 3 is below the 5 s the poller waits at least.
T1=$(poll_at 1 30) || fail "no first poll: $(cat "$WORK/queries.txt"; LOG "$WPID")"
grep -q "(EventCode='672' OR EventCode='673' OR EventCode='674')$" "$WORK/queries.txt" \
  || fail "no 2003 query: $(cat "$WORK/queries.txt")"
wait_for 5 log_has "$WPID" "[INF]Start query ADServer:$DC_ADDR." || fail "polling did not start: $(LOG "$WPID")"
T2=$(poll_at 2 10) || fail "no second poll: $(cat "$WORK/queries.txt")"
grep -q "TimeGenerated>" "$WORK/queries.txt" || fail "the second poll does not ask from the last time: $(cat "$WORK/queries.txt")"
gap=$(expect_gap "$T1" "$T2" 5000) || exit 1
pass "QueryTime 3: the peer saw the second poll $gap ms after the first"
client_kinit carl 'Carl-Pass-1' || fail "kinit carl failed"
wait_for 15 at_least 3 "$WORK/gw.jsonl" '"type":"online"' || fail "carl not reported as 672; log: $(LOG "$WPID")"
last=$(last_online "$WORK/gw.jsonl")
grep -q '"user":"carl"' <<<"$last" || fail "last notification is not carl's: $last"
pass "2003 caption: polls ask for 672/673/674, carl reported from event 672"

# QueryTime 30: polls 30 s apart. Nothing is logged between them, yet the first poll's line is
# in the file while the worker waits for the second. (QueryResumeSpan 0: this worker starts with a
# first poll, not from the query time its predecessor stored.)
kill "$WPID"; wait "$WPID" 2>/dev/null || true
ini_set "$C" QueryTime Value 30 QueryResumeSpan Value 0
: >"$WORK/queries.txt"
start_worker
T1=$(poll_at 1 30) || fail "no first poll: $(cat "$WORK/queries.txt"; LOG "$WPID")"
wait_for 5 log_has "$WPID" "[INF]First query time" || fail "the first poll's lines are not in the log file: $(LOG "$WPID")"
T2=$(poll_at 2 40) || fail "no second poll within 40 s: $(cat "$WORK/queries.txt")"
gap=$(expect_gap "$T1" "$T2" 30000) || exit 1
pass "QueryTime 30: the peer saw the second poll $gap ms after the first; the first poll's lines were logged at once"
echo "PASS: log-query mode against a remote DC over WS-Management"
