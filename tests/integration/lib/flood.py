#!/usr/bin/env python3
"""Sends malformed client-report datagrams to a worker as fast as it can, until SECONDS pass or
COUNT are sent; prints "sent=N". Every kind of damage the receiver must survive, in turn: random
bytes, a header announcing more bytes than follow, a length that is no multiple of 16, a header
alone, an empty datagram, one byte over the largest report (all dropped unanswered), and
envelopes shaped like reports under no known key (acknowledged, then refused). With --overlong KEYFILE it sends instead reports sealed with
that key (each with a fresh IV, so none is a repeat) whose user name is over 259 characters:
each one makes the worker write a log line."""
import argparse
import os
import socket
import struct
import sys
import time


def shapes():
    rnd = os.urandom
    out = []
    for n in (1, 7, 35, 36, 52, 84, 500, 1059):
        out.append(rnd(n))
    # Header (bytes 2-3: the ciphertext length L, 20-35: IV) with a lying or odd L.
    for length, body in ((0x3000, 48), (17, 32), (16, 0), (1023, 64), (0, 16)):
        head = bytearray(rnd(36))
        struct.pack_into(">H", head, 2, length)
        out.append(bytes(head) + rnd(body))
    out.append(b"")
    out.append(rnd(1060))
    # Shaped like reports (the length field agrees) but sealed under no key anyone holds: these
    # are acknowledged and queued, then refused.
    for body in (16, 48, 1008):
        head = bytearray(rnd(36))
        struct.pack_into(">H", head, 2, body)
        out.append(bytes(head) + rnd(body))
    return out


def main():
    ap = argparse.ArgumentParser(description=__doc__)
    ap.add_argument("port", type=int)
    ap.add_argument("--seconds", type=float, default=0)
    ap.add_argument("--count", type=int, default=0)
    ap.add_argument("--address", default="127.0.0.1")
    ap.add_argument("--overlong", metavar="KEYFILE")
    a = ap.parse_args()
    s = socket.socket(socket.AF_INET, socket.SOCK_DGRAM)
    # The acknowledgements are not read: a small buffer lets the kernel drop them.
    s.setsockopt(socket.SOL_SOCKET, socket.SO_RCVBUF, 4096)
    to = (a.address, a.port)
    pool = shapes()
    if a.overlong:
        sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))
        from reports import seal
        with open(a.overlong, encoding="utf-8") as f:
            key = f.readline().rstrip("\r\n")
        text = "DEDOVEROZ0|" + "u" * 300 + "|dc=corp,dc=example,dc=com|PC01"
    end = time.monotonic() + a.seconds if a.seconds else None
    sent = 0
    while True:
        if a.overlong:
            pool = [seal(key, text) for _ in range(64)]
        for d in pool:
            try:
                s.sendto(d, to)
                sent += 1
            except OSError:
                pass  # a full send buffer or a refused port: go on at full speed
        if a.count and sent >= a.count:
            break
        if end and time.monotonic() >= end:
            break
    print(f"sent={sent}")


if __name__ == "__main__":
    main()
