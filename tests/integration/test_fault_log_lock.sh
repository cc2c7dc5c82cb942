#!/usr/bin/env bash
# Two workers of one installation log through one lock, both at full speed (a flood of reports
# under the client key with an over-long user name makes each log a line per report). Worker A is caught holding the log lock (all its
# threads stopped, the lock's owner one of them) and killed with SIGKILL, five times over: the
# other worker B goes on logging after every kill, and each new A logs too.
set -euo pipefail
source "$(dirname "${BASH_SOURCE[0]}")/lib/common.sh"
source "$(dirname "${BASH_SOURCE[0]}")/lib/fault.sh"
install_program_folder

client_report_config "$PROG" always
PORT_A=$LISTEN_PORT
second_folder
LOCK="$ORVANE_LOCK_DIR/Log_RoVezerar.lock"
OVERLONG="[ERR]Received a report with a field longer than 259 characters"

echo "set up in ${SECONDS} s"
start_worker "$PROG_B" "$PORT_B"
BPID=$WPID
flood() {
  python3 "$SRC/tests/integration/lib/flood.py" "$1" --seconds 300 --overlong "$WORK/client.key" >/dev/null &
  PIDS+=("$!")
}
flood "$PORT_B"
# log_bytes FOLDER PID: the size of that worker's log files together.
log_bytes() { cat "$1"/log/LOG_"$2"_*.txt 2>/dev/null | wc -c; }
wait_for 10 eval '[ "$(log_bytes "$PROG_B" "$BPID")" -gt 0 ]' || fail "B has no log"
[ -f "$LOCK" ] || fail "no lock file $LOCK"

ROUNDS=5
flood "$PORT_A"
for round in $(seq $ROUNDS); do
  start_worker "$PROG" "$PORT_A"
  APID=$WPID
  wait_for 10 eval '[ "$(log_bytes "$PROG" "$APID")" -gt 8192 ]' \
    || fail "round $round: A does not log at full speed"
  out=$(python3 "$SRC/tests/integration/lib/lock_holder.py" "$LOCK" "$APID") || fail "round $round: $out"
  wait "$APID" 2>/dev/null || true
  before=$(log_bytes "$PROG_B" "$BPID")
  # B takes the lock over from the dead holder and goes on (100 lines are over 10,000 bytes).
  wait_for 10 eval '[ "$(log_bytes "$PROG_B" "$BPID")" -ge $((before + 10000)) ]' \
    || fail "round $round: B stopped logging after A was killed holding the lock ($out)"
  kill -0 "$BPID" || fail "round $round: B died"
  echo "round $round (at ${SECONDS} s): A $out; B logged on"
done
pass "B logs on after each of $ROUNDS kills of A while A held the log lock"

# The lock is free for a newcomer: a new A logs its start and the flood's lines.
start_worker "$PROG" "$PORT_A"
wait_for 10 eval '[ "$(worker_log_count "$PROG" "$WPID" "$OVERLONG")" -ge 100 ]' || fail "a new worker does not log"
# B's log holds only whole lines: every line starts with a time stamp (read with B stopped, so
# no write is half done).
stop_process "$BPID"
worker_log "$PROG_B" "$BPID" | tr -d '\r' | grep -v '^\[20[0-9-]* [0-9-]*\]\[' | grep -q . \
  && fail "B's log has a torn line: $(worker_log "$PROG_B" "$BPID" | tr -d '\r' | grep -v '^\[20' | head -3)"
kill -CONT "$BPID"
pass "a new worker logs; B's log holds whole lines only"
echo "2 passed, 0 failed"
