#!/usr/bin/env bash
# The service in log-query mode under a real systemd: one worker per directory server with the
# documented command lines, heartbeats from the first only (seen at a gateway emulator), and a
# second worker that cannot start ending the first with nothing restarted afterwards.
source "$(dirname "$0")/lib/common.sh"
source "$(dirname "$0")/lib/systemd.sh"
require_systemd_fixture
install_program_folder
boot_systemd
GW_PORT=40123   # the booted systemd has a network of its own

KEY='device-share-key-9'
printf '%s\n' "$KEY" >"$WORK/device.key"
PROTECTED=$(printf '%s\n' "$KEY" | inside "$IPROG/orvanectl" protect) || fail "protect inside"
# Directory servers nobody answers at: the workers only have to start.
ini_set "$PROG/config.ini" ModelType Value 1 QueryTime Value 5 EncryptType Value 1 \
  FirewallShareKey Value "$PROTECTED" FirewallNum Value 1 Firewall0 Ip 127.0.0.1 Firewall0 Port "$GW_PORT" \
  AdServerNum Value 3 AdServer0 Ip 127.0.0.2 AdServer1 Ip 127.0.0.3 AdServer2 Ip 127.0.0.4
sctl_run --unit=gwemu "$IPROG/orvane-gwemu" --listen "127.0.0.1:$GW_PORT" --key-file "$INNER/device.key" \
  --encrypt-type 1 --out "$INNER/gw.jsonl"
wait_for 10 bash -c "$SDNS run $SD ss -uln | grep -q ':$GW_PORT '" || fail "gateway emulator not listening"

inside "$IPROG/OrvaneSRV" -install
sctl start OrvaneSRV || fail "start failed"
main=$(unit_prop MainPID)
children() { inside pgrep -P "$main" -x Orvane | sort -n | tr '\n' ' '; }
wait_for 5 bash -c "[ \$(echo \$($SDNS run $SD pgrep -c -P $main -x Orvane)) = 3 ]" || fail "not three workers: $(children)"
set -- $(children)
[ "$(cmdline_of "$1")" = "$IPROG/Orvane 127.0.0.2 0" ] || fail "first worker: '$(cmdline_of "$1")'"
[ "$(cmdline_of "$2")" = "$IPROG/Orvane 127.0.0.3" ] || fail "second worker: '$(cmdline_of "$2")'"
[ "$(cmdline_of "$3")" = "$IPROG/Orvane 127.0.0.4" ] || fail "third worker: '$(cmdline_of "$3")'"
pass "three workers, in server order, only the first with the heartbeat flag"

wait_for 15 at_least 2 "$WORK/gw.jsonl" '"type":"heartbeat"' || fail "fewer than 2 heartbeats: $(cat "$WORK/gw.jsonl" 2>/dev/null)"
python3 - "$WORK/gw.jsonl" <<'PY' || fail "heartbeats from more than one worker: $(cat "$WORK/gw.jsonl")"
import json, sys
ports = {json.loads(l)["port"] for l in open(sys.argv[1]) if '"heartbeat"' in l}
assert len(ports) == 1, ports
PY
pass "heartbeats come from one worker only"
sctl stop OrvaneSRV
[ -z "$(worker_pids)" ] || fail "workers left after stop: $(worker_pids)"

# The second worker cannot start: its program file stops being executable as soon as the first
# runs (the service waits 100 ms between the two).
python3 - "$IPROG/Orvane" "$PROG/Orvane" "$WORK/watching" <<'PY' &
import os, sys, time
want = (sys.argv[1] + "\x00" + "127.0.0.2\x00").encode()
end = time.time() + 20
open(sys.argv[3], "w").close()
while time.time() < end:
    for pid in os.listdir("/proc"):
        if not pid.isdigit():
            continue
        try:
            with open(f"/proc/{pid}/cmdline", "rb") as f:
                if f.read().startswith(want):
                    os.chmod(sys.argv[2], 0o644)
                    sys.exit(0)
        except OSError:
            pass
sys.exit(1)
PY
WATCH=$!
wait_for 10 test -e "$WORK/watching" || fail "watcher did not start"
sctl start OrvaneSRV || fail "second start failed"
wait "$WATCH" || fail "the first worker was never seen"
main=$(unit_prop MainPID)
wait_for 5 srv_log_has "[ERR]QueryLogModule:Create the process of IP's 127.0.0.3 failed! ErrorNum:13" \
  || fail "no start failure logged: $(srv_log); workers: $(children); mode: $(stat -c %a "$PROG/Orvane")"
chmod 755 "$PROG/Orvane"
wait_for 5 bash -c "[ -z \"\$($SDNS run $SD pgrep -P $main -x Orvane)\" ]" || fail "the first worker was not ended"
# The stopped state is not reported: systemd still sees the service active, but its status says
# that nothing runs, and why.
IDLE_WORKER="idle: the worker for 127.0.0.3 could not start: Permission denied"
status_is "$IDLE_WORKER" || fail "status: $(unit_prop StatusText)"
active_is active || fail "state: $(unit_prop ActiveState)"
[ "$(inside "$IPROG/orvanectl" service status)" = "running
$IDLE_WORKER" ] || fail "orvanectl service status: $(inside "$IPROG/orvanectl" service status 2>&1)"
since=$SECONDS
while [ $((SECONDS - since)) -lt 6 ]; do
  [ -z "$(worker_pids)" ] || fail "a worker was started after the failed start"
  sleep 0.5
done
sctl stop OrvaneSRV
active_is inactive || fail "not stopped"
pass "a second worker that cannot start ends the first; nothing restarts"

# No directory server, then no readable mode: the service runs idle and says why.
ini_set "$PROG/config.ini" AdServerNum Value 0
sctl start OrvaneSRV || fail "start without servers failed"
wait_for 5 srv_log_has "[ERR]Nothing AD service to stop!" || fail "no server count message: $(srv_log)"
status_is "idle: no directory server configured" || fail "status without servers: $(unit_prop StatusText)"
active_is active || fail "state without servers: $(unit_prop ActiveState)"
[ "$(inside "$IPROG/orvanectl" service status)" = "running
idle: no directory server configured" ] || fail "orvanectl without servers: $(inside "$IPROG/orvanectl" service status 2>&1)"
# No worker answers (exit 6), but the reason is printed.
grep -qxF "OrvaneSRV: idle: no directory server configured" <<<"$(inside "$IPROG/orvanectl" status 2>/dev/null)" \
  || fail "orvanectl status without servers: $(inside "$IPROG/orvanectl" status 2>&1)"
grep -qx "orvane_service_idle 1" <<<"$(inside "$IPROG/orvanectl" metrics 2>/dev/null)" \
  || fail "metrics without servers: $(inside "$IPROG/orvanectl" metrics 2>&1)"
# A pause and a continue restart nothing here, so the reason stays.
sctl kill --kill-whom=main -s SIGUSR1 OrvaneSRV
wait_for 5 status_is PAUSED || fail "not paused: $(unit_prop StatusText)"
sctl kill --kill-whom=main -s SIGUSR2 OrvaneSRV
wait_for 5 status_is "idle: no directory server configured" || fail "continue without servers: $(unit_prop StatusText)"
[ -z "$(worker_pids)" ] || fail "a worker started without servers"
sctl stop OrvaneSRV
ini_remove "$PROG/config.ini" ModelType
sctl start OrvaneSRV || fail "start without a mode failed"
wait_for 5 srv_log_has "[ERR]Read config info failed!" || fail "no config message: $(srv_log)"
expect_srv_log "[INF]Start the AD service...!" "[ERR]Read model type failed!" "[ERR]Read config info failed!"
status_is "idle: config.ini cannot be read: $IPROG/config.ini" || fail "status without a mode: $(unit_prop StatusText)"
sctl stop OrvaneSRV
active_is inactive || fail "idle service did not stop"
expect_srv_log "[INF]Start the AD service...!" "[ERR]Read model type failed!" "[ERR]Read config info failed!" \
  "[INF]Quit the AD service...!"
# Mended, the next start runs the workers and says so again.
ini_set "$PROG/config.ini" ModelType Value 1 AdServerNum Value 3
sctl start OrvaneSRV || fail "start after the mend failed"
main=$(unit_prop MainPID)
wait_for 5 bash -c "[ \$(echo \$($SDNS run $SD pgrep -c -P $main -x Orvane)) = 3 ]" || fail "no workers after the mend"
status_is RUNNING || fail "status after the mend: $(unit_prop StatusText)"
[ "$(inside "$IPROG/orvanectl" service status)" = running ] || fail "orvanectl after the mend: $(inside "$IPROG/orvanectl" service status 2>&1)"
grep -qx "orvane_service_idle 0" <<<"$(inside "$IPROG/orvanectl" metrics 2>/dev/null)" \
  || fail "metrics after the mend: $(inside "$IPROG/orvanectl" metrics 2>&1)"
! grep -q "^OrvaneSRV: idle" <<<"$(inside "$IPROG/orvanectl" status 2>/dev/null)" || fail "orvanectl status after the mend: $(inside "$IPROG/orvanectl" status 2>&1)"
sctl stop OrvaneSRV
pass "without servers or without a mode the service runs idle, says why, logs it and stops normally"

"$SDNS" poweroff "$SD"
echo "4 passed, 0 failed"
