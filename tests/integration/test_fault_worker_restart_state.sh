#!/usr/bin/env bash
# A client-report worker killed with SIGKILL and started again keeps what it knew: a user who
# logged on before the kill logs off after it and the gateway hears the logoff (it is not refused
# as "not online"), without being told of the logon again; and a report acknowledged while the DC
# hung, undecided at the kill, is decided after the restart. A store overwritten with random bytes
# is set aside at the next start and the worker runs with a new one.
set -euo pipefail
source "$(dirname "${BASH_SOURCE[0]}")/lib/netns.sh"
source "$(dirname "${BASH_SOURCE[0]}")/lib/common.sh"
source "$(dirname "${BASH_SOURCE[0]}")/lib/fault.sh"
install_program_folder
fault_road always
"$FIX/samba/samba-dc" add-user "$DC" bob 'Bob-Pass-1' OU=Sales >/dev/null
"$FIX/samba/samba-dc" kinit "$DC" bob 'Bob-Pass-1' >/dev/null
online() { count_lines "$WORK/gw.jsonl" '"type":"online"'; }
offline() { count_lines "$WORK/gw.jsonl" '"type":"offline"'; }
# store_count SQL: a count read from the worker's store (only while no worker holds it).
store_count() {
  python3 -c 'import sqlite3, sys; print(sqlite3.connect(sys.argv[1]).execute(sys.argv[2]).fetchone()[0])' \
    "$ORVANE_STATE_DIR/state-reports.db" "$1" 2>/dev/null || echo -1
}

send_report logon ann || fail "ann's logon not acknowledged"
wait_for 20 eval '[ "$(online)" = 1 ]' || fail "ann's logon not decided"

"$FIX/samba/samba-dc" freeze "$DC"
send_report logon bob || fail "bob's logon not acknowledged while the DC hangs"
wait_for 20 eval '[ "$(worker_log_count "$PROG" "$WPID" "waits until a directory server answers")" -ge 1 ]' \
  || fail "bob's report is not held for the DC"
kill -KILL "$WPID"
wait "$WPID" 2>/dev/null || true
# What the killed worker left: ann online, bob's report acknowledged and undecided.
[ "$(store_count "select count(*) from pending_bursts where seq * 65536 > (select through from decided)")" = 1 ] || fail "the acknowledged report is not stored"
[ "$(store_count "select count(*) from online_users where state = 1 and user = 'ann'")" = 1 ] \
  || fail "ann is not in the state store"
"$FIX/samba/samba-dc" thaw "$DC"
pass "worker killed with one user online and one acknowledged report undecided"

start_worker "$PROG" "$LISTEN_PORT"
wait_for 30 eval '[ "$(online)" = 2 ]' || fail "bob's report, acknowledged before the kill, is not decided after it"
worker_log "$PROG" "$WPID" | grep -qF "[INF]1 online users are taken back from the state store" \
  || fail "no restore line: $(worker_log "$PROG" "$WPID" | head -20)"
worker_log "$PROG" "$WPID" | grep -qF "[INF]1 acknowledged reports not yet decided are taken back" \
  || fail "no line for the restored report"
[ "$(count_lines "$WORK/gw.jsonl" '"user":"ann"')" = 1 ] || fail "ann's logon was sent to the gateway again"
pass "the acknowledged report is decided after the restart; ann is not announced again"

send_report logoff ann || fail "ann's logoff not acknowledged"
wait_for 20 eval '[ "$(offline)" = 1 ]' || fail "ann's logoff after the restart is not sent (refused as not online?)"
wait_for 10 eval '[ "$(worker_log_count "$PROG" "$WPID" "*************User '"'"'ann'"'"' logoff.")" = 1 ]' \
  || fail "ann's logoff is not decided"
pass "a user online before the kill logs off after it and the gateway hears it"

kill -KILL "$WPID"
wait "$WPID" 2>/dev/null || true
# (Its write-ahead log goes too: pages in it would still be read in place of the file's.)
rm -f "$ORVANE_STATE_DIR"/state-reports.db-wal "$ORVANE_STATE_DIR"/state-reports.db-shm
head -c 65536 /dev/urandom >"$ORVANE_STATE_DIR/state-reports.db"
start_worker "$PROG" "$LISTEN_PORT"
wait_for 10 eval '[ "$(worker_log_count "$PROG" "$WPID" "the worker starts empty.")" = 1 ]' \
  || fail "the damaged store is not reported: $(worker_log "$PROG" "$WPID" | head -5)"
ls "$ORVANE_STATE_DIR"/state-reports.db.damaged-* >/dev/null || fail "the damaged store is not set aside"
send_report logon ann || fail "no acknowledgement after a damaged store"
wait_for 20 eval '[ "$(online)" = 3 ]' || fail "a logon after a damaged store is not decided"
pass "a store of random bytes is set aside and the worker starts with a new one"
echo "4 passed, 0 failed"
