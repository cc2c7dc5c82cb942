#!/usr/bin/env bash
# Directory lookups of the worker against real Samba AD domain controllers (StartTLS, simple
# bind, one search per lookup): AD paths, the domain prefix test, lastLogon before and after a
# Kerberos logon, server order, servers that are down, silent or untrusted, a DC restart under
# a bound handle, and the lookup rate against a bare libldap loop. Argument: the build folder.
set -euo pipefail
BUILD=$(cd "${1:?usage: test_directory.sh BUILD_DIR}" && pwd)
ROOT=$(cd "$(dirname "${BASH_SOURCE[0]}")/../.." && pwd)
FIX="$ROOT/tests/fixtures"
PROBE="$BUILD/bin/orvane_directory_probe"

if [ -z "${ORVANE_NETNS:-}" ]; then
    [ "$(id -u)" -eq 0 ] || { echo "SKIP: needs root for a private network namespace"; exit 0; }
    "$FIX/netns-run" --check || { echo "SKIP: unshare cannot create namespaces here"; exit 0; }
    exec "$FIX/netns-run" bash "${BASH_SOURCE[0]}" "$BUILD"
fi
[ -x "$PROBE" ] || { echo "FAIL: $PROBE not built" >&2; exit 1; }

WORK=$(mktemp -d "$BUILD/directory-test.XXXXXX")
DC1="$WORK/dc1"
DC2="$WORK/dc2"
SILENT_PID=""
cleanup() {
    [ -z "$SILENT_PID" ] || kill "$SILENT_PID" 2>/dev/null || true
    "$FIX/samba/samba-dc" stop "$DC1" || true
    "$FIX/samba/samba-dc" stop "$DC2" || true
    rm -rf "$WORK"
}
trap cleanup EXIT
trap 'exit 130' INT TERM

failures=0
fail() { echo "FAIL: $*" >&2; failures=$((failures + 1)); }
pass() { echo "ok: $*"; }
now_ms() { echo $(( $(date +%s%N) / 1000000 )); }

dc() { "$FIX/samba/samba-dc" "$@"; }
TEMPLATE="$BUILD/samba-dc-template"
dc start "$DC1" --address 10.99.0.1 --template "$TEMPLATE"
dc start "$DC2" --address 10.99.0.2 --template "$TEMPLATE"
# shellcheck disable=SC1091
. "$DC1/env"   # LDAPTLS_CACERT (both DCs share the template's CA), admin password
ADMIN_PW=$SAMBA_DC_ADMIN_PASSWORD
BASE=$SAMBA_DC_BASE_DN

dc add-ou "$DC1" OU=Sales
dc add-user "$DC1" ann 'Ann-Pass-1' OU=Sales
dc add-user "$DC1" carl 'Carl-Pass-1'
dc add-user "$DC1" dora 'Dora-Pass-1' OU=Sales
dc add-user "$DC2" bob 'Bob-Pass-1'
dc add-user "$DC2" ann 'Ann-Pass-2'

# run NAME PROBE-ARGS... <<< commands: replies in $WORK/NAME.out, log in $WORK/NAME.log
run() {
    local name=$1; shift
    "$PROBE" "$@" >"$WORK/$name.out" 2>"$WORK/$name.log" || true
}
# expect NAME LINE-NUMBER REGEX: the reply on that line matches
expect() {
    local got; got=$(sed -n "${2}p" "$WORK/$1.out")
    if [[ "$got" =~ $3 ]]; then pass "$1 #$2: $got"; else fail "$1 #$2: '$got' does not match '$3'"; fi
}
expect_log() {
    if grep -qF -- "$2" "$WORK/$1.log"; then pass "$1 logs: $2"; else fail "$1 does not log: $2"; cat "$WORK/$1.log" >&2; fi
}
expect_no_log() {
    if grep -qF -- "$2" "$WORK/$1.log"; then fail "$1 logs: $2"; else pass "$1 does not log: $2"; fi
}

# DOMAIN\user on the first server: client-report mode binds with the user part (qualified
# with the naming context's DNS domain), log-query mode ("find") with the whole name.
BOTH=(--server 10.99.0.1 --user 'CORP\Administrator' --password "$ADMIN_PW"
      --server 10.99.0.2 --user Administrator --password "$ADMIN_PW")

# --- AD paths, domain prefix test, server order, log-query lookup --------------------------
run lookups "${BOTH[@]}" <<'EOF'
connect
verify ann dc=corp
verify ann dc=corp,dc=example,dc=com
verify ann DC=CORP,DC=EXAMPLE
verify ann corp.example.com
verify carl dc=corp
verify bob dc=corp
verify dora dc=corp
verify a* dc=corp
verify nobody dc=corp
find ann
find carl
find nobody
EOF
expect lookups 1 '^connect slots=2 '
expect_log lookups '[INF]Open AD (10.99.0.1) success in initialization!'
expect_log lookups '[INF]Open AD (10.99.0.2) success in initialization!'
expect lookups 2 "^verify ok adpath=OU=Sales,$BASE lastlogon=0 "
expect lookups 3 "^verify ok adpath=OU=Sales,$BASE lastlogon=0 "
expect lookups 4 "^verify ok adpath=OU=Sales,$BASE "
expect lookups 5 '^verify fail 0x80004005 '
expect lookups 6 "^verify ok adpath=$BASE lastlogon=0 "
expect lookups 7 "^verify ok adpath=$BASE lastlogon=0 "
expect lookups 8 "^verify ok adpath=OU=Sales,$BASE lastlogon=0 "
expect lookups 9 '^verify fail 0x80004005 '
expect lookups 10 '^verify fail 0x80004005 '
expect lookups 11 "^find ok adpath=OU=Sales,$BASE user=ann "
expect lookups 12 "^find ok adpath=$BASE user=carl "
expect lookups 13 '^find fail 0x80004005 '
expect_log lookups '[ERR]Fail to execute the search,adserv count = 0.'
expect_log lookups '[ERR]Fail to execute the search,adserv count = 1.'
expect_log lookups '[INF]10.99.0.1: Open AD Success!'

# The lower slot vouches: with DC2 first, ann is DC2's ann (in CN=Users).
run order --server 10.99.0.2 --user Administrator --password "$ADMIN_PW" \
          --server 10.99.0.1 --user Administrator --password "$ADMIN_PW" <<'EOF'
verify ann dc=corp
EOF
expect order 2 "^verify ok adpath=$BASE lastlogon=0 "

# --- lastLogon moves with a real Kerberos logon --------------------------------------------
dc kinit "$DC1" dora 'Dora-Pass-1'
deadline=$(( $(date +%s) + 20 ))
while :; do
    run logon --server 10.99.0.1 --user Administrator --password "$ADMIN_PW" <<'EOF'
verify dora dc=corp
now
EOF
    last=$(sed -n 's/^verify ok .*lastlogon=\([0-9-]*\) .*/\1/p' "$WORK/logon.out")
    [ -n "$last" ] && [ "$last" != 0 ] && break
    [ "$(date +%s)" -lt "$deadline" ] || break
    sleep 0.2
done
now=$(sed -n 's/^now //p' "$WORK/logon.out")
if [ -n "$last" ] && [ "$last" != 0 ] && [ $(( now - last )) -ge 0 ] && [ $(( now - last )) -lt 120 ]; then
    pass "lastLogon after kinit is $last, now is $now on the same scale"
else
    fail "lastLogon after kinit: '$last' (now $now)"
fi

# --- a server that is down: refused at once, the next server answers ------------------------
t0=$(now_ms)
run down --server 10.99.0.9 --user Administrator --password "$ADMIN_PW" \
         --server 10.99.0.1 --user Administrator --password "$ADMIN_PW" <<'EOF'
verify ann dc=corp
verify ann dc=corp
EOF
elapsed=$(( $(now_ms) - t0 ))
expect down 2 "^verify ok adpath=OU=Sales,$BASE "
expect down 3 "^verify ok adpath=OU=Sales,$BASE "
expect_log down '[ERR]Connect ad fail in initialization 10.99.0.9: error 0x'
expect_log down '[INF]The count of reconnect is 0, it needs to reconnect AD(10.99.0.9)!'
expect_log down '[ERR]Fail to connect ad (10.99.0.9). error 0x'
expect_log down '[ERR]Reconnect AD fail (10.99.0.9)!'
# The second lookup does not try 10.99.0.9 again: its failure is less than 180 s old.
[ "$(grep -c 'Reconnect AD fail (10.99.0.9)' "$WORK/down.log")" = 1 ] && pass "down server retried once" \
    || fail "down server retried more than once"
[ "$elapsed" -lt 3000 ] && pass "down server cost ${elapsed} ms" || fail "down server cost ${elapsed} ms"

# --- a server that accepts connections and never answers: bounded by the 5 s timeout -------
python3 -c '
import socket, time
s = socket.socket(); s.setsockopt(socket.SOL_SOCKET, socket.SO_REUSEADDR, 1)
s.bind(("10.99.0.3", 389)); s.listen(16)
while True: time.sleep(3600)
' &
SILENT_PID=$!
deadline=$(( $(date +%s) + 10 ))
until (exec 3<>/dev/tcp/10.99.0.3/389) 2>/dev/null; do
    [ "$(date +%s)" -lt "$deadline" ] || { fail "silent server did not listen"; break; }
    sleep 0.05
done
t0=$(now_ms)
run silent --server 10.99.0.3 --user Administrator --password "$ADMIN_PW" \
           --server 10.99.0.1 --user Administrator --password "$ADMIN_PW" <<'EOF'
connect
verify ann dc=corp
verify ann dc=corp
EOF
elapsed=$(( $(now_ms) - t0 ))
expect silent 1 '^connect slots=2 '
expect silent 2 "^verify ok adpath=OU=Sales,$BASE "
expect silent 3 "^verify ok adpath=OU=Sales,$BASE "
expect_log silent '[ERR]Connect ad fail in initialization 10.99.0.3: error 0x6E: Connection timed out'
connect_ms=$(sed -n 's/^connect slots=2 ms=\([0-9]*\).*/\1/p' "$WORK/silent.out")
first_ms=$(sed -n '2s/.* ms=\([0-9]*\).*/\1/p' "$WORK/silent.out")
second_ms=$(sed -n '3s/.* ms=\([0-9]*\).*/\1/p' "$WORK/silent.out")
# Start-up and the first lookup each wait one timeout for the silent server; the second
# lookup skips it (reconnection failed less than 180 s ago).
if [ "${connect_ms:-0}" -ge 4500 ] && [ "${connect_ms:-0}" -lt 8000 ] && [ "${first_ms:-0}" -lt 8000 ] \
        && [ "${second_ms:-99999}" -lt 1000 ]; then
    pass "silent server bounded: connect ${connect_ms} ms, lookups ${first_ms} / ${second_ms} ms"
else
    fail "silent server: connect ${connect_ms} ms, lookups ${first_ms} / ${second_ms} ms (total ${elapsed})"
fi
kill "$SILENT_PID" 2>/dev/null || true
wait "$SILENT_PID" 2>/dev/null || true
SILENT_PID=""

# --- refused credentials, untrusted certificate (no fallback to clear text) -----------------
run badpw --server 10.99.0.1 --user Administrator --password 'wrong' <<'EOF'
verify ann dc=corp
EOF
expect badpw 2 '^verify fail 0x80004005 '
expect_log badpw '[ERR]Bind domain fail in initialization10.99.0.1: error 0xD: Permission denied'
expect_log badpw '[ERR]fail to bind Domain 10.99.0.1: error 0xD: Permission denied'

openssl req -x509 -newkey rsa:2048 -nodes -keyout "$WORK/other.key" -out "$WORK/other-ca.pem" -days 1 \
    -subj "/CN=Other CA" >/dev/null 2>&1
LDAPTLS_CACERT="$WORK/other-ca.pem" run untrusted --server 10.99.0.1 --user Administrator --password "$ADMIN_PW" <<'EOF'
verify ann dc=corp
EOF
expect untrusted 2 '^verify fail 0x80004005 '
expect_log untrusted '[ERR]Connect ad fail in initialization 10.99.0.1: error 0x47: Protocol error'

# --- a DC restart under a bound handle: the slot keeps its handle, which binds again ---------
coproc PROBE_CO { "$PROBE" --server 10.99.0.1 --user Administrator --password "$ADMIN_PW" 2>"$WORK/restart.log"; }
# Kept now: bash unsets PROBE_CO_PID as soon as the probe has ended.
probe_pid=$PROBE_CO_PID
ask() {
    local reply=""
    echo "$1" >&"${PROBE_CO[1]}"
    read -r -t 30 reply <&"${PROBE_CO[0]}" || true
    echo "$reply"
}
r0=$(ask "connect")
r1=$(ask "verify ann dc=corp")
dc restart "$DC1"
r2=$(ask "verify ann dc=corp")
eval "exec ${PROBE_CO[1]}>&-"
wait "$probe_pid" 2>/dev/null || true
[[ "$r0" == "connect slots=1 "* ]] || fail "connect: $r0"
[[ "$r1" == "verify ok adpath=OU=Sales,$BASE "* ]] && pass "before restart: $r1" || fail "before restart: $r1"
[[ "$r2" == "verify ok adpath=OU=Sales,$BASE "* ]] && pass "after restart: $r2" || fail "after restart: $r2"
expect_no_log restart 'Reconnect AD'

# --- lookup rate: VerifyUser against a bare libldap loop, same filter, same DC -------------
run bench --server 10.99.0.1 --user Administrator --password "$ADMIN_PW" <<'EOF'
compare 1000 5 ann dc=corp
EOF
if grep -q '^compare n=1000 rounds=5 verifyuser_per_second=[0-9]* raw_per_second=[0-9]*$' "$WORK/bench.out"; then
    pass "benchmark: $(grep '^compare' "$WORK/bench.out")"
else
    fail "benchmark: $(cat "$WORK/bench.out")"
fi

if [ "$failures" -ne 0 ]; then
    echo "FAIL: $failures check(s) of the directory lookups failed"
    exit 1
fi
echo "PASS: directory lookups"
