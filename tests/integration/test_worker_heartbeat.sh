#!/usr/bin/env bash
# Heartbeats of the installed worker: both ciphers, two gateways each, about every 5 s; a worker
# started with one argument sends none.
source "$(dirname "$0")/lib/common.sh"
install_program_folder
KEY='device-share-key-1'
printf '%s\n' "$KEY" >"$WORK/device.key"
PROTECTED=$(protect "$KEY")

# configure FOLDER ENCRYPT PORT0 PORT1
configure() {
  local PROG=$1; shift
  ini_set "$PROG/config.ini" ModelType Value 0
  ini_set "$PROG/config.ini" EncryptType Value "$1"
  ini_set "$PROG/config.ini" FirewallShareKey Value "$PROTECTED"
  ini_set "$PROG/config.ini" FirewallNum Value 2
  ini_set "$PROG/config.ini" Firewall0 Ip 127.0.0.1
  ini_set "$PROG/config.ini" Firewall0 Port "$2"
  ini_set "$PROG/config.ini" Firewall1 Ip 127.0.0.1
  ini_set "$PROG/config.ini" Firewall1 Port "$3"
  ini_set "$PROG/config.ini" ListenPort Value 0
}

# A worker with one argument, in a program folder of its own, runs during the whole test.
PROG_QUIET="$WORK/prog-quiet"
cmake --install "$BUILD" --prefix "$PROG_QUIET" >/dev/null
start_gwemu quiet "$WORK/device.key" --encrypt-type 1
configure "$PROG_QUIET" 1 "$EMU_PORT" "$EMU_PORT"
quiet_start=$SECONDS
"$PROG_QUIET/Orvane" 127.0.0.1 &
PIDS+=("$!")

for encrypt in 0 1; do
  expected_len=$([ "$encrypt" = 0 ] && echo 32 || echo 68)
  start_gwemu "g${encrypt}a" "$WORK/device.key" --encrypt-type "$encrypt"; p0=$EMU_PORT
  start_gwemu "g${encrypt}b" "$WORK/device.key" --encrypt-type "$encrypt"; p1=$EMU_PORT
  configure "$PROG" "$encrypt" "$p0" "$p1"
  start=$SECONDS
  "$PROG/Orvane" . 0 &
  wpid=$!; PIDS+=("$wpid")
  for g in a b; do
    f="$WORK/g${encrypt}${g}.jsonl"
    wait_for 20 at_least 3 "$f" '"type":"heartbeat"' \
      || fail "EncryptType $encrypt gateway $g: fewer than 3 heartbeats in 20 s: $(cat "$f" 2>/dev/null)"
    python3 - "$f" "$expected_len" <<'PY' || fail "EncryptType $encrypt gateway $g: heartbeat content"
import json, sys, re
beats = [json.loads(l) for l in open(sys.argv[1]) if '"heartbeat"' in l]
for b in beats:
    assert b["length"] == int(sys.argv[2]), b
    assert re.fullmatch(r"\d+\.\d+\.\d+\.\d+", b["version"]), b
    assert re.fullmatch(r"([0-9a-f]{2}:){5}[0-9a-f]{2}", b["mac"]), b
PY
  done
  elapsed=$((SECONDS - start))
  # Three heartbeats need two 5-second gaps.
  [ "$elapsed" -ge 9 ] || fail "EncryptType $encrypt: three heartbeats came too fast (${elapsed} s)"
  kill "$wpid"; wait "$wpid" 2>/dev/null || true
  pass "EncryptType $encrypt: heartbeats of $expected_len bytes to both gateways"
done

[ "$(count_lines "$WORK/quiet.jsonl" heartbeat)" = 0 ] || fail "a worker with one argument sent heartbeats"
pass "no heartbeats without the flag (over $((SECONDS - quiet_start)) s)"
echo "3 passed, 0 failed"
