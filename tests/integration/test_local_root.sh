#!/usr/bin/env bash
# No local user makes root's programs write a file of their choosing. As `nobody`, links are
# planted wherever a root program has opened a lock or a log: the per-user lock folder of root in
# /tmp, the old machine-wide folders in /run/lock and /tmp, a runtime folder of nobody's that
# `sudo -E` would hand to root, and the log folder. They point at root-only files with known
# contents (and at names that do not exist yet). Then the worker, the service, the console and
# orvanectl (its metrics for a collector's folder too) run as root with ORVANE_LOCK_DIR unset, and
# every target is as it was. Last, a root lock folder someone opened to all is refused: the worker
# goes on without writing through it.
# Runs in a mount namespace of its own with fresh /tmp, /run and /run/lock: the machine's are
# never touched.
set -euo pipefail
if [ -z "${ORVANE_PRIVATE_MOUNTS:-}" ]; then
  [ "$(id -u)" -eq 0 ] || { echo "SKIP: needs root"; exit 0; }
  exec env ORVANE_PRIVATE_MOUNTS=1 unshare --mount --propagation private bash "$0" "$@"
fi
mount -t tmpfs -o mode=1777 tmpfs /tmp
mount -t tmpfs -o mode=0755 tmpfs /run
mkdir /run/lock
mount -t tmpfs -o mode=1777 tmpfs /run/lock

source "$(dirname "$0")/lib/common.sh"
source "$(dirname "$0")/lib/fault.sh"
install_program_folder
# As on a real machine: the way to the program folder is open to all, its log folder is not.
chmod 0755 "$WORK"
unset ORVANE_LOCK_DIR
ini_remove "$PROG/config.ini" ModelType  # every program logs that and stays idle or ends

as_nobody() { setpriv --reuid=nobody --regid=nogroup --clear-groups "$@"; }
TARGETS="$WORK/targets"
mkdir -m 0700 "$TARGETS"
LOCKS=(Log_RoVezerar.lock Log_Orvane_Agent.lock ZantrixOrvane.lock)
XDG=/tmp/xdg-nobody
PLACES=(/tmp/orvane-0 /run/lock/orvane /tmp/orvane-locks "$XDG")
PLANTED=()
# plant FOLDER NAME: as nobody, FOLDER/NAME -> a root-only target of known contents.
plant() {
  local target="$TARGETS/$(printf '%s' "$1/$2" | tr '/' '_')"
  printf 'root only: %s\n' "$1/$2" >"$target"
  chmod 0600 "$target"
  as_nobody ln -s "$target" "$1/$2" || fail "nobody could not plant $1/$2"
  PLANTED+=("$target")
}
for place in "${PLACES[@]}"; do
  as_nobody mkdir -m 0700 "$place"
  for name in "${LOCKS[@]}"; do
    # One link to a file that does not exist yet: root must not create it either.
    if [ "$place/$name" = /run/lock/orvane/ZantrixOrvane.lock ]; then
      as_nobody ln -s "$TARGETS/made-by-root" "$place/$name"
    else
      plant "$place" "$name"
    fi
  done
done
# A collector's folder of its own user, where root's timer writes metrics.
PROM=/tmp/node-exporter
as_nobody mkdir -m 0755 "$PROM"
plant "$PROM" orvane.prom.tmp
plant "$PROM" orvane.prom
# Where nobody cannot plant anything at all.
as_nobody mkdir /run/orvane 2>/dev/null && fail "nobody made /run/orvane"
as_nobody ln -s "${PLANTED[0]}" "$PROG/log/LOG_OrvaneSRV.txt" 2>/dev/null && fail "nobody planted a link in the log folder"
[ "$(stat -c '%a %U' "$PROG/log")" = "750 root" ] || fail "log folder is $(stat -c '%a %U' "$PROG/log"), not 750 root"

# state: content digest, mode, owner, group, size and link count of every target; the targets'
# folder listed, so a file made where none was shows.
state() {
  local t
  for t in "${PLANTED[@]}"; do printf '%s %s %s\n' "${t##*/}" "$(sha256sum <"$t" | cut -c1-16)" "$(stat -c '%a %U %G %s %h' "$t")"; done
  ls "$TARGETS"
}
BEFORE=$(state)
echo "planted ${#PLANTED[@]} links in ${#PLACES[@]} folders (${SECONDS} s)"

# run_root_programs: the worker until its first log line, the service's start line, the console
# (guard and log), each as root.
run_root_programs() {
  rm -f "$PROG"/log/LOG_*.txt
  "$PROG/Orvane" . 0 2>"$WORK/worker.err" &
  WPID=$!; PIDS+=("$WPID")
  worker_line() { local f; f=$(ls "$PROG"/log/LOG_"$WPID"_*_0.txt 2>/dev/null | head -1); [ -n "$f" ] && log_text "$f" | grep -q 'read config file failed'; }
  wait_for 10 worker_line || fail "the worker logged nothing: $(cat "$WORK/worker.err")"
  kill "$WPID"; wait "$WPID" 2>/dev/null || true

  timeout 10 "$PROG/OrvaneSRV" >/dev/null 2>&1 || true
  log_text "$PROG/log/LOG_OrvaneSRV.txt" | grep -q 'Start the AD service' || fail "the service logged nothing"

  if [ -x "$PROG/OrvaneAgent" ]; then
    # Takes the console guard, logs the missing setting and ends.
    QT_QPA_PLATFORM=offscreen timeout 20 "$PROG/OrvaneAgent" -Hide >/dev/null 2>&1 || true
    [ -s "$PROG/log/LOG_UI.txt" ] || fail "the console logged nothing"
  fi
}
unset XDG_RUNTIME_DIR
run_root_programs
export XDG_RUNTIME_DIR="$XDG"  # as sudo -E keeps it
run_root_programs
ini_set "$PROG/config.ini" ModelType Value 0
out=$(printf 'secret\nsecret\n' | "$PROG/orvanectl" set client-key 2>&1) || fail "orvanectl set client-key: $out"
out=$(printf 'secret\n' | "$PROG/orvanectl" protect 2>&1) || fail "orvanectl protect: $out"
# A worker that runs, for metrics to report.
client_report_config "$PROG" always
start_worker "$PROG" "$LISTEN_PORT"
metrics() { "$PROG/orvanectl" metrics --output "$PROM/orvane.prom" >/dev/null 2>&1; }
wait_for 10 metrics || fail "orvanectl metrics --output failed"
grep -q '^orvane_worker_up' "$PROM/orvane.prom" || fail "no metrics written to $PROM/orvane.prom"
kill "$WPID"; wait "$WPID" 2>/dev/null || true

AFTER=$(state)
[ "$BEFORE" = "$AFTER" ] || fail "a planted target changed (before <, after >):"$'\n'"$(diff <(echo "$BEFORE") <(echo "$AFTER") | grep '^[<>]')"
pass "no target of ${#PLANTED[@]} planted links changed, none created"

# Root's locks went to its own folder, private, as private files.
[ "$(stat -c '%a %U %F' /run/orvane)" = "700 root directory" ] || fail "/run/orvane is $(stat -c '%a %U %F' /run/orvane)"
expected=(Log_RoVezerar.lock Log_Orvane_Agent.lock)
[ -x "$PROG/OrvaneAgent" ] && expected+=(ZantrixOrvane.lock)
for name in "${expected[@]}"; do
  [ "$(stat -c '%a %U %F' "/run/orvane/$name" 2>/dev/null)" = "600 root regular file" ] \
    || fail "/run/orvane/$name: $(stat -c '%a %U %F' "/run/orvane/$name" 2>&1)"
done
for f in "$PROG"/log/*; do
  [ "$(stat -c '%a %U' "$f")" = "640 root" ] || fail "$f is $(stat -c '%a %U' "$f")"
done
[ "$(stat -Lc '%a %U' "$PROG/config.ini")" = "640 root" ] || fail "config.ini is $(stat -Lc '%a %U' "$PROG/config.ini")"
pass "root's locks in /run/orvane (0700), lock files 0600, log files and config.ini 0640"

# A root lock folder opened to all (an administrator's slip): nobody replaces the log lock with a
# link, and the worker refuses the folder, says so, and keeps running without its log.
chmod 0777 /run/orvane
as_nobody ln -sfn "${PLANTED[0]}" /run/orvane/Log_RoVezerar.lock
BEFORE=$(state)
ini_remove "$PROG/config.ini" ModelType
"$PROG/Orvane" . 0 2>"$WORK/worker2.err" &
WPID=$!; PIDS+=("$WPID")
said_refused() { grep -qF 'Named locks are refused: the lock folder /run/orvane is open to other users.' "$WORK/worker2.err"; }
wait_for 10 said_refused || fail "the worker did not refuse the open folder: $(cat "$WORK/worker2.err")"
kill -0 "$WPID" || fail "the worker ended"
kill "$WPID"; wait "$WPID" 2>/dev/null || true
[ "$BEFORE" = "$(state)" ] || fail "a target changed through an open root folder"
pass "an open root lock folder is refused, the target left alone, the worker runs on"
echo "3 passed, 0 failed"
