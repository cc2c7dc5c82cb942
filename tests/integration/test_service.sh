#!/usr/bin/env bash
# The service OrvaneSRV under a real systemd (booted in namespaces over a root of its own):
# install twice, start, the worker and its command line, restart of a killed worker, pause and
# continue, other signals ignored, stop, a crash dump, a reboot that starts the enabled service
# (removing the status sockets killed workers left), and removal of a running, a stopped and a
# missing service.
source "$(dirname "$0")/lib/common.sh"
source "$(dirname "$0")/lib/systemd.sh"
require_systemd_fixture
install_program_folder
C="$PROG/config.ini"
ini_set "$C" ModelType Value 0 ListenPort Value 0 AdServerNum Value 3 \
  AdServer0 Ip 127.0.0.2 AdServer1 Ip 127.0.0.3 AdServer2 Ip 127.0.0.4

# Not started by systemd: the program ends at once, also with an install word and a second one.
"$PROG/OrvaneSRV" -INSTALL extra 2>/dev/null || fail "exit code not 0"
expect_srv_log "[INF]Start the AD service...!" "[INF]Quit the AD service...!"
"$PROG/OrvaneSRV" --help | grep -q -- -install || fail "no --help"
pass "outside systemd the service ends at once"

# Strays to be ended at start: processes whose executable is named Orvane, and one named orvane.
mkdir -p "$WORK/stray"
cp /bin/sleep "$WORK/stray/Orvane"
cp /bin/sleep "$WORK/stray/orvane"
cp "$BUILD/bin/orvane_service_probe" "$WORK/probe"
boot_systemd
# The service-manager layer as the console will use it; also for a caller that is not root.
inside cp "$INNER/probe" /usr/local/bin/orvane_service_probe
probe() { inside orvane_service_probe "$@"; }
probe_as_nobody() { inside setpriv --reuid=65534 --regid=65534 --clear-groups orvane_service_probe "$@"; }
expect_probe() { local want=$1 got; shift; got=$(probe "$@") || true; [ "$got" = "$want" ] || fail "probe $*: '$got', not '$want'"; }
expect_probe does-not-exist exists OrvaneSRV
expect_probe does-not-exist query OrvaneSRV
sctl_run --unit=stray-upper "$INNER/stray/Orvane" 600
sctl_run --unit=stray-lower "$INNER/stray/orvane" 600
# One of another user: the service keeps no ptrace capability to read its executable's link.
inside install -D -m 755 /bin/sleep /usr/local/lib/orvane-stray/Orvane
sctl_run --unit=stray-nobody --uid=nobody /usr/local/lib/orvane-stray/Orvane 600
wait_for 10 bash -c "[ \"\$($SDNS run $SD pgrep -c -x 'Orvane|orvane')\" = 3 ]" || fail "strays did not start"

inside "$IPROG/OrvaneSRV" -install
expect_srv_log "[INF]Start the AD service...!" "[INF]Create the service success!"
unit=$(inside cat /etc/systemd/system/OrvaneSRV.service)
grep -qx "ExecStart=\"$IPROG/OrvaneSRV\"" <<<"$unit" || fail "ExecStart: $unit"
grep -qx "Type=notify" <<<"$unit" || fail "not Type=notify: $unit"
grep -q "^Restart=" <<<"$unit" && fail "the unit has Restart="
[ "$(sctl is-enabled OrvaneSRV)" = enabled ] || fail "not enabled"
active_is inactive || fail "started by the installation"
inside "$IPROG/OrvaneSRV" -install
expect_srv_log "[INF]Start the AD service...!" "[ERR]The service already exists!"
[ "$(inside cat /etc/systemd/system/OrvaneSRV.service)" = "$unit" ] || fail "second install changed the unit"
expect_probe STOPPED query OrvaneSRV
expect_probe not-active stop OrvaneSRV
expect_probe not-active pause OrvaneSRV
pass "install writes an enabled, stopped unit once; the second logs that it exists"

# Start: one worker with ". 0", a child of the service; the stray Orvane is gone, orvane is not.
got=$(probe_as_nobody start OrvaneSRV) && fail "a caller that is not root started the service"
[ "$got" = access-denied ] || fail "start by nobody: '$got', not access-denied"
expect_probe ok start OrvaneSRV
status_is RUNNING || fail "status after start: $(unit_prop StatusText)"
expect_probe RUNNING query OrvaneSRV
[ "$(probe_as_nobody query OrvaneSRV)" = RUNNING ] || fail "nobody cannot query"
main=$(unit_prop MainPID)
wait_for 10 bash -c "[ \"\$($SDNS run $SD pgrep -P $main -d ' ' -x Orvane)\" != '' ]" || fail "no worker started"
w1=$(inside pgrep -P "$main" -x Orvane)
[ "$(cmdline_of "$w1")" = "$IPROG/Orvane . 0" ] || fail "worker command line: '$(cmdline_of "$w1")'"
[ "$(worker_count)" = 1 ] || fail "the stray Orvane still runs ($(worker_pids))"
inside pgrep -x orvane >/dev/null || fail "the process named orvane was ended"
expect_srv_log "[INF]Start the AD service...!"
pass "start: stray Orvane ended (also another user's), orvane left, one worker '$IPROG/Orvane . 0'"

# The sandbox of the unit: rated "OK" by systemd, and in force for the workers. They cannot gain
# privileges, keep only the capabilities the unit names, and see the file system read-only
# except the program folder's log/ and run/ (status sockets), /run/orvane (locks) and
# /var/lib/orvane (the machine key).
exposure=$(inside systemd-analyze security --no-pager OrvaneSRV 2>/dev/null \
  | sed -n 's/^.*Overall exposure level for OrvaneSRV.service: \([0-9.]*\) .*$/\1/p')
[ -n "$exposure" ] && awk -v e="$exposure" 'BEGIN { exit !(e <= 4.0) }' \
  || fail "exposure '$exposure' above 4.0: $(inside systemd-analyze security --no-pager OrvaneSRV 2>&1 | tail -40)"
inside grep -qx $'NoNewPrivs:\t1' "/proc/$w1/status" || fail "worker may gain privileges: $(inside cat "/proc/$w1/status")"
# CAP_KILL (5) and CAP_NET_BIND_SERVICE (10) only.
inside grep -qx $'CapBnd:\t0000000000000420' "/proc/$w1/status" || fail "worker capabilities: $(inside grep ^Cap "/proc/$w1/status")"
in_worker() { inside nsenter -t "$w1" -m -r -w -- "$@"; }
got=$(in_worker touch "$IPROG/written-by-worker" 2>&1) && fail "the worker can write its program folder"
[[ $got == *"Read-only file system"* ]] || fail "writing the program folder: $got"
in_worker touch "$IPROG/log/written-by-worker" "$IPROG/run/written-by-worker" /run/orvane/written-by-worker \
  /var/lib/orvane/written-by-worker || fail "the worker cannot write log/, run/, /run/orvane or /var/lib/orvane"
rm -f "$PROG/log/written-by-worker" "$PROG/run/written-by-worker"
inside rm /run/orvane/written-by-worker /var/lib/orvane/written-by-worker
got=$(in_worker touch /etc/orvane-sandbox-probe 2>&1) && fail "the worker can write /etc"
[[ $got == *"Read-only file system"* ]] || fail "writing /etc: $got"
[ "$(inside stat -c %a /run/orvane)" = 700 ] || fail "/run/orvane: $(inside stat -c '%a %U' /run/orvane)"
pass "sandbox: exposure $exposure, no new privileges, CAP_KILL and CAP_NET_BIND_SERVICE only, read-only but for log/, run/ and its own folders"

# A worker killed from outside runs again within a cycle, and the dead one is reaped.
inside kill -9 "$w1"
t0=$SECONDS
wait_for 8 bash -c "p=\$($SDNS run $SD pgrep -P $main -x Orvane); [ -n \"\$p\" ] && [ \"\$p\" != $w1 ]" \
  || fail "killed worker not started again"
w2=$(inside pgrep -P "$main" -x Orvane)
[ "$(cmdline_of "$w2")" = "$IPROG/Orvane . 0" ] || fail "restart command line: '$(cmdline_of "$w2")'"
[ -z "$(zombies)" ] || fail "a zombie is left: $(zombies)"
pass "killed worker back after $((SECONDS - t0)) s, no zombie"

# Pause (the documented systemctl command): an ended worker stays ended over more than a cycle;
# continue (the layer): back within one cycle.
sctl kill --kill-whom=main -s SIGUSR1 OrvaneSRV
wait_for 5 status_is PAUSED || fail "status after pause: $(unit_prop StatusText)"
expect_probe PAUSED query OrvaneSRV
kill -0 "$(inside true; echo $$)" 2>/dev/null
inside kill -0 "$w2" || fail "pause ended the running worker"
inside kill -9 "$w2"
paused_at=$SECONDS
while [ $((SECONDS - paused_at)) -lt 7 ]; do
  [ "$(worker_count)" = 0 ] || fail "a worker was started during the pause"
  sleep 0.5
done
[ -z "$(zombies)" ] || fail "the worker ended during the pause is left a zombie"
expect_probe ok continue OrvaneSRV
wait_for 5 status_is RUNNING || fail "status after continue: $(unit_prop StatusText)"
wait_for 7 bash -c "[ -n \"\$($SDNS run $SD pgrep -P $main -x Orvane)\" ]" || fail "no worker after continue"
pass "pause keeps an ended worker ended; continue starts it again"

# Any other signal to the service changes nothing: no end that would orphan the worker, no pause.
# A pause and continue sent after them show that each was taken before the next check.
w3=$(inside pgrep -P "$main" -x Orvane)
for sig in SIGHUP SIGPIPE SIGALRM SIGQUIT SIGTSTP SIGVTALRM SIGRTMIN+3 SIGRTMAX; do
  sctl kill --kill-whom=main -s "$sig" OrvaneSRV || fail "systemctl kill -s $sig"
done
sctl kill --kill-whom=main -s SIGUSR1 OrvaneSRV
wait_for 5 status_is PAUSED || fail "after other signals: $(unit_prop ActiveState) $(unit_prop StatusText)"
expect_probe ok continue OrvaneSRV
wait_for 5 status_is RUNNING || fail "status after continue: $(unit_prop StatusText)"
[ "$(unit_prop MainPID)" = "$main" ] || fail "the service was started again: $(unit_prop MainPID), not $main"
[ "$(inside pgrep -P "$main" -x Orvane)" = "$w3" ] || fail "worker changed: $(worker_pids), not $w3"
expect_srv_log "[INF]Start the AD service...!"
pass "SIGHUP, SIGPIPE, SIGALRM, SIGQUIT, SIGTSTP, SIGVTALRM and real-time signals leave the service and its worker running"

# Stop: workers gone, state stopped.
expect_probe ok stop OrvaneSRV
wait_for 10 active_is inactive || fail "not stopped: $(unit_prop ActiveState)"
expect_probe STOPPED query OrvaneSRV
status_is STOPPED || fail "status after stop: $(unit_prop StatusText)"
[ "$(worker_count)" = 0 ] || fail "workers left after stop: $(worker_pids)"
expect_srv_log "[INF]Start the AD service...!" "[INF]Quit the AD service...!"
pass "stop ends the workers and reports stopped"

# A crash writes its dump into the log folder (the sandbox keeps the program folder read-only)
# and systemd ends the workers with it.
sctl start OrvaneSRV
sctl kill --kill-whom=main -s SIGSEGV OrvaneSRV
wait_for 10 active_is failed || fail "crashed service not failed: $(unit_prop ActiveState)"
dump=$(ls "$PROG/log" | grep -E '^OrvaneSRV-[0-9]{4}-[0-9]{2}-[0-9]{2} [0-9]{6} \.dmp$' || true)
[ -n "$dump" ] || fail "no crash dump named 'OrvaneSRV-<date> <time> .dmp' in $(ls "$PROG/log")"
grep -q SIGSEGV "$PROG/log/$dump" || fail "dump does not name the signal"
rm -f "$PROG/log/$dump"
wait_for 5 bash -c "[ \"\$($SDNS run $SD pgrep -c -x Orvane)\" = 0 ]" || fail "workers outlived the crashed service"
sctl reset-failed OrvaneSRV
pass "crash dump $dump"

# A reboot of that systemd starts the enabled service on its own. Before its worker it removes
# the status sockets nobody listens on (one left by a worker killed under an earlier
# configuration), not one that something still listens on.
mkdir -p "$PROG/run"
python3 -c 'import socket, sys; socket.socket(socket.AF_UNIX).bind(sys.argv[1])' "$PROG/run/Orvane-10.0.0.9.sock"
python3 -c 'import socket, sys, time; s = socket.socket(socket.AF_UNIX); s.bind(sys.argv[1]); s.listen(); time.sleep(600)' \
  "$PROG/run/Orvane-10.0.0.8.sock" &
PIDS+=("$!")
wait_for 5 test -S "$PROG/run/Orvane-10.0.0.8.sock" || fail "no live socket to keep"
"$SDNS" reboot "$SD" || fail "reboot failed"
wait_for 10 active_is active || fail "enabled service not started at boot: $(unit_prop ActiveState)"
wait_for 10 bash -c "[ \"\$($SDNS run $SD pgrep -c -x Orvane)\" = 1 ]" || fail "no worker after reboot"
srv_log_has "[INF]Removed the status socket of a stopped worker: $IPROG/run/Orvane-10.0.0.9.sock" \
  || fail "stale socket removal not logged: $(srv_log)"
[ ! -e "$PROG/run/Orvane-10.0.0.9.sock" ] && [ -S "$PROG/run/Orvane-10.0.0.8.sock" ] \
  || fail "run folder after the start: $(ls -la "$PROG/run")"
srv_log_has "Orvane-10.0.0.8.sock" && fail "a live socket was removed: $(srv_log)"
pass "reboot starts the enabled service and its worker, removing stale status sockets first"

# A caller that is not root can neither install nor remove; nothing changes.
chmod 755 "$WORK"
chmod 777 "$PROG/log"
as_nobody() { inside setpriv --reuid=65534 --regid=65534 --clear-groups "$@"; }
rm -f "$PROG/log/LOG_OrvaneSRV.txt"
as_nobody "$IPROG/OrvaneSRV" -remove
expect_srv_log "[INF]Start the AD service...!" "[ERR]Access the service control manager database is denied!"
rm -f "$PROG/log/LOG_OrvaneSRV.txt"
as_nobody "$IPROG/OrvaneSRV" -install
expect_srv_log "[INF]Start the AD service...!" "[ERR]Open the service control manager database failure!"
active_is active || fail "the service did not survive a refused removal"
[ -x "$PROG/OrvaneSRV" ] || fail "a refused removal deleted the program file"
pass "install and remove are refused to a caller that is not root"

# Remove a running service from its own file: stopped, deleted; its file cannot be deleted.
inside "$IPROG/OrvaneSRV" -remove
expect_srv_log "[INF]Start the AD service...!" "[INF]Stop the service success!" "[INF]Delete the service success!" \
  "[ERR]Delete file failure!"
inside test -e /etc/systemd/system/OrvaneSRV.service && fail "unit file left"
[ "$(unit_prop LoadState)" = not-found ] || fail "service still known: $(unit_prop LoadState)"
[ "$(worker_count)" = 0 ] || fail "workers left after remove"
[ -x "$PROG/OrvaneSRV" ] || fail "the running program's own file was deleted"
pass "remove of a running service"

# Remove a stopped service from another file name: the program file is deleted.
inside "$IPROG/OrvaneSRV" -install
cp "$PROG/OrvaneSRV" "$PROG/OrvaneSRV-remover"
inside "$IPROG/OrvaneSRV-remover" -remove
expect_srv_log "[INF]Start the AD service...!" "[ERR]The service already stopped!" "[INF]Delete the service success!" \
  "[INF]Delete file success!"
[ -e "$PROG/OrvaneSRV" ] && fail "program file not deleted"
pass "remove of a stopped service"

# Remove a missing service: the file step still runs.
inside "$IPROG/OrvaneSRV-remover" -remove
expect_srv_log "[INF]Start the AD service...!" "[ERR]The service not exists!" "[ERR]Service file no exists!"
pass "remove of a missing service"

"$SDNS" poweroff "$SD"
echo "12 passed, 0 failed"
