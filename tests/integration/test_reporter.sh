#!/usr/bin/env bash
# The installed logon reporter against a stand-in worker on loopback: argument counts, the logon
# run that installs, registers and starts the watch copy Pemrose, a second logon run that changes
# nothing, an address change, a newer build that replaces the watch copy, the logoff run, the
# repetitions without an acknowledgement, and the administrator account.
#
# Runs in private network, pid and mount namespaces when it can: the reporter stops every
# "Pemrose" of its user, and the administrator case needs a passwd file of its own.
if [ -z "${ORVANE_REPORTER_NS:-}" ] && [ "$(id -u)" = 0 ] &&
   unshare --net --pid --fork --mount --mount-proc true 2>/dev/null; then
  exec env ORVANE_REPORTER_NS=1 unshare --net --pid --fork --mount --mount-proc bash "$0" "$@"
fi
source "$(dirname "$0")/lib/common.sh"
if [ -n "${ORVANE_REPORTER_NS:-}" ]; then
  ip link set lo up
fi
install_program_folder
QUENBY="$PROG/Quenby"
[ -x "$QUENBY" ] || fail "no Quenby in the installed program folder"

# The reporter's whole world lives in the test's home folder.
export HOME="$WORK/home"
mkdir -p "$HOME"
unset XDG_DATA_HOME XDG_CONFIG_HOME
FOLDER="$HOME/.local/share/Orvane"
WATCH="$FOLDER/Pemrose"
ENTRY="$HOME/.config/autostart/Orvane_RUN.desktop"
export KRB5_CONFIG="$WORK/krb5.conf"
printf '[libdefaults]\n\tdefault_realm = CORP.EXAMPLE.COM\n' >"$KRB5_CONFIG"
export ORVANE_REPORTER_ADDRESS_FILE="$WORK/addresses"
echo 10.99.0.5 >"$ORVANE_REPORTER_ADDRESS_FILE"
KEY='Orvane-Client-Key'
USER_NAME=$(id -un)
HOST=$(hostname -s)
DOMAIN='dc=corp,dc=example,dc=com'

# The watch copies this test started: processes running $WATCH (also once it was replaced).
watch_pids() {
  local d exe
  for d in /proc/[0-9]*; do
    exe=$(readlink "$d/exe" 2>/dev/null) || continue
    [ "${exe% (deleted)}" = "$WATCH" ] && echo "${d#/proc/}"
  done
  return 0
}
stop_test_watch_copies() {
  local p
  for p in $(watch_pids); do kill -9 "$p" 2>/dev/null || true; done
}
trap 'stop_test_watch_copies; cleanup' EXIT

# start_peer NAME [silent]: a stand-in worker; sets PORT. Its records go to $WORK/NAME.jsonl.
start_peer() {
  local name=$1; shift
  rm -f "$WORK/$name.port"
  python3 "$SRC/tests/integration/lib/report_peer.py" "$KEY" "$WORK/$name.jsonl" "$WORK/$name.port" "$@" \
    2>"$WORK/$name.err" &
  PIDS+=("$!")
  wait_for 10 test -s "$WORK/$name.port" || fail "stand-in worker $name did not start: $(cat "$WORK/$name.err")"
  PORT=$(cat "$WORK/$name.port")
}
reports() { count_lines "$WORK/$1.jsonl" "\"text\": \"$2\""; }
# reporter_log FILE: the messages of a reporter log, one a line, each checked to begin with its
# own byte-order mark (an empty file is a run that had nothing to say).
reporter_log() {
  python3 - "$1" <<'PY'
import signal, sys
signal.signal(signal.SIGPIPE, signal.SIG_DFL)  # readers may stop at their first match
text = open(sys.argv[1], "rb").read().decode("utf-16-le")
for message in text.split("\r\n")[:-1] if text else []:
    if not message.startswith("\ufeff"):
        sys.exit("a message without its byte-order mark in " + sys.argv[1] + ": " + repr(message))
    print(message[1:])
if text and not text.endswith("\r\n"):
    sys.exit("an unfinished message in " + sys.argv[1])
PY
}
logs_of() { local f; for f in "$FOLDER"/$1; do [ -f "$f" ] && reporter_log "$f"; done; return 0; }
# has_log_line GLOB LINE: a reporter log matching GLOB holds LINE. The watch copy writes its lines
# after its datagram went out, so checks of its logs wait for the line with a deadline.
has_log_line() { logs_of "$1" | grep -qx -- "$2"; }
the_watch_pid() { local p; p=$(watch_pids); [ "$(wc -w <<<"$p")" = 1 ] && echo "$p"; }

start_peer worker
LOGON="DEDOVEROZ0|$USER_NAME|$DOMAIN|$HOST"
LOGOFF="DEDOVEROZ1|$USER_NAME|$DOMAIN|$HOST"

# --- Four or six arguments: nothing at all; --help alone prints the usage.
"$QUENBY" 127.0.0.1 "$PORT" 0 3 || fail "four arguments: exit $?"
"$QUENBY" 127.0.0.1 "$PORT" 0 3 "$KEY" extra || fail "six arguments: exit $?"
"$QUENBY" || fail "no arguments: exit $?"
[ ! -e "$HOME/.local" ] || fail "a wrong argument count created $(find "$HOME/.local")"
[ "$(count_lines "$WORK/worker.jsonl" .)" = 0 ] || fail "a wrong argument count sent a datagram"
usage=$("$QUENBY" --help)
grep -q '^Usage: Quenby --key-fd N WORKER-ADDRESS PORT KIND REPETITIONS$' <<<"$usage" || fail "no usage from --help"
grep -q '^ *Quenby WORKER-ADDRESS PORT KIND REPETITIONS KEY$' <<<"$usage" || fail "no command-line form in --help"
[ ! -e "$HOME/.local" ] || fail "--help created a folder"
pass "four or six arguments do nothing; --help prints the usage"

# --- Logon run: installs, registers and starts the watch copy; its first cycle reports the logon.
"$QUENBY" 127.0.0.1 "$PORT" 0 3 "$KEY" || fail "logon run: exit $?"
[ -x "$WATCH" ] || fail "no watch copy at $WATCH"
cmp -s "$QUENBY" "$WATCH" || fail "the watch copy is not the reporter"
grep -qxF "Exec=$WATCH 127.0.0.1 $PORT 0 3 $KEY" "$ENTRY" || fail "autostart entry: $(cat "$ENTRY" 2>&1)"
wait_for 5 the_watch_pid >/dev/null || fail "not exactly one watch copy running: $(watch_pids)"
FIRST=$(the_watch_pid)
tr '\0' ' ' </proc/$FIRST/cmdline | grep -qxF "$WATCH 127.0.0.1 $PORT 0 3 $KEY " || fail "watch command line"
wait_for 15 at_least 1 "$WORK/worker.jsonl" "\"text\": \"$LOGON\"" \
  || fail "no logon report from the watch copy: $(cat "$WORK/worker.jsonl" 2>/dev/null) $(logs_of 'LOG_*')"
grep -q '"head": "00010030"' "$WORK/worker.jsonl" || fail "datagram header: $(cat "$WORK/worker.jsonl")"
ls "$FOLDER" | grep -Eq '^LOG_LOGON_[0-9]{14} _[0-9]+\.txt$' || fail "log names: $(ls "$FOLDER")"
wait_for 5 has_log_line 'LOG_LOGON_*' 'send request to AD, already sent 1 times.' || fail "log: $(logs_of 'LOG_LOGON_*')"
wait_for 5 has_log_line 'LOG_LOGON_*' 'AD control accepts the request.' || fail "log: $(logs_of 'LOG_LOGON_*')"
pass "logon run installs, registers and starts Pemrose, which reports the logon"

# --- A second logon run with the same build and arguments changes nothing and starts nothing.
inode=$(stat -c %i "$WATCH"); entry=$(md5sum <"$ENTRY")
"$QUENBY" 127.0.0.1 "$PORT" 0 3 "$KEY" || fail "second logon run: exit $?"
[ "$(watch_pids)" = "$FIRST" ] || fail "second logon run changed the watch copies: $(watch_pids) (was $FIRST)"
[ "$(stat -c %i "$WATCH")" = "$inode" ] || fail "second logon run replaced the watch copy"
[ "$(md5sum <"$ENTRY")" = "$entry" ] || fail "second logon run rewrote the autostart entry"
logs_of 'LOG_LOGON_*' | grep -q "the current version is \([0-9.]*\),the local version is \1" \
  || fail "no version line: $(logs_of 'LOG_LOGON_*')"
pass "a second logon run changes nothing and starts nothing"

# --- A second watch copy (the autostart entry racing a logon run) leaves without reporting.
before=$(count_lines "$WORK/worker.jsonl" .)
"$WATCH" 127.0.0.1 "$PORT" 0 3 "$KEY" &
extra=$!
PIDS+=("$extra")
wait_for 20 sh -c "! kill -0 $extra 2>/dev/null" || fail "a second watch copy keeps running"
[ "$(count_lines "$WORK/worker.jsonl" .)" = "$before" ] || fail "the second watch copy reported"
[ "$(watch_pids)" = "$FIRST" ] || fail "watch copies after the second left: $(watch_pids)"
pass "one watch copy per user"

# --- The PC gains an address: the watch copy reports the logon again.
printf '10.99.0.5\n10.99.0.6\n' >"$ORVANE_REPORTER_ADDRESS_FILE"
wait_for 15 at_least 2 "$WORK/worker.jsonl" "\"text\": \"$LOGON\"" || fail "no second report after the address change"
[ "$(reports worker "$LOGON")" = 2 ] || fail "reports: $(cat "$WORK/worker.jsonl")"
pass "an address change sends the logon report again"

# --- A newer build: stops the running watch copy, replaces it and starts the new one.
mkdir -p "$WORK/newer"
cp "$QUENBY" "$WORK/newer/Quenby"
python3 "$SRC/tests/integration/lib/stamp_version.py" "$WORK/newer/Quenby" 9.8.7.6 || fail "cannot stamp a newer build"
"$WORK/newer/Quenby" 127.0.0.1 "$PORT" 0 3 "$KEY" || fail "newer logon run: exit $?"
cmp -s "$WORK/newer/Quenby" "$WATCH" || fail "the watch copy was not replaced by the newer build"
wait_for 5 sh -c "! kill -0 $FIRST 2>/dev/null || grep -q '^State:.*Z' /proc/$FIRST/status" \
  || fail "the old watch copy $FIRST still runs"
wait_for 5 the_watch_pid >/dev/null || fail "not exactly one watch copy after the replacement: $(watch_pids)"
SECOND=$(the_watch_pid)
[ "$SECOND" != "$FIRST" ] || fail "the watch copy was not restarted"
logs_of 'LOG_LOGON_*' | grep -q 'the current version is 9.8.7.6,the local version is ' || fail "no version line"
logs_of 'LOG_LOGON_*' | grep -qx 'stop .....pemrose.exe' || fail "no stop line"
wait_for 15 at_least 3 "$WORK/worker.jsonl" "\"text\": \"$LOGON\"" || fail "the new watch copy did not report"
pass "a newer build stops, replaces and restarts the watch copy"

# --- Logoff run: stops the watch copy and sends the logoff report.
"$QUENBY" 127.0.0.1 "$PORT" 1 3 "$KEY" || fail "logoff run: exit $?"
[ -z "$(watch_pids | while read -r p; do grep -q '^State:.*Z' /proc/$p/status 2>/dev/null || echo "$p"; done)" ] \
  || fail "a watch copy survived the logoff: $(watch_pids)"
wait_for 5 at_least 1 "$WORK/worker.jsonl" "\"text\": \"$LOGOFF\"" || fail "no logoff report: $(cat "$WORK/worker.jsonl")"
[ "$(reports worker "$LOGOFF")" = 1 ] || fail "logoff reports: $(cat "$WORK/worker.jsonl")"
ls "$FOLDER" | grep -Eq '^LOG_LOGOFF_[0-9]{14} _[0-9]+\.txt$' || fail "no logoff log: $(ls "$FOLDER")"
pass "the logoff run stops the watch copy and reports the logoff"

# --- No acknowledgement: 1 + repetitions datagrams, at most 4, and the run still ends.
start_peer silent silent
"$QUENBY" 127.0.0.1 "$PORT" 1 9 "$KEY" || fail "logoff to a silent worker: exit $?"
wait_for 5 at_least 4 "$WORK/silent.jsonl" "\"text\": \"$LOGOFF\"" || true
[ "$(reports silent "$LOGOFF")" = 4 ] || fail "repetitions 9: $(count_lines "$WORK/silent.jsonl" .) datagrams"
"$QUENBY" 127.0.0.1 "$PORT" 1 1 "$KEY" || fail "logoff to a silent worker: exit $?"
wait_for 5 at_least 6 "$WORK/silent.jsonl" "\"text\": \"$LOGOFF\"" || true
[ "$(reports silent "$LOGOFF")" = 6 ] || fail "repetitions 1: $(count_lines "$WORK/silent.jsonl" .) datagrams in all"
# Nobody at all on the port: the run ends after its attempts.
closed=$(python3 -c 'import socket; s=socket.socket(socket.AF_INET, socket.SOCK_DGRAM); s.bind(("127.0.0.1",0)); print(s.getsockname()[1])')
rm -f "$FOLDER"/LOG_LOGOFF_*
"$QUENBY" 127.0.0.1 "$closed" 1 1 "$KEY" || fail "logoff to a closed port: exit $?"
logs_of 'LOG_LOGOFF_*' | grep -qx 'send request to AD, already sent 2 times.' || fail "closed port: $(logs_of 'LOG_LOGOFF_*')"
pass "without an acknowledgement the report goes out 1 + repetitions times (at most 4)"

# --- The administrator account, in any case, sends nothing and logs the two lines.
if [ -n "${ORVANE_REPORTER_NS:-}" ]; then
  rm -f "$FOLDER"/LOG_*
  awk -F: -v uid="$(id -u)" 'BEGIN{OFS=":"} $3==uid {$1="AdMiNiStRaToR"} {print}' /etc/passwd >"$WORK/passwd"
  mount --bind "$WORK/passwd" /etc/passwd
  before=$(count_lines "$WORK/worker.jsonl" .)
  "$QUENBY" 127.0.0.1 "$PORT" 1 3 "$KEY"; rc=$?
  "$QUENBY" 127.0.0.1 "$PORT" 0 3 "$KEY"; rc2=$?
  umount /etc/passwd
  [ $rc = 0 ] && [ $rc2 = 0 ] || fail "administrator runs: exit $rc/$rc2"
  [ "$(count_lines "$WORK/worker.jsonl" .)" = "$before" ] || fail "the administrator's run sent a report"
  [ -z "$(watch_pids)" ] || fail "the administrator's logon run started a watch copy"
  for f in "$FOLDER"/LOG_*; do
    [ "$(reporter_log "$f")" = $'Login user is ad server account!\nInit current process failed!' ] \
      || fail "administrator log $f: $(reporter_log "$f")"
  done
  [ "$(ls "$FOLDER"/LOG_* | wc -l)" = 2 ] || fail "administrator logs: $(ls "$FOLDER")"
  pass "the administrator account sends nothing and logs the two lines"
else
  echo "SKIP: administrator case (needs root for a private passwd file)"
fi
