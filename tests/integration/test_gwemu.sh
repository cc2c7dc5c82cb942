#!/usr/bin/env bash
# The gateway emulator against datagrams built independently (Python and the openssl tool):
# decoding of every datagram kind with both ciphers and encodings, answers, and the exits.
source "$(dirname "$0")/lib/common.sh"
EMU="$BUILD/bin/orvane-gwemu"
[ -x "$EMU" ] || fail "no $EMU"
export PYTHONPATH="$SRC/tests/integration/lib${PYTHONPATH:+:$PYTHONPATH}"

# start_emu NAME STDIN-FILE ARGS...: starts the emulator on a free loopback port and waits until
# it is bound; sets EMU_PID and EMU_PORT.
start_emu() {
  local name=$1 input=$2; shift 2
  "$EMU" --listen 127.0.0.1:0 "$@" <"$input" >"$WORK/$name.stdout" 2>"$WORK/$name.err" &
  EMU_PID=$!
  PIDS+=("$EMU_PID")
  wait_for 10 grep -q '^listening on 127\.0\.0\.1:[0-9]*$' "$WORK/$name.err" \
    || fail "$name: no listening line: $(cat "$WORK/$name.err")"
  EMU_PORT=$(sed -n 's/^listening on 127\.0\.0\.1:\([0-9]*\)$/\1/p' "$WORK/$name.err")
  [ "$EMU_PORT" -gt 0 ] || fail "$name: bound to port 0"
}

# expect_exit PID SECONDS STATUS WHAT: the process ends within SECONDS with STATUS.
expect_exit() {
  wait_for "$2" bash -c "! kill -0 $1 2>/dev/null" || fail "$4: still running after $2 s"
  local rc=0
  wait "$1" || rc=$?
  [ "$rc" = "$3" ] || fail "$4: exit status $rc, expected $3"
}

# --- general cipher, UTF-8, key on stdin, every datagram kind, exit after --count ---
KEY_A='gateway-share-key'
printf '%s\n' "$KEY_A" >"$WORK/a.key"
start_emu a "$WORK/a.key" --encrypt-type 0 --encode-type 1 --key-stdin --count 5 --out "$WORK/a.jsonl"
python3 - "$EMU_PORT" "$KEY_A" <<'PY'
import sys
from gwpeer import *
port, key = int(sys.argv[1]), sys.argv[2]
p = Peer(port)
alice = notification(0, 7, "10.1.2.3", "alice", ("OU=Sales,DC=corp,DC=example",))
p.send(seal(alice, 0, key))
answer = p.answer()
assert len(answer) == 16, len(answer)
assert open_answer(answer, 0, key) == (7, "login OK"), open_answer(answer, 0, key)
p.send(seal(heartbeat("3.1.10.3", [0x00, 0x1A, 0x2B, 0x3C, 0x4D, 0x5E]), 0, key))
p.send(bytes(range(13)))
p.send(seal(notification(1, 8, "10.1.2.3", "bob"), 0, "another-key"))
p.send(seal(notification(1, 9, "10.1.2.3", "bob"), 0, key))
# Nothing answered the heartbeat, the garbage or the wrong key: the next answer is bob's.
assert open_answer(p.answer(), 0, key) == (9, "logout OK")
PY
expect_exit "$EMU_PID" 10 0 "emulator a after --count"
python3 - "$WORK/a.jsonl" <<'PY'
import json, sys
lines = [json.loads(l) for l in open(sys.argv[1], encoding="utf-8")]
assert len(lines) == 5, lines
for l in lines:
    assert l.pop("from") == "127.0.0.1" and l.pop("port") > 0, l
expect = [
    {"type": "online", "sequence": 7, "address": "10.1.2.3", "user": "alice",
     "ad_path": "OU=Sales,DC=corp,DC=example", "org2": "", "org3": "", "length": 48, "answered": True},
    {"type": "heartbeat", "version": "3.1.10.3", "mac": "00:1a:2b:3c:4d:5e", "length": 32},
    {"type": "undecodable", "length": 13},
    {"type": "undecodable", "length": 16},
    {"type": "offline", "sequence": 9, "address": "10.1.2.3", "user": "bob", "length": 16, "answered": True},
]
for got, want in zip(lines, expect):
    assert got == want, "\n got  %r\n want %r" % (got, want)
PY
pass "general cipher: notifications, heartbeat, undecodable datagrams, answers, --count"

# --- enhanced cipher, GBK, key from a file, every other notification answered, SIGTERM ---
KEY_B='0123456789abcdefghij'
printf '%s\r\n' "$KEY_B" >"$WORK/b.key"
start_emu b /dev/null --encrypt-type 1 --encode-type 0 --key-file "$WORK/b.key" --answer every=2
python3 - "$EMU_PORT" "$KEY_B" <<'PY'
import sys
from gwpeer import *
port, key = int(sys.argv[1]), sys.argv[2]
p = Peer(port)
for seq in (1, 2):
    n = notification(0, seq, "192.168.7.20", "张三", ("OU=销售,DC=corp",), encoding="gbk")
    assert len(n) == 33
    p.send(seal(n, 1, key))
answer = p.answer()
assert len(answer) == 52 and answer[0] == 1 and answer[1] == 1 and answer[2:4] == b"\0\x10", answer[:4]
assert answer[35] == 0 and answer[4:20] == bytes(16)
assert open_answer(answer, 1, key) == (2, "login OK"), open_answer(answer, 1, key)
PY
wait_for 10 bash -c "[ \$(wc -l <'$WORK/b.stdout') -ge 2 ]" || fail "emulator b printed $(cat "$WORK/b.stdout")"
kill -TERM "$EMU_PID"
expect_exit "$EMU_PID" 10 0 "emulator b on SIGTERM"
python3 - "$WORK/b.stdout" <<'PY'
import json, sys
lines = [json.loads(l) for l in open(sys.argv[1], encoding="utf-8")]
assert [l["answered"] for l in lines] == [False, True], lines
for l, seq in zip(lines, (1, 2)):
    assert (l["type"], l["sequence"], l["user"], l["ad_path"], l["address"], l["length"]) == \
        ("online", seq, "张三", "OU=销售,DC=corp", "192.168.7.20", 36 + 48), l
PY
pass "enhanced cipher: GBK texts, key file, --answer every=2, SIGTERM"

# --- --answer never and --timeout: the emulator ends by itself ---
start_emu c /dev/null --encrypt-type 1 --answer never --timeout 3
python3 - "$EMU_PORT" <<'PY'
import sys
from gwpeer import *
Peer(int(sys.argv[1])).send(seal(notification(1, 3, "10.0.0.1", "carol"), 1, ""))
PY
expect_exit "$EMU_PID" 10 0 "emulator c after --timeout"
grep -q '^{"type":"offline","sequence":3,"address":"10.0.0.1","user":"carol",.*"answered":false}$' "$WORK/c.stdout" \
  || fail "emulator c printed: $(cat "$WORK/c.stdout")"
pass "--answer never with the all-zero key, --timeout"

# --- usage ---
rc=0; "$EMU" --help >"$WORK/help" 2>&1 || rc=$?
[ $rc = 0 ] && grep -q -- '--key-file FILE' "$WORK/help" || fail "--help"
for args in "" "--listen 127.0.0.1:99999" "--listen 5000 --encrypt-type 2" "--listen 5000 --key secret" \
            "--listen 5000 --key-stdin --key-file x" "--listen 5000 --answer every=0" "--listen 5000 --bogus"; do
  rc=0; "$EMU" $args </dev/null >/dev/null 2>"$WORK/usage.err" || rc=$?
  [ $rc = 2 ] || fail "'$args' exited $rc, expected 2"
  grep -q 'orvane-gwemu: ' "$WORK/usage.err" || fail "'$args' gave no message"
done
grep -q -- '--key-stdin or --key-file' <("$EMU" --listen 5000 --key secret 2>&1 || true) || fail "--key message"
rc=0; "$EMU" --listen 5000 --key-file "$WORK/none" 2>/dev/null || rc=$?
[ $rc = 2 ] || fail "a missing key file exited $rc"
pass "usage errors and --help"
