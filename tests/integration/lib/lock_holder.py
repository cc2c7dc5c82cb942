#!/usr/bin/env python3
"""lock_holder.py LOCKFILE PID [TRIES]: stops PID (SIGSTOP) until it is caught holding the named
lock of LOCKFILE, then kills it (SIGKILL) while it holds it. The lock file holds a process-shared
robust mutex (platform/named_lock_posix.cpp): its futex word names the owning thread. With every
thread of PID stopped the word cannot change, so "the owner is a thread of PID" is certain at the
moment of the kill. The word is watched first and PID stopped only when it names one of PID's
threads, so few stops are needed. Prints "caught after N stops"; exit 1 when TRIES stops never
caught it."""
import os
import signal
import struct
import sys
import time

# magic (8) + mutex size (8) + boot id (40): the mutex, whose first word is the futex.
MUTEX_OFFSET = 56
TID_MASK = 0x3FFFFFFF
OWNER_DIED = 0x40000000


def futex_word(path):
    with open(path, "rb") as f:
        f.seek(MUTEX_OFFSET)
        return struct.unpack("<I", f.read(4))[0]


def all_stopped(pid, deadline):
    while time.monotonic() < deadline:
        states = []
        for tid in os.listdir(f"/proc/{pid}/task"):
            try:
                with open(f"/proc/{pid}/task/{tid}/stat") as f:
                    states.append(f.read().rsplit(")", 1)[1].split()[0])
            except FileNotFoundError:
                pass
        if states and all(s in "Tt" for s in states):
            return True
    return False


def main():
    path, pid = sys.argv[1], int(sys.argv[2])
    tries = int(sys.argv[3]) if len(sys.argv) > 3 else 2000
    deadline = time.monotonic() + 60
    for n in range(1, tries + 1):
        tids = {int(t) for t in os.listdir(f"/proc/{pid}/task")}
        while futex_word(path) & TID_MASK not in tids:
            if time.monotonic() > deadline:
                sys.exit(f"{pid} never seen holding the lock in 60 s")
        os.kill(pid, signal.SIGSTOP)
        if not all_stopped(pid, time.monotonic() + 5):
            sys.exit(f"{pid} did not stop")
        owner = futex_word(path) & TID_MASK
        if owner and os.path.exists(f"/proc/{pid}/task/{owner}"):
            os.kill(pid, signal.SIGKILL)
            print(f"caught after {n} stops (owner thread {owner})")
            return
        os.kill(pid, signal.SIGCONT)
    sys.exit(f"{pid} never caught holding the lock in {tries} stops")


if __name__ == "__main__":
    main()
