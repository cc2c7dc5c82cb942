#!/usr/bin/env bash
# orvanectl end to end: a fresh installed program folder is configured with orvanectl commands
# alone (inside a real systemd sharing this test's network namespace with a Samba DC and a
# gateway emulator; both share keys made with --generate), the service is started with orvanectl,
# and a logon report reaches the gateway as ann's online notification with her directory path.
set -euo pipefail
source "$(dirname "${BASH_SOURCE[0]}")/lib/netns.sh"
source "$(dirname "${BASH_SOURCE[0]}")/lib/common.sh"
source "$(dirname "${BASH_SOURCE[0]}")/lib/systemd.sh"
require_systemd_fixture
install_program_folder

DC="$WORK/dc"
road_cleanup() {
  "$SDNS" cleanup "$SD" >/dev/null 2>&1 || true
  "$FIX/samba/samba-dc" stop "$DC" >/dev/null 2>&1 || true
  cleanup
}
"$FIX/samba/samba-dc" start "$DC" --address 10.99.0.1 --template "$BUILD/samba-dc-template" >/dev/null
trap road_cleanup EXIT
source "$DC/env"
"$FIX/samba/samba-dc" add-ou "$DC" OU=Sales >/dev/null
"$FIX/samba/samba-dc" add-user "$DC" ann 'Ann-Pass-1' OU=Sales >/dev/null
# A fresh logon of ann at the DC: the worker accepts only a report of a recent one.
"$FIX/samba/samba-dc" kinit "$DC" ann 'Ann-Pass-1' >/dev/null

LISTEN_PORT=6790

boot_systemd --same-net
trap road_cleanup EXIT

# ctl [INPUT] -- ARGS...: orvanectl inside, as root, with the machine's own key (INPUT on its
# standard input, a newline after it); fails the test on any non-zero exit.
ctl() {
  local input=""
  if [ "$1" != -- ]; then input=$1; shift; fi
  shift
  local out
  out=$(printf '%s\n' "$input" | inside "$IPROG/orvanectl" "$@" 2>&1) || fail "orvanectl $*: $out"
}
# The folder as installed: nothing configured, so Start has nothing to start.
grep -q '^Value=0' <(sed -n '/^\[AdServerNum\]/,/^\[/p' "$PROG/config.ini") || fail "the installed folder has a server"
ctl -- set mode client-report
ctl -- set encryption enhanced
ctl -- set encoding utf-8
ctl -- set port "$LISTEN_PORT"
ctl -- set anti-replay 1800
twice() { printf '%s\n%s\n' "$1" "$1"; }
# Both share keys made by orvanectl: printed once, stored protected; the PC and the gateway get
# what was printed.
generate() { inside "$IPROG/orvanectl" set "$1" --generate 2>"$WORK/generate.err" || fail "$1 --generate: $(cat "$WORK/generate.err")"; }
CLIENT_KEY=$(generate client-key)
DEVICE_KEY=$(generate device-key)
[[ $CLIENT_KEY =~ ^[A-Za-z0-9]{16}$ && $DEVICE_KEY =~ ^[A-Za-z0-9]{16}$ ]] || fail "generated keys: $CLIENT_KEY $DEVICE_KEY"
printf '%s\n' "$DEVICE_KEY" >"$WORK/device.key"
printf '%s\n' "$CLIENT_KEY" >"$WORK/client.key"
# Ports the console accepts (a device's is 1025-50000); this namespace is the test's own.
GWEMU_PORT=6001 start_gwemu gw "$WORK/device.key" --encrypt-type 1 --answer always
ctl "$(twice "$SAMBA_DC_ADMIN_PASSWORD")" -- server add --ip 10.99.0.1 --user 'CORP\Administrator'
ctl -- device add --ip 127.0.0.1 --port "$EMU_PORT"
grep -qF "$SAMBA_DC_ADMIN_PASSWORD" "$PROG/config.ini" && fail "the directory password is stored in clear"
grep -qF "$CLIENT_KEY" "$PROG/config.ini" && fail "the client key is stored in clear"

inside "$IPROG/OrvaneSRV" -install
# The worker meets the DC over LDAPS: the fixture's CA comes from the unit, as an administrator
# would give it (systemctl edit OrvaneSRV).
inside mkdir -p /etc/systemd/system/OrvaneSRV.service.d
printf '[Service]\nEnvironment=LDAPTLS_CACERT=%s LDAPTLS_REQCERT=demand\n' "${LDAPTLS_CACERT/#$WORK/$INNER}" \
  | inside tee /etc/systemd/system/OrvaneSRV.service.d/test.conf >/dev/null
sctl daemon-reload
ctl -- service start
wait_for 10 active_is active || fail "OrvaneSRV is not active: $(unit_prop ActiveState)"
wait_for 10 bash -c "[ -n \"\$(\"$SDNS\" run \"$SD\" pgrep -x Orvane)\" ]" || fail "the service started no worker"
WPID=$(worker_pids | tr -d ' ')
LOG() { log_text "$(ls "$PROG"/log/LOG_"$WPID"_*.txt | head -1)"; }
log_has() { LOG 2>/dev/null | grep -qF -- "$1"; }
wait_for 10 bash -c "ss -uln | grep -q ':$LISTEN_PORT '" || fail "worker not listening on $LISTEN_PORT"
pass "a folder configured with orvanectl alone starts with orvanectl service start"

out=$("$PROG/orvane-reportsend" --to "127.0.0.1:$LISTEN_PORT" --kind logon --user ann \
  --domain dc=corp,dc=example,dc=com --computer PC01 --key-file "$WORK/client.key" --wait-ack 5) \
  || fail "logon report not acknowledged: $out"
wait_for 20 at_least 1 "$WORK/gw.jsonl" '"type":"online"' || fail "no online notification; log: $(LOG)"
expect_online "$WORK/gw.jsonl" ann 127.0.0.1 OU=Sales,DC=corp,DC=example,DC=com
wait_for 10 log_has "confirms that the user is online successfully." \
  || fail "no confirmation logged: $(LOG)"
pass "ann's logon reaches the gateway with her directory path and is confirmed"

ctl -- service stop
wait_for 15 active_is inactive || fail "OrvaneSRV did not stop: $(unit_prop ActiveState)"
echo "2 passed, 0 failed"
