#!/usr/bin/env bash
# The service SIGKILLed under a real systemd while it runs three log-query workers, three times
# over: no worker outlives it for long, and after the next start exactly the new service's three
# workers run (children of its main process, none of the old ones, no zombie).
source "$(dirname "$0")/lib/common.sh"
source "$(dirname "$0")/lib/systemd.sh"
require_systemd_fixture
install_program_folder
boot_systemd
# Directory servers nobody answers at: the workers only have to run.
ini_set "$PROG/config.ini" ModelType Value 1 QueryTime Value 5 FirewallNum Value 0 \
  AdServerNum Value 3 AdServer0 Ip 127.0.0.2 AdServer1 Ip 127.0.0.3 AdServer2 Ip 127.0.0.4
inside "$IPROG/OrvaneSRV" -install

three_children() {
  main=$(unit_prop MainPID)
  [ "$(inside pgrep -c -P "$main" -x Orvane)" = 3 ] && [ "$(worker_count)" = 3 ]
}
declare -A seen
for round in 1 2 3; do
  sctl start OrvaneSRV || fail "round $round: start failed"
  wait_for 10 three_children || fail "round $round: not three workers of the service: $(worker_pids)"
  [ -z "$(zombies)" ] || fail "round $round: zombies: $(zombies)"
  old=$(worker_pids)
  for p in $old; do
    [ -z "${seen[$p]:-}" ] || fail "round $round: worker $p of an earlier round still runs"
  done
  for p in $old; do seen[$p]=1; done
  sctl kill --kill-whom=main -s SIGKILL OrvaneSRV
  wait_for 20 bash -c "s=\$($SDNS run $SD systemctl show -P ActiveState OrvaneSRV); [ \"\$s\" = failed ] || [ \"\$s\" = inactive ]" \
    || fail "round $round: the unit is still $(unit_prop ActiveState)"
  t0=$SECONDS
  wait_for 20 bash -c "[ -z \"\$($SDNS run $SD pgrep -x Orvane)\" ]" || fail "round $round: orphaned workers: $(worker_pids)"
  echo "round $round: service killed; its workers $old gone $((SECONDS - t0)) s after the unit stopped"
  sctl reset-failed OrvaneSRV 2>/dev/null || true
done
sctl start OrvaneSRV || fail "last start failed"
wait_for 10 three_children || fail "after the last kill: not three workers of the service: $(worker_pids)"
pass "three SIGKILLs of the service leave no orphaned worker; each start runs only its own three"

# A worker that did outlive its service (started by hand here, as an orphan would be) is ended by
# the next start.
sctl stop OrvaneSRV
sctl_run --unit=orphan "$IPROG/Orvane" 127.0.0.2
wait_for 10 bash -c "[ -n \"\$($SDNS run $SD pgrep -x Orvane)\" ]" || fail "the stand-in orphan did not start"
orphan=$(worker_pids)
sctl start OrvaneSRV || fail "start with an orphan failed"
wait_for 10 three_children || fail "with an orphan: $(worker_pids)"
for p in $orphan; do
  inside kill -0 "$p" 2>/dev/null && fail "the orphaned worker $p still runs beside the new ones"
done
sctl stop OrvaneSRV
[ -z "$(worker_pids)" ] || fail "workers left after stop: $(worker_pids)"
pass "a start ends a worker left from before; a stop leaves none"
echo "2 passed, 0 failed"
