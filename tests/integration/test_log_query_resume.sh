#!/usr/bin/env bash
# Log-query mode across a restart: the worker is stopped, three users log on (kinit), the worker
# starts again and reports all three, resuming from the query time in its state store ("[INF]Resume
# query time ..."). With QueryResumeSpan 0 a restarted worker starts from the newest event again
# and a logon from while it was stopped is never reported.
set -euo pipefail
source "$(dirname "${BASH_SOURCE[0]}")/lib/netns.sh"
source "$(dirname "${BASH_SOURCE[0]}")/lib/common.sh"
install_program_folder

DC="$WORK/dc"
DC_ADDR=10.99.2.1
trap '"$FIX/samba/samba-dc" stop "$DC" >/dev/null 2>&1 || true; cleanup' EXIT
# The DC's address on an interface (not lo), so the worker knows the DC as its own machine.
ip link add dc0 type veth peer name dc0peer
ip addr add "$DC_ADDR/24" dev dc0
ip link set dc0 up
ip link set dc0peer up
"$FIX/samba/samba-dc" start "$DC" --address "$DC_ADDR" --template "$BUILD/samba-dc-template" >/dev/null
source "$DC/env"
for u in ann bob carl dave; do "$FIX/samba/samba-dc" add-user "$DC" "$u" "${u^}-Pass-1" >/dev/null; done
log_query_config "$DC_ADDR"
# A logon seen by the DC (from its own address: reported like any client's).
logon() { "$FIX/samba/samba-dc" kinit "$DC" "$1" "${1^}-Pass-1" >/dev/null || fail "kinit $1 failed"; }
online_users() {
  python3 -c 'import json, sys; print(" ".join(sorted(json.loads(l)["user"] for l in open(sys.argv[1]) if "\"online\"" in l)))' \
    "$WORK/gw.jsonl" 2>/dev/null || true
}
# stored_time: the query time in the store (read while no worker holds it).
stored_time() {
  python3 -c 'import sqlite3, sys; r = sqlite3.connect(sys.argv[1]).execute("select value from settings").fetchone(); print(r[0] if r else "")' \
    "$ORVANE_STATE_DIR/state-dc-$DC_ADDR.db" 2>/dev/null || true
}
# start_dc_worker: the worker the service would start for the DC; WPID.
start_dc_worker() {
  ORVANE_SMB_CONF="$DC/dc/etc/smb.conf" "$PROG/Orvane" "$DC_ADDR" 0 &
  WPID=$!; PIDS+=("$WPID")
}
LOG() { local f; f=$(ls "$PROG"/log/LOG*_"$WPID"_*.txt 2>/dev/null | head -1); [ -n "$f" ] && log_text "$f"; }
log_has() { LOG 2>/dev/null | grep -qF -- "$1"; }
stop_dc_worker() { kill -KILL "$WPID"; wait "$WPID" 2>/dev/null || true; }

start_dc_worker
# A poll's lines reach the file after its query time is stored.
wait_for 30 log_has "[INF]First query time" || fail "no first poll: $(LOG)"
stop_dc_worker
[ -n "$(stored_time)" ] || fail "the query time is not stored"
logon ann; logon bob; logon carl
start_dc_worker
wait_for 30 eval '[ "$(online_users)" = "ann bob carl" ]' \
  || fail "logons while the worker was stopped: [$(online_users)] reported; log: $(LOG)"
log_has "[INF]Resume query time" || fail "no resume line: $(LOG)"
log_has "[INF]First query time" && fail "a resumed worker logged a first query time"
pass "three logons while the worker was stopped are reported after its restart"

stop_dc_worker
ini_set "$PROG/config.ini" QueryResumeSpan Value 0
logon dave
start_dc_worker
wait_for 30 log_has "[INF]First query time" || fail "QueryResumeSpan 0: no first poll: $(LOG)"
logon ann
wait_for 30 eval '[ "$(online_users)" = "ann ann bob carl" ]' \
  || fail "QueryResumeSpan 0: [$(online_users)] reported, want ann's new logon and not dave's"
log_has "[INF]Resume query time" && fail "QueryResumeSpan 0 resumed"
pass "QueryResumeSpan 0: the logon from while the worker was stopped is not reported"
echo "2 passed, 0 failed"
