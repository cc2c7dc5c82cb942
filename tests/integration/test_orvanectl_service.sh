#!/usr/bin/env bash
# orvanectl's service commands against a real systemd: a missing service, then a folder set up
# with orvanectl alone is started (settings saved first), locked while the service runs, stopped.
source "$(dirname "$0")/lib/common.sh"
source "$(dirname "$0")/lib/systemd.sh"
require_systemd_fixture
install_program_folder
boot_systemd
CTL="$IPROG/orvanectl"

# ctl [INPUT] -- ARGS...: orvanectl inside, as root; sets $rc and $OUT (stdout and stderr).
ctl() {
  local input=""
  if [ "$1" != -- ]; then input=$1; shift; fi
  shift
  rc=0
  OUT=$(printf "$input" | inside "$CTL" "$@" 2>&1) || rc=$?
}

ctl -- service status
[ "$rc" = 5 ] && [[ $OUT == *"the service OrvaneSRV is not installed"* ]] || fail "status without the service: rc $rc: $OUT"
pass "a service that is not installed is reported as such (exit 5)"

ctl 'client-key\nclient-key\n' -- set client-key; [ "$rc" = 0 ] || fail "client key: $OUT"
ctl 'device-key\ndevice-key\n' -- set device-key; [ "$rc" = 0 ] || fail "device key: $OUT"
ctl -- set port 6789; [ "$rc" = 0 ] || fail "port: $OUT"
ctl -- device add --ip 127.0.0.1 --port 6001; [ "$rc" = 0 ] || fail "device add: $OUT"
ctl -- service start
[ "$rc" = 5 ] && [[ $OUT == *"not installed"* ]] || fail "start without the service: rc $rc: $OUT"
ctl 'pw\npw\n' -- server add --ip 127.0.0.2 --user 'CORP\administrator'; [ "$rc" = 0 ] || fail "server add: $OUT"

inside "$IPROG/OrvaneSRV" -install
ctl -- service status
[ "$rc" = 0 ] && [ "$OUT" = stopped ] || fail "status of the installed service: rc $rc: $OUT"
ctl -- service start
[ "$rc" = 0 ] || fail "service start: rc $rc: $OUT"
wait_for 10 active_is active || fail "OrvaneSRV is not active: $(unit_prop ActiveState)"
wait_for 10 bash -c "[ \"\$(\"$SDNS\" run \"$SD\" pgrep -x Orvane | wc -l)\" = 1 ]" || fail "no worker: $(worker_pids)"
[ "$(cmdline_of "$(worker_pids | tr -d ' ')")" = "$IPROG/Orvane . 0" ] || fail "worker command line"
ctl -- service status
[ "$OUT" = running ] || fail "status while running: $OUT"
pass "orvanectl service start saves the settings and starts OrvaneSRV, which starts its worker"

ctl -- set port 7000
[ "$rc" = 4 ] || fail "a setting changed while the service runs: rc $rc: $OUT"
grep -q '^Value=6789' <(sed -n '/^\[ListenPort\]/,/^\[/p' "$PROG/config.ini") || fail "ListenPort changed"
ctl -- service start
[ "$rc" = 0 ] && [[ $OUT == *"already running"* ]] || fail "second start: rc $rc: $OUT"
pass "settings are locked while the service runs; a second start says it runs already"

ctl -- service stop
[ "$rc" = 0 ] || fail "service stop: rc $rc: $OUT"
wait_for 15 active_is inactive || fail "OrvaneSRV did not stop: $(unit_prop ActiveState)"
wait_for 10 bash -c "[ -z \"\$(\"$SDNS\" run \"$SD\" pgrep -x Orvane)\" ]" || fail "workers left: $(worker_pids)"
ctl -- service status
[ "$OUT" = stopped ] || fail "status after stop: $OUT"
ctl -- set port 7000
[ "$rc" = 0 ] || fail "a setting refused after the stop: rc $rc: $OUT"
pass "orvanectl service stop ends the service and its workers and unlocks the settings"
