#!/usr/bin/env bash
# The TCP delay line of the distance benchmarks: each direction is delayed by the set time, bytes
# arrive intact and in order, a stream's throughput is not capped by the delay (no stop-and-wait),
# a half-closed stream is passed on, and a refused connection ends at once.
source "$(dirname "$0")/lib/common.sh"
LINE="$BUILD/bin/orvane_delay_line"
[ -x "$LINE" ] || fail "no $LINE"

# An echo server: each connection gets back what it sends, then an end of stream once it ends its own.
python3 - "$WORK/echo.port" <<'PY' &
import socket, sys, threading
s = socket.socket()
s.bind(("127.0.0.1", 0))
s.listen(16)
open(sys.argv[1], "w").write(str(s.getsockname()[1]))
def serve(c):
    while True:
        b = c.recv(1 << 16)
        if not b:
            break
        c.sendall(b)
    c.shutdown(socket.SHUT_WR)
    c.close()
while True:
    c, _ = s.accept()
    threading.Thread(target=serve, args=(c,), daemon=True).start()
PY
PIDS+=($!)
wait_for 10 test -s "$WORK/echo.port" || fail "echo server not listening"
ECHO_PORT=$(cat "$WORK/echo.port")

# start_line NAME TARGET_PORT DELAY_US: sets LINE_PORT.
start_line() {
  "$LINE" --listen 127.0.0.1:0 --connect "127.0.0.1:$2" --delay-us "$3" 2>"$WORK/$1.err" &
  PIDS+=($!)
  wait_for 10 grep -q '^listening on 127\.0\.0\.1:[0-9]*$' "$WORK/$1.err" || fail "$1: not listening: $(cat "$WORK/$1.err")"
  LINE_PORT=$(sed -n 's/^listening on 127\.0\.0\.1:\([0-9]*\)$/\1/p' "$WORK/$1.err")
}

# probe PORT MODE: "rtt" prints the median of 9 one-byte round trips in ms; "bulk N" sends N
# bytes, half-closes, reads the echo to its end and prints "seconds intact".
probe() {
  python3 - "$@" <<'PY'
import hashlib, os, socket, statistics, sys, threading, time
port, mode = int(sys.argv[1]), sys.argv[2]
c = socket.create_connection(("127.0.0.1", port))
c.setsockopt(socket.IPPROTO_TCP, socket.TCP_NODELAY, 1)
if mode == "rtt":
    times = []
    for i in range(9):
        t = time.monotonic()
        c.sendall(b"x")
        assert c.recv(1) == b"x"
        times.append((time.monotonic() - t) * 1000)
    print("%.2f" % statistics.median(times))
else:
    data = os.urandom(int(sys.argv[3]))
    got = bytearray()
    def reader():
        while True:
            b = c.recv(1 << 16)
            if not b:
                return
            got.extend(b)
    r = threading.Thread(target=reader)
    t = time.monotonic()
    r.start()
    c.sendall(data)
    c.shutdown(socket.SHUT_WR)
    r.join(30)
    print("%.3f %s" % (time.monotonic() - t,
                       "intact" if hashlib.sha256(got).digest() == hashlib.sha256(data).digest() else "CHANGED"))
PY
}

start_line far "$ECHO_PORT" 25000
rtt=$(probe "$LINE_PORT" rtt) || fail "no round trip through the delay line"
python3 -c "import sys; t = float(sys.argv[1]); sys.exit(0 if 50 <= t < 80 else 1)" "$rtt" \
  || fail "a round trip through a 25 ms delay line took $rtt ms (want 50 ms and a little)"
pass "25 ms each way: a round trip takes $rtt ms"

# 16 MiB there and back. Stop-and-wait of 64 KiB reads would need 256 round trips, 12.8 s.
read -r seconds state < <(probe "$LINE_PORT" bulk $((16 << 20))) || fail "the bulk transfer failed"
[ "$state" = intact ] || fail "16 MiB through the delay line came back changed"
python3 -c "import sys; sys.exit(0 if float(sys.argv[1]) < 4 else 1)" "$seconds" \
  || fail "16 MiB there and back took $seconds s through 25 ms: the delay caps the throughput"
pass "16 MiB there and back intact in $seconds s, the end of stream passed on both ways"

start_line near "$ECHO_PORT" 0
read -r _ state < <(probe "$LINE_PORT" bulk 100000) || fail "no transfer without delay"
[ "$state" = intact ] || fail "bytes changed without delay"
pass "no delay: bytes pass intact"

# A target that refuses: the client's connection ends instead of hanging.
python3 -c 'import socket; s = socket.socket(); s.bind(("127.0.0.1", 0)); print(s.getsockname()[1])' >"$WORK/closed.port"
start_line refused "$(cat "$WORK/closed.port")" 1000
python3 - "$LINE_PORT" <<'PY' || fail "a connection to a refusing target did not end"
import socket, sys
c = socket.create_connection(("127.0.0.1", int(sys.argv[1])))
c.settimeout(5)
try:
    assert c.recv(1) == b""
except ConnectionResetError:
    pass
PY
pass "a refused connection at the far end ends the near one"
