#!/usr/bin/env bash
# Two workers on one host and an acknowledgement forged as coming from each one's port to the
# other's: neither answers, so no storm starts between them. Each counts exactly one datagram
# dropped as no report, acknowledges nothing but the genuine report sent to it afterwards, and
# receives nothing more. And neither port can be bound by another user on one address.
set -euo pipefail
source "$(dirname "${BASH_SOURCE[0]}")/lib/netns.sh"
source "$(dirname "${BASH_SOURCE[0]}")/lib/common.sh"
source "$(dirname "${BASH_SOURCE[0]}")/lib/fault.sh"
install_program_folder
client_report_config "$PROG" always
PORT_A=$LISTEN_PORT
second_folder
start_worker "$PROG" "$PORT_A"
APID=$WPID
start_worker "$PROG_B" "$PORT_B"
# counter FOLDER NAME [LABELS]: a counter of that folder's worker.
counter() { "$1/orvanectl" metrics | sed -n "s/^$2{worker=\"client-report\"${3:-}} //p"; }
dropped() { counter "$1" orvane_dropped_total ',reason="not_a_report"'; }
received() { counter "$1" orvane_reports_received_total; }
acked() { counter "$1" orvane_reports_acknowledged_total; }
for f in "$PROG" "$PROG_B"; do wait_for 10 eval '[ "$(dropped "$f")" = 0 ]' || fail "$f: no counters"; done

# One acknowledgement forged from A's port to B's, one from B's to A's: on the landed tree each
# was answered, and the answers answered, without end.
python3 "$SRC/tests/integration/lib/spoof.py" 127.0.0.1 "$PORT_A" 127.0.0.1 "$PORT_B"
python3 "$SRC/tests/integration/lib/spoof.py" 127.0.0.1 "$PORT_B" 127.0.0.1 "$PORT_A"
wait_for 10 eval '[ "$(dropped "$PROG")" -ge 1 ] && [ "$(dropped "$PROG_B")" -ge 1 ]' \
  || fail "the forged datagrams did not arrive: A $(dropped "$PROG"), B $(dropped "$PROG_B")"

# A genuine report to each afterwards: acknowledged, so each worker has dealt with everything
# that came before it. Any answer to a forged datagram would have reached the other worker by then.
for port in "$PORT_A" "$PORT_B"; do
  "$PROG/orvane-reportsend" --to "127.0.0.1:$port" --user ann --domain dc=corp,dc=example,dc=com \
    --computer PC01 --key-file "$WORK/client.key" --wait-ack 5 >/dev/null || fail "no acknowledgement from $port"
done
for f in "$PROG" "$PROG_B"; do
  [ "$(dropped "$f")" = 1 ] && [ "$(received "$f")" = 2 ] && [ "$(acked "$f")" = 1 ] \
    || fail "$f: $(dropped "$f") dropped, $(received "$f") received, $(acked "$f") acknowledged"
done
pass "a forged acknowledgement between two workers is dropped by each, answered by neither"

# Neither port can be taken over: another user binding it on one address (with SO_REUSEADDR, as
# the workers once allowed) is refused, so the PCs' reports keep reaching the worker.
for port in "$PORT_A" "$PORT_B"; do
  out=$(setpriv --reuid=nobody --regid=nogroup --clear-groups /usr/bin/python3 -c '
import socket, sys
s = socket.socket(socket.AF_INET, socket.SOCK_DGRAM)
s.setsockopt(socket.SOL_SOCKET, socket.SO_REUSEADDR, 1)
try:
    s.bind(("127.0.0.1", int(sys.argv[1])))
    print("bound")
except OSError as e:
    print(e.errno)' "$port")
  [ "$out" = 98 ] || fail "nobody could bind 127.0.0.1:$port beside the worker ($out)"
done
pass "another user cannot bind a worker's port on one of its addresses"
kill -0 "$APID" && kill -0 "$WPID" || fail "a worker died"
echo "2 passed, 0 failed"
