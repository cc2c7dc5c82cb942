#!/usr/bin/env bash
# A writer of config.ini killed with SIGKILL at every file system call it makes (strace injects
# the signal at the Nth call of each kind, for every N the writer reaches): the file is always
# byte for byte the old or the new one, keeps its mode and owner, and a later write leaves no
# temporary file of the killed writers behind.
set -euo pipefail
source "$(dirname "${BASH_SOURCE[0]}")/lib/common.sh"
command -v strace >/dev/null || { echo "SKIP: strace is not installed"; exit 0; }
[ "$(id -u)" -eq 0 ] || { echo "SKIP: needs root to keep another owner"; exit 0; }
install_program_folder
C="$PROG/config.ini"
CTL="$PROG/orvanectl"

"$CTL" set anti-replay 100 >/dev/null || fail "first write failed"
chown 65534:65534 "$C"
chmod 640 "$C"
cp -p "$C" "$WORK/old.ini"
"$CTL" set anti-replay 200 >/dev/null || fail "second write failed"
cp -p "$C" "$WORK/new.ini"
cmp -s "$WORK/old.ini" "$WORK/new.ini" && fail "the write changed nothing"
[ "$(stat -c '%u:%g %a' "$C")" = "65534:65534 640" ] || fail "owner or mode changed: $(stat -c '%u:%g %a' "$C")"

# What the writer does to files, counted per call.
CALLS=openat,write,fsync,fdatasync,close,rename,renameat,renameat2,fchmod,fchown,unlink,unlinkat,ftruncate,flock
cp -p "$WORK/old.ini" "$C"
strace -f -qq -o "$WORK/trace" -e trace="$CALLS" "$CTL" set anti-replay 200 >/dev/null || fail "traced write failed"
cmp -s "$C" "$WORK/new.ini" || fail "the traced write wrote something else"
declare -A count
while read -r n name; do count[$name]=$n; done < <(sed -n 's/^[0-9]* *\([a-z0-9_]*\)(.*/\1/p' "$WORK/trace" | sort | uniq -c)
total=0 killed=0 old=0 new=0
for name in "${!count[@]}"; do
  for n in $(seq "${count[$name]}"); do
    cp -p "$WORK/old.ini" "$C"
    # In a shell of its own, whose stderr takes the "Killed" notice.
    rc=$(bash -c 'strace -f -qq -o /dev/null -e trace="$1" -e inject="$1:signal=KILL:when=$2" \
      "$3" set anti-replay 200 >/dev/null 2>&1; echo $?' _ "$name" "$n" "$CTL" 2>/dev/null)
    total=$((total + 1))
    [ "$rc" = 137 ] && killed=$((killed + 1))
    if cmp -s "$C" "$WORK/old.ini"; then old=$((old + 1))
    elif cmp -s "$C" "$WORK/new.ini"; then new=$((new + 1))
    else fail "killed at $name #$n: config.ini is torn: $(diff "$WORK/old.ini" "$C" | head -5)"
    fi
    [ "$(stat -c '%u:%g %a' "$C")" = "65534:65534 640" ] \
      || fail "killed at $name #$n: owner or mode changed: $(stat -c '%u:%g %a' "$C")"
  done
done
[ "$killed" -ge $((total * 9 / 10)) ] || fail "only $killed of $total runs were killed"
[ "$old" -gt 0 ] && [ "$new" -gt 0 ] || fail "kills found only one version (old $old, new $new)"
pass "killed at $total points ($killed by SIGKILL): old file $old times, new file $new times, never torn"

temporaries() { ls -A "$PROG" | grep '^config\.ini\.tmp\.' || true; }
litter=$(temporaries | wc -l)
"$CTL" set anti-replay 300 >/dev/null || fail "write after the kills failed"
left=$(temporaries)
[ -z "$left" ] || fail "temporary files of killed writers are left: $left"
grep -q '^Value=300' <(sed -n '/^\[AntiReplayTime\]/,/^\[/p' "$C" | tr -d '\r') || fail "300 not written"
pass "a later write removes the $litter temporary files the killed writers left"
echo "2 passed, 0 failed"
