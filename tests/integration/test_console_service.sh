#!/usr/bin/env bash
# The console's window with its real service control against a real systemd: Start starts
# OrvaneSRV and its worker, the watchdog starts a service stopped behind its back again, and
# Exit stops it; run by a user without the rights it is read-only and reports systemd's refusal.
# The window is driven by orvane_console_driver over a FIFO.
source "$(dirname "$0")/lib/common.sh"
source "$(dirname "$0")/lib/systemd.sh"
require_systemd_fixture
DRIVER="$BUILD/bin/orvane_console_driver"
[ -x "$DRIVER" ] || { echo "SKIP: built without Qt (no orvane_console_driver)"; exit 0; }
install_program_folder
boot_systemd
CTL="$IPROG/orvanectl"

# What a folder needs before Start: keys, a directory server and a device (orvanectl inside).
printf 'client-key\nclient-key\n' | inside "$CTL" set client-key >/dev/null || fail "client key"
printf 'device-key\ndevice-key\n' | inside "$CTL" set device-key >/dev/null || fail "device key"
inside "$CTL" set port 6789 >/dev/null || fail "port"
inside "$CTL" device add --ip 127.0.0.1 --port 6001 >/dev/null || fail "device add"
printf 'pw\npw\n' | inside "$CTL" server add --ip 127.0.0.2 --user 'CORP\administrator' >/dev/null || fail "server add"
inside "$IPROG/OrvaneSRV" -install
active_is inactive || fail "the installed service is already $(unit_prop ActiveState)"

# The console runs as a transient unit (see lib/systemd.sh); its lines go to $WORK/console.out.
FIFO="$WORK/console.fifo"
OUTF="$WORK/console.out"
mkfifo "$FIFO"
: >"$OUTF"
sctl_run --unit=orvane-console-test -E QT_QPA_PLATFORM=offscreen \
  -p StandardOutput="file:$INNER/console.out" -p StandardError="file:$INNER/console.err" \
  "$DRIVER" "$IPROG" "$INNER/console.fifo"
said() { grep -qxF -- "$1" "$OUTF"; }
# console COMMAND: one command for the window (never blocks on a console that has ended).
console() { timeout 5 bash -c 'printf "%s\n" "$1" >"$2"' _ "$1" "$FIFO" || fail "console gone: $(cat "$OUTF" "$WORK/console.err")"; }
wait_for 15 said ready || fail "console did not start: $(cat "$OUTF" "$WORK/console.err" 2>/dev/null)"

one_worker() { [ "$(worker_count)" = 1 ]; }
console "click 1014"
wait_for 10 said "clicked 1014" || fail "Start not clicked: $(cat "$OUTF")"
wait_for 10 active_is active || fail "Start did not start OrvaneSRV: $(unit_prop ActiveState); $(cat "$OUTF")"
wait_for 10 one_worker || fail "no worker after Start: $(worker_pids)"
[ "$(cmdline_of "$(worker_pids | tr -d ' ')")" = "$IPROG/Orvane . 0" ] || fail "worker command line"
console state
wait_for 5 said "state 4 start=0 stop=1 port=0" || fail "window after Start: $(cat "$OUTF")"
grep -q '^message ' "$OUTF" && fail "Start showed a message: $(cat "$OUTF")"
grep -q '^Value=6789' <(sed -n '/^\[ListenPort\]/,/^\[/p' "$PROG/config.ini") || fail "ListenPort not saved"
pass "Start in the window starts OrvaneSRV and its worker; the settings lock"

# Stopped behind the console's back: its watchdog (a pass every 5 s) starts it again.
old=$(unit_prop MainPID)
sctl stop OrvaneSRV || fail "systemctl stop"
stopped_at=$SECONDS
wait_for 10 active_is active || fail "the watchdog did not start OrvaneSRV again"
took=$((SECONDS - stopped_at))
[ "$took" -le 7 ] || fail "the watchdog took ${took}s"
[ "$(unit_prop MainPID)" != "$old" ] || fail "the same service process"
wait_for 10 one_worker || fail "no worker after the restart: $(worker_pids)"
pass "systemctl stop: the watchdog starts OrvaneSRV and its worker again (${took}s)"

# Exit stops the service and the console ends; with its watchdog gone nothing starts it again.
console state
wait_for 5 said "state 4 start=0 stop=1 port=0" || fail "window after the restart: $(cat "$OUTF")"
console exit
wait_for 15 said exited || fail "Exit did not end the console: $(cat "$OUTF" "$WORK/console.err")"
wait_for 10 bash -c "! \"$SDNS\" run \"$SD\" systemctl is-active --quiet orvane-console-test" \
  || fail "the console did not end"
active_is inactive || fail "OrvaneSRV still $(unit_prop ActiveState) after Exit"
wait_for 10 bash -c "[ -z \"\$(\"$SDNS\" run \"$SD\" pgrep -x Orvane)\" ]" || fail "workers left: $(worker_pids)"
pass "Exit stops OrvaneSRV and its worker and ends the console"

# Run by a user without the rights (nobody; config.ini readable, the log folder open to it so the
# refusal's line can be read): read-only, says why, and a start that systemd (polkit) refuses is
# shown and logged with the refusal's reason.
chmod o+x "$WORK" "$PROG"
chmod o+r "$PROG/config.ini"
rm -f "$PROG/log/LOG_UI.txt"
chmod 0777 "$PROG/log"
config_before=$(md5sum <"$PROG/config.ini")
FIFO="$WORK/console-user.fifo"
OUTF="$WORK/console-user.out"
mkfifo -m 0666 "$FIFO"
: >"$OUTF"
chmod 0666 "$OUTF"
sctl_run --unit=orvane-console-user -p User=nobody -E QT_QPA_PLATFORM=offscreen \
  -p StandardOutput="file:$INNER/console-user.out" -p StandardError="file:$INNER/console-user.err" \
  "$DRIVER" "$IPROG" "$INNER/console-user.fifo"
wait_for 15 said ready || fail "the user's console did not start: $(cat "$OUTF" "$WORK/console-user.err" 2>/dev/null)"
wait_for 10 grep -q "^message Read-only: " "$OUTF" || fail "no read-only message at start: $(cat "$OUTF")"
start_message=$(grep -m1 "^message Read-only: " "$OUTF")
for part in "it cannot write $IPROG/config.ini" "it may not start or stop the service OrvaneSRV (polkit" "pkexec $IPROG/OrvaneAgent"; do
  grep -qF "$part" <<<"$start_message" || fail "the start message lacks \"$part\": $start_message"
done
console state
wait_for 5 said "state 1 start=0 stop=0 port=0" || fail "the user's window is not read-only: $(cat "$OUTF")"
console "command 3526"
wait_for 100 said "ran 3526" || fail "the refused start did not end: $(cat "$OUTF")"
refusal=$(grep -m1 "^message The service manager did not start OrvaneSRV: ." "$OUTF") \
  || fail "the refused start showed no reason: $(cat "$OUTF")"
# systemd's own refusal, named by its D-Bus error, in the log and in the message alike.
logged=$(log_text "$PROG/log/LOG_UI.txt" | grep -o "\[ERR\]The service manager did not start OrvaneSRV: org\.freedesktop\.DBus\.Error\..*") \
  || fail "the refusal is not logged with its reason: $(log_text "$PROG/log/LOG_UI.txt")"
reason=${logged#*OrvaneSRV: }
reason=${reason%$'\r'}
grep -qF "$reason" <<<"$refusal" || fail "the message does not name the logged reason: $refusal / $reason"
active_is inactive || fail "OrvaneSRV $(unit_prop ActiveState) after a refused start"
[ "$(md5sum <"$PROG/config.ini")" = "$config_before" ] || fail "config.ini changed"
console exit
wait_for 15 said exited || fail "Exit did not end the user's console: $(cat "$OUTF")"
pass "a user without the rights: read-only with the reason; the refused start shown and logged ($reason)"
echo "4 passed, 0 failed"
