#!/usr/bin/env bash
# The client share key stays out of the session user's and other users' reach: the packages'
# PAM session hook runs the reporter for ann with the key on a pipe, and while her logon run and
# watch copy run, neither ann nor bob finds the key in the process list, any process's command
# line or environment, ann's files, or the reporter's memory (/proc/PID/mem, ptrace). The reports
# still reach a stand-in worker intact, and the logoff run still stops the watch copy.
#
# Runs in private network, pid and mount namespaces: users, the hook's settings file and the
# reporter's installed path are bind-mounted over the machine's for this test alone.
if [ -z "${ORVANE_REPORTER_NS:-}" ] && [ "$(id -u)" = 0 ] &&
   unshare --net --pid --fork --mount --mount-proc true 2>/dev/null; then
  exec env ORVANE_REPORTER_NS=1 unshare --net --pid --fork --mount --mount-proc bash "$0" "$@"
fi
source "$(dirname "$0")/lib/common.sh"
[ -n "${ORVANE_REPORTER_NS:-}" ] || { echo "SKIP: needs root and namespaces"; exit 0; }
ip link set lo up
install_program_folder
chmod 755 "$WORK"
HOOK="$SRC/packaging/debian/orvane-session"
INSTALLED=/usr/libexec/orvane-reporter/Quenby
KEY='Qz7-Kv9pLm2Xw4Rt'

# Two users of our own, and the hook's settings, in a copy of /etc.
cp -a /etc "$WORK/etc"
for u in ann:23001 bob:23002; do
  name=${u%%:*} uid=${u#*:}
  echo "$name:x:$uid:$uid::$WORK/home/$name:/bin/sh" >>"$WORK/etc/passwd"
  echo "$name:x:$uid:" >>"$WORK/etc/group"
  echo "$name:!:20000:0:99999:7:::" >>"$WORK/etc/shadow"
  mkdir -p "$WORK/home/$name"
  chown "$uid:$uid" "$WORK/home/$name"
  chmod 700 "$WORK/home/$name"
done
printf '[libdefaults]\n\tdefault_realm = CORP.EXAMPLE.COM\n' >"$WORK/etc/krb5.conf"
mkdir -p "$WORK/etc/orvane"
mount --bind "$WORK/etc" /etc
mount -t tmpfs -o mode=755 none /usr/libexec
mkdir -p "${INSTALLED%/*}"
install -m 0711 "$PROG/Quenby" "$INSTALLED"  # as the package installs it
ANN_HOME="$WORK/home/ann"
echo 10.99.0.5 >"$WORK/addresses"
chmod 644 "$WORK/addresses"

rm -f "$WORK/worker.port"
( umask 077; printf "%s\n" "$KEY" >"$WORK/key" )
python3 "$SRC/tests/integration/lib/report_peer.py" "@$WORK/key" "$WORK/worker.jsonl" "$WORK/worker.port" \
  2>"$WORK/worker.err" &
PIDS+=("$!")
wait_for 10 test -s "$WORK/worker.port" || fail "stand-in worker did not start: $(cat "$WORK/worker.err")"
PORT=$(cat "$WORK/worker.port")
# reporter.conf as the package ships it, filled in by the administrator; KEY exported on purpose.
( umask 077; printf 'WORKER=127.0.0.1\nPORT=%s\nexport KEY=%s\nREPETITIONS=3\n' "$PORT" "$KEY" >/etc/orvane/reporter.conf )

# The hook as pam_exec runs it: no PATH, the PAM items and the PAM environment.
run_hook() {
  env -i PAM_TYPE="$1" PAM_USER=ann PAM_SERVICE=login PAM_TTY=tty1 \
    ORVANE_REPORTER_ADDRESS_FILE="$WORK/addresses" "$HOOK" || fail "hook $1: exit $?"
}
# pids_of PATH: processes running that executable (root sees every process's executable link).
pids_of() {
  local d exe
  for d in /proc/[0-9]*; do
    exe=$(readlink "$d/exe" 2>/dev/null) || continue
    [ "${exe% (deleted)}" = "$1" ] && echo "${d#/proc/}"
  done
  return 0
}
# Processes of ann by command name (the watch copy is a fork of the logon run, named Pemrose).
named() {
  local d
  for d in /proc/[0-9]*; do
    [ "$(cat "$d/comm" 2>/dev/null)" = "$1" ] && [ "$(awk '/^Uid:/{print $2}' "$d/status" 2>/dev/null)" = 23001 ] \
      && echo "${d#/proc/}"
  done
  return 0
}
the_watch_pid() { local p; p=$(named Pemrose); [ "$(wc -w <<<"$p")" = 1 ] && echo "$p"; }
# hunt USER PIDS...: USER looks for the key everywhere it can; fails the test if found.
hunt() {
  local who=$1; shift
  local out
  out=$(printf '%s\n' "$KEY" | runuser -u "$who" -- python3 "$SRC/tests/integration/lib/key_hunt.py" --pids "$@" \
          --files "$WORK/home/$who" 2>"$WORK/hunt.err") \
    || fail "$who found the key: $out ($(tr '\n' ';' <"$WORK/hunt.err"))"
  runuser -u "$who" -- ps -eo args | grep -qFf "$WORK/key" && fail "$who sees the key in ps -eo args"
  return 0
}
text_of() { python3 -c 'import json,sys; print(json.loads(sys.argv[1]).get("text",""))' "$1"; }
# expect_report TEXT: the first report with TEXT decrypts to exactly TEXT followed by zeros, in a
# datagram as long as its header says.
expect_report() {
  python3 - "$WORK/worker.jsonl" "$1" <<'PY' || fail "report: $(cat "$WORK/worker.jsonl")"
import json, sys
rec = [r for r in map(json.loads, open(sys.argv[1])) if r.get("text") == sys.argv[2]][0]
padded = (len(sys.argv[2].encode()) + 1 + 15) // 16 * 16
assert rec["head"] == "0001%04x" % padded and rec["length"] == 36 + padded, rec
PY
}
trap 'for p in $(named Pemrose) $(pids_of "$INSTALLED"); do kill -9 "$p" 2>/dev/null; done; cleanup' EXIT

HOST=$(hostname -s)
LOGON="DEDOVEROZ0|ann|dc=corp,dc=example,dc=com|$HOST"
LOGOFF="DEDOVEROZ1|ann|dc=corp,dc=example,dc=com|$HOST"

# --- Logon: while the logon run holds the key, and then while the watch copy does.
run_hook open_session
running() { [ -n "$(named Quenby)" ]; }
wait_for 5 running || fail "the hook started no Quenby for ann: $(ls -R "$ANN_HOME")"
RUN=$(named Quenby)
hunt bob $RUN
hunt ann $RUN
pass "while the logon run holds the key, neither bob nor ann finds it"

wait_for 10 the_watch_pid >/dev/null || fail "not exactly one watch copy: $(named Pemrose)"
W=$(the_watch_pid)
wait_for 15 at_least 1 "$WORK/worker.jsonl" "\"text\": \"$LOGON\"" \
  || fail "no logon report: $(cat "$WORK/worker.jsonl" 2>/dev/null)"
expect_report "$LOGON"
[ "$(readlink "/proc/$W/fd/0")" = /dev/null ] || fail "the watch copy kept its key pipe: $(readlink "/proc/$W/fd/0")"
[ ! -e "$ANN_HOME/.config/autostart/Orvane_RUN.desktop" ] || fail "an autostart entry was written"
[ ! -e "$ANN_HOME/.local/share/Orvane/Pemrose" ] || fail "a program file ann could replace was given the key"
hunt bob $W
hunt ann $W
pass "while the watch copy runs, the key is in no command line, environment, file or readable memory"

# --- The watch copy's log reads as ever.
reporter_lines() {
  local f
  for f in "$ANN_HOME"/.local/share/Orvane/LOG_LOGON_*; do
    python3 -c 'import sys; print(open(sys.argv[1],"rb").read().decode("utf-16-le").replace("\ufeff",""))' "$f"
  done
}
logged() { reporter_lines | tr -d '\r' | grep -qx 'AD control accepts the request.'; }
wait_for 5 logged || fail "watch copy log: $(reporter_lines)"
pass "the watch copy reported the logon byte-exact and logged it"

# --- A second session opens: the running copy (it may hold an older key) is replaced by a new one.
run_hook open_session
replaced() { local p; p=$(the_watch_pid) && [ "$p" != "$W" ] && ! kill -0 "$W" 2>/dev/null; }
wait_for 15 replaced || fail "the watch copy $W was not replaced: $(named Pemrose)"
W=$(the_watch_pid)
wait_for 20 at_least 2 "$WORK/worker.jsonl" "\"text\": \"$LOGON\"" || fail "the new watch copy did not report"
hunt ann $W
pass "a second logon replaces the watch copy by one holding the key it was given"

# --- Logoff: the watch copy (which hides itself from ann's /proc reads) is still found and stopped.
run_hook close_session
wait_for 10 at_least 1 "$WORK/worker.jsonl" "\"text\": \"$LOGOFF\"" || fail "no logoff report: $(cat "$WORK/worker.jsonl")"
expect_report "$LOGOFF"
wait_for 5 sh -c "! kill -0 $W 2>/dev/null" || fail "the watch copy $W survived the logoff"
hunt bob
pass "the logoff run stops the watch copy and reports the logoff"
