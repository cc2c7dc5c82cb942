#!/usr/bin/env bash
# The installed orvane-reportsend against a stand-in worker on loopback: the datagram it sends is
# checked with the openssl tool (an independent AES implementation), the acknowledgement is seen,
# a silent worker is reported as such, and the key never comes from the command line.
source "$(dirname "$0")/lib/common.sh"
install_program_folder
SEND="$PROG/orvane-reportsend"
[ -x "$SEND" ] || fail "no orvane-reportsend in the installed program folder"

# peer MODE: a UDP peer on 127.0.0.1 that stores the first datagram in $WORK/datagram and, in
# mode ack, answers "DEDOVEROZ". Its port is written to $WORK/port.
peer() {
  rm -f "$WORK/port" "$WORK/datagram"
  python3 - "$1" "$WORK" <<'PY' &
import socket, sys
mode, work = sys.argv[1], sys.argv[2]
s = socket.socket(socket.AF_INET, socket.SOCK_DGRAM)
s.bind(("127.0.0.1", 0))
s.settimeout(20)
open(work + "/port.tmp", "w").write(str(s.getsockname()[1]))
import os; os.rename(work + "/port.tmp", work + "/port")
data, addr = s.recvfrom(4096)
open(work + "/datagram", "wb").write(data)
if mode == "ack":
    s.sendto(b"DEDOVEROZ", addr)
PY
  PIDS+=("$!")
  wait_for 10 test -s "$WORK/port" || fail "the stand-in worker did not start"
  PORT=$(cat "$WORK/port")
}

peer ack
out=$(printf 'Orvane-Share-Key-2024\n' | "$SEND" --to "127.0.0.1:$PORT" --user ann \
        --domain "CN=Ann Lee,OU=Sales,DC=Corp,DC=Example,DC=Com" --computer PC01 --key-stdin --wait-ack 5) \
  || fail "reportsend against an acknowledging peer: exit $?: $out"
grep -q 'acknowledged: "DEDOVEROZ" came back' <<<"$out" || fail "no acknowledgement line: $out"
hex=$(od -An -tx1 -v "$WORK/datagram" | tr -d ' \n')
[ ${#hex} -eq 168 ] || fail "datagram is $(( ${#hex} / 2 )) bytes, expected 84"
[ "${hex:0:8}" = "00010030" ] || fail "header starts ${hex:0:8}, expected 00010030"
[ "${hex:8:32}" = "00000000000000000000000000000000" ] || fail "bytes 4-19 not zero"
[ "${hex:70:2}" = "00" ] || fail "last IV byte not zero"
key=$(printf 'Orvane-Share-Key-2024' | head -c 16 | od -An -tx1 -v | tr -d ' \n')
tail -c 48 "$WORK/datagram" > "$WORK/body"
openssl enc -d -aes-128-cbc -nopad -K "$key" -iv "${hex:40:32}" -in "$WORK/body" -out "$WORK/plain" \
  || fail "openssl could not decrypt the body"
expected=$( { printf 'DEDOVEROZ0|ann|dc=corp,dc=example,dc=com|PC01'; head -c 3 /dev/zero; } | od -An -tx1 -v | tr -d ' \n')
[ "$(od -An -tx1 -v "$WORK/plain" | tr -d ' \n')" = "$expected" ] || fail "decrypted text differs"
pass "84-byte report as documented, decrypted by openssl, acknowledgement seen"

peer silent
printf 'k\n' > "$WORK/keyfile"
set +e
out=$("$SEND" --to "127.0.0.1:$PORT" --kind logoff --user bob --domain corp.example.com --computer PC02 \
        --key-file "$WORK/keyfile" --wait-ack 1)
rc=$?
set -e
[ $rc -eq 3 ] || fail "silent peer: exit $rc, expected 3: $out"
grep -q 'no acknowledgement' <<<"$out" || fail "silent peer: $out"
wait_for 5 test -s "$WORK/datagram" || fail "silent peer got nothing"
[ "$(head -c 4 "$WORK/datagram" | od -An -tx1 | tr -d ' \n')" = "00010030" ] || fail "logoff datagram header"
pass "no acknowledgement: exit 3"

set +e
"$SEND" --to 127.0.0.1:9 --user ann --domain dc=x --key secret >/dev/null 2>"$WORK/err"; rc=$?
set -e
[ $rc -eq 2 ] && grep -q 'not taken from the command line' "$WORK/err" || fail "a key on the command line was not refused"
"$SEND" --help | grep -q 'Usage: orvane-reportsend' || fail "no --help"
pass "key refused on the command line, --help"
echo "3 passed, 0 failed"
