#!/usr/bin/env bash
# Strangers flood the worker's gateway socket (the one the gateways' answers come back to) at full
# speed: oversized datagrams and garbage from the gateway's own address, well-formed-looking
# answers from an address that is no gateway. The gateway's real confirmations still arrive at
# once, every dropped datagram is counted, and the log holds a handful of lines about them.
set -euo pipefail
source "$(dirname "${BASH_SOURCE[0]}")/lib/netns.sh"
source "$(dirname "${BASH_SOURCE[0]}")/lib/common.sh"
source "$(dirname "${BASH_SOURCE[0]}")/lib/fault.sh"
install_program_folder
fault_road always 2 1
wait_for 10 "$PROG/orvanectl" status >/dev/null || fail "no status"
log() { worker_log "$PROG" "$WPID"; }
confirmations() { metric orvane_confirmations_total; }

send_report logon || fail "logon not acknowledged"
wait_for 10 eval '[ "$(confirmations)" = 1 ]' || fail "no confirmation before the flood: $(log | tail -5)"
# The gateway socket: the worker's UDP port other than the report port.
GW_PORT=$(ss -uanpH | awk -v pid="pid=$WPID," -v lp=":$LISTEN_PORT" \
  'index($0, pid) && $4 !~ lp"$" {n = split($4, a, ":"); print a[n]; exit}')
[ -n "$GW_PORT" ] || fail "no gateway socket found: $(ss -uanp)"
log_bytes0=$(du -sb "$PROG/log" | cut -f1)

FLOOD_SECONDS=8
flood() {
  python3 - "$1" "$GW_PORT" "$FLOOD_SECONDS" "$2" <<'PY'
import os, socket, sys, time
source, port, seconds, kind = sys.argv[1], int(sys.argv[2]), float(sys.argv[3]), sys.argv[4]
s = socket.socket(socket.AF_INET, socket.SOCK_DGRAM)
s.bind((source, 0))
pool = [os.urandom(300), os.urandom(4096), os.urandom(40), os.urandom(12)] if kind == "gateway" \
    else [os.urandom(24), os.urandom(40), os.urandom(16)]
end, sent = time.monotonic() + seconds, 0
while time.monotonic() < end:
    for d in pool:
        try:
            s.sendto(d, ("127.0.0.1", port)); sent += 1
        except OSError:
            pass
print(sent)
PY
}
flood 127.0.0.1 gateway >"$WORK/flood-gw" &
PIDS+=("$!"); f1=$!
flood 127.0.0.2 stranger >"$WORK/flood-stranger" &
PIDS+=("$!"); f2=$!
wait_for 10 eval '[ "$(metric orvane_dropped_total ",reason=\"foreign_response\"")" -gt 1000 ]' \
  || fail "the flood does not reach the gateway socket"

# Under the flood, each logoff and logon is confirmed by the gateway within a second or two.
expected=1 rounds=0 t0=$SECONDS
while [ $((SECONDS - t0)) -lt $((FLOOD_SECONDS - 3)) ]; do
  for kind in logoff logon; do
    send_report "$kind" || fail "$kind not acknowledged"
    expected=$((expected + 1))
    wait_for 3 eval '[ "$(confirmations)" -ge $expected ]' \
      || fail "the $kind was not confirmed under the flood ($(confirmations) of $expected): $(log | tail -5)"
  done
  rounds=$((rounds + 1))
done
wait "$f1" "$f2"
sent=$(( $(cat "$WORK/flood-gw") + $(cat "$WORK/flood-stranger") ))
dropped=$(metric orvane_dropped_total ',reason="foreign_response"')
[ "$dropped" -gt 10000 ] || fail "only $dropped of $sent flood datagrams counted as dropped"

# Neither the stranger nor the garbage from the gateway's address wrote a line per datagram.
lines=$(log | grep -cE 'Dropped a datagram|Receive gateway \(0x7F000001\) response message' || true)
[ "$lines" -le $((2 * expected + 6)) ] || fail "$lines log lines about $dropped dropped datagrams"
grown=$(( $(du -sb "$PROG/log" | cut -f1) - log_bytes0 ))
[ "$grown" -lt 262144 ] || fail "the log grew by $grown bytes under the flood"
echo "$sent flood datagrams sent, $dropped counted as dropped; $rounds logoff/logon rounds confirmed at once;" \
  "the log grew by $grown bytes"
pass "a flood of the gateway socket neither delays confirmations nor fills the log"
