#!/usr/bin/env python3
"""What a gateway emulator received against what the load generator had acknowledged, across
worker restarts.

  kill_check.py logons ACKS GW_JSONL KILLS
      every acknowledged logon (user, address) reached the gateway at least once; one that
      was decided twice was decided once before and once after the same restart (it was in
      flight at that kill); none three times. The restarts are where a notification's sequence
      number falls: each worker process numbers its notifications from 1. Within one process a
      report is decided once; more notifications of it there are retransmissions.
  kill_check.py offlines ACKS GW_JSONL [LOGON_ACKS]
      every acknowledged logoff (user, address) reached the gateway; with LOGON_ACKS, every
      acknowledged logon has its logoff acknowledged.
  kill_check.py missing ACKS GW_JSONL KIND
      exit status 0 when every acknowledged report of KIND reached the gateway (for waiting).
Prints what it found; the exit status says whether it holds.
"""
import collections
import json
import sys


def acked(path, kind):
    out = set()
    for line in open(path):
        f = line.split()
        if len(f) >= 4 and f[0] == kind:
            out.add((f[1], f[3]))
    return out


def notifications(path, kind):
    """(user, address, epoch) per notification of KIND in arrival order; epoch counts restarts."""
    out, epoch, last = [], 0, 0
    for line in open(path):
        try:
            n = json.loads(line)
        except ValueError:
            continue  # the emulator may be writing the last line just now
        if n.get("type") not in ("online", "offline"):
            continue
        if n["sequence"] <= last:
            epoch += 1
        last = n["sequence"]
        if n["type"] == kind:
            out.append((n["user"], n["address"], epoch))
    return out, epoch


def check_logons(acks, gw, kills):
    want = acked(acks, "logon")
    seen, epochs = notifications(gw, "online")
    where = collections.defaultdict(list)
    for user, address, epoch in seen:
        where[(user, address)].append(epoch)
    ok = True
    missing = sorted(want - where.keys())
    print(f"acknowledged logons {len(want)}, reached the gateway {len(want & where.keys())}, "
          f"lost {len(missing)}; notifications {len(seen)} from {epochs + 1} worker processes")
    if missing:
        ok = False
        print("  lost (acknowledged, never at the gateway), first ones: " +
              ", ".join(f"{u}@{a}" for u, a in missing[:8]))
    if epochs != kills:
        ok = False
        print(f"  {kills} kills, but the notifications came from {epochs + 1} worker processes")
    twice = collections.Counter()
    for key, sent in sorted(where.items()):
        got = sorted(set(sent))
        if len(got) == 1:
            continue
        if len(got) > 2 or got[1] != got[0] + 1:
            ok = False
            print(f"  {key[0]}@{key[1]} decided {len(got)} times, by worker processes {got}")
        else:
            twice[got[0]] += 1
    for epoch in range(kills):
        print(f"  kill {epoch + 1}: {twice[epoch]} reports in flight decided again after the restart")
    return ok


def check_offlines(acks, gw, logons):
    want = acked(acks, "logoff")
    seen = {(u, a) for u, a, _ in notifications(gw, "offline")[0]}
    missing = sorted(want - seen)
    print(f"acknowledged logoffs {len(want)}, reached the gateway {len(want & seen)}")
    ok = not missing
    if missing:
        print("  never at the gateway, first ones: " + ", ".join(f"{u}@{a}" for u, a in missing[:8]))
    if logons is not None and acked(logons, "logon") != want:
        ok = False
        print(f"  {len(acked(logons, 'logon') - want)} acknowledged logons without an acknowledged logoff")
    return ok


def main(argv):
    if len(argv) >= 4 and argv[1] == "missing":
        kind = argv[4]
        seen = {(u, a) for u, a, _ in notifications(argv[3], "online" if kind == "logon" else "offline")[0]}
        return 0 if acked(argv[2], kind) <= seen else 1
    if len(argv) == 5 and argv[1] == "logons":
        return 0 if check_logons(argv[2], argv[3], int(argv[4])) else 1
    if len(argv) in (4, 5) and argv[1] == "offlines":
        return 0 if check_offlines(argv[2], argv[3], argv[4] if len(argv) == 5 else None) else 1
    sys.stderr.write(__doc__)
    return 2


if __name__ == "__main__":
    sys.exit(main(sys.argv))
