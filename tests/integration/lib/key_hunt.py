"""Looks for a secret everywhere the calling user can: every process's command line and
environment, the memory of the given processes (through /proc/PID/mem and by attaching with
ptrace), and every file under the given folders (as UTF-8 and as UTF-16LE). Prints one line for
each place it was found or each process it could attach to, and exits 1 if there was any.
The secret comes on standard input, so the hunt itself does not show it.
Usage: key_hunt.py --pids PID... --files FOLDER... <SECRET"""
import ctypes
import os
import sys

text = sys.stdin.readline().rstrip("\n")
secret = text.encode()
forms = (secret, text.encode("utf-16-le"))
pids, folders, target = [], [], None
for a in sys.argv[1:]:
    if a in ("--pids", "--files"):
        target = pids if a == "--pids" else folders
    else:
        target.append(a)
found = []


def read(path):
    try:
        with open(path, "rb") as f:
            return f.read()
    except OSError:
        return b""


for d in os.listdir("/proc"):
    if d.isdigit():
        for what in ("cmdline", "environ"):
            if secret in read(f"/proc/{d}/{what}"):
                found.append(f"/proc/{d}/{what}")

for pid in pids:
    try:
        maps = open(f"/proc/{pid}/maps").read().splitlines()
        mem = open(f"/proc/{pid}/mem", "rb", buffering=0)
    except OSError as e:
        print(f"memory of {pid}: {e.strerror}", file=sys.stderr)
    else:
        for line in maps:
            span, perms = line.split()[:2]
            if perms[0] != "r":
                continue
            start, end = (int(x, 16) for x in span.split("-"))
            try:
                mem.seek(start)
                if any(f in mem.read(end - start) for f in forms):
                    found.append(f"/proc/{pid}/mem {line}")
            except (OSError, OverflowError, ValueError):
                pass
    # Its descriptors: reopened through /proc, or copied with pidfd_getfd (the key pipe).
    try:
        fds = os.listdir(f"/proc/{pid}/fd")
    except OSError as e:
        print(f"descriptors of {pid}: {e.strerror}", file=sys.stderr)
        fds = []
    for fd in fds:
        try:
            with open(f"/proc/{pid}/fd/{fd}", "rb", buffering=0) as f:
                os.set_blocking(f.fileno(), False)
                if any(x in (f.read(4096) or b"") for x in forms):
                    found.append(f"/proc/{pid}/fd/{fd}")
        except OSError:
            pass
    libc = ctypes.CDLL(None, use_errno=True)
    SYS_pidfd_open, SYS_pidfd_getfd = 434, 438
    pidfd = libc.syscall(SYS_pidfd_open, int(pid), 0)
    if pidfd >= 0:
        for n in range(0, 8):
            copy = libc.syscall(SYS_pidfd_getfd, pidfd, n, 0)
            if copy >= 0:
                os.set_blocking(copy, False)
                try:
                    if any(x in os.read(copy, 4096) for x in forms):
                        found.append(f"pidfd_getfd {pid} {n}")
                except OSError:
                    pass
                found.append(f"pidfd_getfd copied descriptor {n} of {pid}")
                os.close(copy)
        os.close(pidfd)
    PTRACE_ATTACH, PTRACE_DETACH = 16, 17
    if libc.ptrace(PTRACE_ATTACH, int(pid), None, None) == 0:
        os.waitpid(int(pid), 0x40000000)  # __WALL
        libc.ptrace(PTRACE_DETACH, int(pid), None, None)
        found.append(f"ptrace attached to {pid}")
    else:
        print(f"ptrace {pid}: {os.strerror(ctypes.get_errno())}", file=sys.stderr)

for folder in folders:
    for root, _, files in os.walk(folder):
        for name in files:
            path = os.path.join(root, name)
            if not os.path.islink(path) and any(f in read(path) for f in forms):
                found.append(path)

for place in found:
    print(place)
sys.exit(1 if found else 0)
