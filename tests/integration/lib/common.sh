# Shared by the integration scripts: a private program folder, waiting with deadlines, log reading.
# Usage: source it, then `install_program_folder "$BUILD"`.
set -euo pipefail

BUILD=${1:?usage: $0 BUILD_DIR}
BUILD=$(cd "$BUILD" && pwd)
SRC=$(cd "$(dirname "${BASH_SOURCE[0]}")/../../.." && pwd)
WORK=$(mktemp -d /tmp/orvane-it-XXXXXX)
PIDS=()

cleanup() {
  local p
  for p in "${PIDS[@]:-}"; do
    [ -n "$p" ] && kill -9 "$p" 2>/dev/null || true
  done
  for p in "${PIDS[@]:-}"; do
    [ -n "$p" ] && wait "$p" 2>/dev/null || true
  done
  rm -rf "$WORK"
}
trap cleanup EXIT

# Keep every named lock, machine key and clean-up folder of the test inside its work folder.
export ORVANE_LOCK_DIR="$WORK/locks"
export ORVANE_MACHINE_KEY="$WORK/machine.key"
export ORVANE_PROGRAM_FILES="$WORK/programfiles"
export ORVANE_STATE_DIR="$WORK/state"
mkdir -p "$ORVANE_LOCK_DIR"

fail() { echo "FAIL: $*" >&2; exit 1; }
pass() { echo "PASS: $*"; }

install_program_folder() {
  PROG="$WORK/prog"
  cmake --install "$BUILD" --prefix "$PROG" >/dev/null
  [ -x "$PROG/Orvane" ] || fail "no Orvane in the installed program folder"
  [ -f "$PROG/config.ini" ] || fail "no config.ini in the installed program folder"
  [ -d "$PROG/log" ] || fail "no log folder in the installed program folder"
}

# wait_for SECONDS COMMAND...: polls until COMMAND succeeds or the deadline passes.
wait_for() {
  local limit=$1; shift
  local end=$((SECONDS + limit))
  until "$@"; do
    [ $SECONDS -ge $end ] && return 1
    sleep 0.05
  done
}

# all_stopped PID: every thread of PID is stopped. A stop signal takes effect when each thread is
# next scheduled, not when kill returns: on a busy machine a thread can still answer for a while.
all_stopped() {
  local stat state
  for stat in /proc/"$1"/task/*/stat; do
    state=$(sed 's/^.*) \(.\).*$/\1/' "$stat" 2>/dev/null) || return 1
    [ "$state" = T ] || [ "$state" = t ] || return 1
  done
}
# stop_process PID: SIGSTOP, returning once the whole process has stopped.
stop_process() {
  kill -STOP "$1"
  wait_for 10 all_stopped "$1" || fail "process $1 did not stop"
}

# The decoded text (UTF-8) of a worker log file, with its BOM checked.
log_text() {
  python3 - "$1" <<'PY'
import sys
raw = open(sys.argv[1], 'rb').read()
if raw[:2] != b'\xff\xfe':
    sys.exit("no UTF-16LE byte-order mark in " + sys.argv[1])
sys.stdout.write(raw[2:].decode('utf-16-le'))
PY
}

# ini_set FILE SECTION KEY VALUE [SECTION KEY VALUE ...]: sets values (sections created when missing).
ini_set() { python3 "$SRC/tests/integration/lib/ini.py" set "$@"; }
# ini_remove FILE SECTION: removes a whole section.
ini_remove() { python3 "$SRC/tests/integration/lib/ini.py" remove "$@"; }

# start_gwemu NAME KEYFILE ARGS...: starts a gateway emulator on a free loopback port with the
# share key from KEYFILE and waits until it is bound; sets EMU_PID and EMU_PORT. Its JSON lines
# go to $WORK/NAME.jsonl. GWEMU_PORT asks for that port instead of a free one, GWEMU_ADDRESS for
# another loopback address than 127.0.0.1.
start_gwemu() {
  local name=$1 keyfile=$2 address=${GWEMU_ADDRESS:-127.0.0.1}; shift 2
  "$BUILD/bin/orvane-gwemu" --listen "$address:${GWEMU_PORT:-0}" --key-file "$keyfile" --out "$WORK/$name.jsonl" "$@" \
    >/dev/null 2>"$WORK/$name.err" &
  EMU_PID=$!
  PIDS+=("$EMU_PID")
  wait_for 10 grep -qs "^listening on ${address//./\\.}:[0-9]*\$" "$WORK/$name.err" \
    || fail "$name: emulator not listening: $(cat "$WORK/$name.err")"
  EMU_PORT=$(sed -n "s/^listening on ${address//./\\.}:\\([0-9]*\\)\$/\\1/p" "$WORK/$name.err")
}

# protect SECRET: the protected text of SECRET under this test's machine key.
protect() { printf '%s\n' "$1" | "$PROG/orvanectl" protect; }

# count_lines FILE PATTERN: number of lines of FILE matching PATTERN (0 when FILE is missing).
count_lines() { local n=0; [ -f "$1" ] && n=$(grep -c -- "$2" "$1" || true); echo "${n:-0}"; }

# at_least N FILE PATTERN: FILE has at least N lines matching PATTERN (for wait_for).
at_least() { [ "$(count_lines "$2" "$3")" -ge "$1" ]; }

# client_namespace DC_ADDRESS CLIENT_ADDRESS: a client host in a network namespace of its own,
# held by a sleeping process and joined to this one by a veth pair (dc0 here with DC_ADDRESS/24,
# client0 there with CLIENT_ADDRESS/24); defines on_client COMMAND... It goes away with the
# test's namespace.
client_namespace() {
  ip link add dc0 type veth peer name client0
  ip addr add "$1/24" dev dc0
  ip link set dc0 up
  unshare --net sleep 3600 &
  CLIENT_NS=$!; PIDS+=("$CLIENT_NS")
  wait_for 5 bash -c '[ "$(readlink "/proc/$1/ns/net")" != "$(readlink /proc/self/ns/net)" ]' _ "$CLIENT_NS" \
    || fail "client namespace not created"
  ip link set client0 netns "/proc/$CLIENT_NS/ns/net"
  on_client ip link set lo up
  on_client ip addr add "$2/24" dev client0
  on_client ip link set client0 up
}
on_client() { nsenter --net="/proc/$CLIENT_NS/ns/net" "$@"; }

# send_report PORT KIND USER FROM: one client report (KIND 0 logon, 1 logoff) of USER in
# corp.example.com, sealed with the key in $WORK/client.key, sent from the address FROM to the
# worker's PORT on 127.0.0.1; fails unless it is acknowledged.
send_report() {
  local r="$SRC/tests/integration/lib/reports.py"
  python3 "$r" seal --key-file "$WORK/client.key" --text "DEDOVEROZ$2|$3|dc=corp,dc=example,dc=com|PC01" \
    | python3 -c 'import sys; open(sys.argv[1], "wb").write(bytes.fromhex(sys.stdin.read().strip()))' "$WORK/report.bin"
  [ "$(python3 "$r" send "$WORK/report.bin" --to "$1" --from "$4" --acks 1)" = acks=1 ] \
    || fail "the report of $3 from $4 is not acknowledged"
}

# Log-query tests: the client host's on_client, DC (the fixture's folder) and SAMBA_DC_REALM set.
# client_kinit PRINCIPAL PASSWORD: a Kerberos logon from the client host (may fail).
client_kinit() {
  printf '%s\n' "$2" | on_client env KRB5_CONFIG="$DC/krb5.conf" KRB5CCNAME="FILE:$WORK/cc.client" \
    kinit "$1@$SAMBA_DC_REALM" >/dev/null 2>&1
}

# log_query_config DC_ADDRESS: a gateway emulator "gw" (its lines in $WORK/gw.jsonl) and a
# config.ini for log-query mode against that DC with its administrator account, QueryTime 3.
log_query_config() {
  DEVICE_KEY='device-share-key'
  printf '%s\n' "$DEVICE_KEY" >"$WORK/device.key"
  start_gwemu gw "$WORK/device.key" --encrypt-type 1 --answer always
  ini_set "$PROG/config.ini" ModelType Value 1  EncryptType Value 1  EncodeType Value 1  LogLevel Value 1 \
    QueryTime Value 3  FirewallShareKey Value "$(protect "$DEVICE_KEY")" \
    AdServerNum Value 1  AdServer0 Ip "$1"  AdServer0 UserName 'CORP\Administrator' \
    AdServer0 Password "$(protect "$SAMBA_DC_ADMIN_PASSWORD")"  AdServer0 FilterGroups '' \
    FirewallNum Value 1  Firewall0 Ip 127.0.0.1  Firewall0 Port "$EMU_PORT"
}

# last_online FILE: the last online notification in FILE (a gateway emulator's JSON lines);
# heartbeats go on meanwhile, so the last line of the file may be one of them.
last_online() { grep '"type":"online"' "$1" | tail -1; }

# expect_online FILE USER ADDRESS AD_PATH: the first online notification in FILE (a gateway
# emulator's JSON lines) is for USER at ADDRESS with AD_PATH, and the gateway answered it.
expect_online() {
  python3 - "$@" <<'PY' || fail "online notification content: $(cat "$1")"
import json, sys
path, user, address, ad_path = sys.argv[1:5]
n = [json.loads(l) for l in open(path) if '"online"' in l][0]
assert n["user"] == user and n["address"] == address, n
assert n["ad_path"] == ad_path, n
assert n["answered"] is True, n
PY
}
