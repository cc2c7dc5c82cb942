#!/usr/bin/env bash
# Strangers flood the worker's gateway socket (the one the gateways' answers come back to) with
# some ten thousand datagrams a second each (a flood at full speed would make the kernel drop the
# gateway's answers whatever the worker does): oversized datagrams and garbage from the gateway's own address, well-formed-looking
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
# The gateway socket: where the notification came from (heartbeats have a socket of their own).
GW_PORT=$(grep '"type":"online"' "$WORK/gw.jsonl" | head -1 | sed -n 's/.*"port":\([0-9]*\).*/\1/p')
[ -n "$GW_PORT" ] || fail "no notification seen: $(cat "$WORK/gw.jsonl")"

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
    for _ in range(25):
        for d in pool:
            try:
                s.sendto(d, ("127.0.0.1", port)); sent += 1
            except OSError:
                pass
    time.sleep(0.01)  # pacing, not waiting for anything
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
[ "$dropped" -gt 50000 ] || fail "only $dropped of $sent flood datagrams counted as dropped"

# Neither the stranger nor the garbage from the gateway's address wrote a line per datagram: the
# receipt lines are the confirmations' own (and one for the garbage), the rest a few lines a minute.
receipts=$(log | grep -cF 'Receive gateway (0x7F000001) response message.' || true)
about_drops=$(log | grep -cE 'Dropped a datagram|The next message was repeated' || true)
[ "$receipts" -le $(( $(confirmations) + 2 )) ] || fail "$receipts receipt lines for $(confirmations) confirmations"
[ "$about_drops" -le 6 ] || fail "$about_drops log lines about $dropped dropped datagrams"
echo "$sent flood datagrams sent, $dropped counted as dropped and written in $about_drops log lines;" \
  "$rounds logoff/logon rounds confirmed at once"
pass "a flood of the gateway socket neither delays confirmations nor fills the log"
