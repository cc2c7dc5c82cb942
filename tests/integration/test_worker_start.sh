#!/usr/bin/env bash
# The installed worker: log file naming and form, a failed configuration read, crash dumps.
source "$(dirname "$0")/lib/common.sh"
install_program_folder

ini_remove "$PROG/config.ini" ModelType
"$PROG/Orvane" . 0 &
pid=$!; PIDS+=("$pid")

logfile() { ls "$PROG"/log/LOG_"$1"_*_0.txt 2>/dev/null | head -1; }
has_line() { local f; f=$(logfile "$1"); [ -n "$f" ] && log_text "$f" | grep -q "$2"; }
wait_for 10 has_line "$pid" 'read config file failed' || fail "no 'read config file failed' line"
f=$(logfile "$pid")
[[ $(basename "$f") =~ ^LOG_${pid}_[0-9]{14}_0\.txt$ ]] || fail "unexpected log name $(basename "$f")"
text=$(log_text "$f")
last=$(printf '%s' "$text" | tail -n 1)
[[ $last =~ ^\[[0-9]{4}-[0-9]{2}-[0-9]{2}\ [0-9]{2}-[0-9]{2}-[0-9]{2}\]\[INF\]read\ config\ file\ failed\.$'\r'$ ]] \
  || fail "line form: '$last'"
# Besides it, only the line naming the missing key.
others=$(printf '%s' "$text" | grep -v 'read config file failed' | grep -v 'Config value ModelType is missing!' || true)
[ -z "$others" ] || fail "unexpected lines: $others"
kill -0 "$pid" || fail "worker did not stay alive"
pass "missing ModelType: one line, UTF-16LE, worker idles"

# A second worker for a log-query server names its file after the server.
"$PROG/Orvane" 10.0.0.5 0 &
pid2=$!; PIDS+=("$pid2")
wait_for 10 bash -c "ls '$PROG'/log/LOG10.0.0.5_${pid2}_*_0.txt >/dev/null 2>&1" || fail "no LOG10.0.0.5_${pid2}_… file"
pass "server argument in the log name"

# A crash writes "<pid>-YYYY-MM-DD HHMMSS .dmp" into the program folder and ends the process.
kill -SEGV "$pid"
wait "$pid" 2>/dev/null && fail "crashed worker exited with 0"
dumps=("$PROG/$pid"-*.dmp)
[ -f "${dumps[0]}" ] || fail "no dump file for $pid"
[[ $(basename "${dumps[0]}") =~ ^${pid}-[0-9]{4}-[0-9]{2}-[0-9]{2}\ [0-9]{6}\ \.dmp$ ]] || fail "dump name $(basename "${dumps[0]}")"
grep -q 'signal: 11 (SIGSEGV)' "${dumps[0]}" || fail "dump lacks the signal"
grep -q 'memory map:' "${dumps[0]}" || fail "dump lacks the memory map"
pass "crash dump written"

"$PROG/Orvane" --help | grep -q "Usage: Orvane" || fail "no --help"
echo "1 passed, 0 failed"
