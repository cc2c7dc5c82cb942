#!/usr/bin/env python3
"""Client-report datagrams for the tests that play an attacker or a PC.

  capture OUT                 receive one datagram on 127.0.0.1 (prints the port first) into OUT
  send FILE --to PORT [--from ADDR] [--times N] [--iv-xor OFF:HEX ...] [--acks N]
                              send FILE's datagram (IV bytes XORed first) N times; with --acks,
                              wait (5 s) for N acknowledgements and print "acks=K"
  variants FILE --to PORT [--from ADDR]
                              send every single-bit variant of FILE's datagram; print "sent=N"
  seal --key-file F --text T  print the hex of a report sealed as the reporter does (fresh IV)
"""
import argparse
import os
import socket
import sys
import time

HEADER = 36
ACK = b"DEDOVEROZ"


def sock(source):
    s = socket.socket(socket.AF_INET, socket.SOCK_DGRAM)
    s.bind((source, 0))
    return s


def seal(key_text, text):
    from cryptography.hazmat.primitives.ciphers import Cipher, algorithms, modes
    key = key_text.encode("utf-8")[:31][:16].ljust(16, b"\0")
    plain = text.encode("utf-8") + b"\0"
    plain += b"\0" * (-len(plain) % 16)
    iv = os.urandom(15) + b"\0"
    enc = Cipher(algorithms.AES(key), modes.CBC(iv)).encryptor()
    body = enc.update(plain) + enc.finalize()
    return bytes([0, 1]) + len(body).to_bytes(2, "big") + bytes(16) + iv + body


def main():
    ap = argparse.ArgumentParser(description=__doc__, formatter_class=argparse.RawDescriptionHelpFormatter)
    ap.add_argument("command", choices=("capture", "send", "variants", "seal"))
    ap.add_argument("file", nargs="?")
    ap.add_argument("--to", type=int)
    ap.add_argument("--from", dest="source", default="127.0.0.1")
    ap.add_argument("--times", type=int, default=1)
    ap.add_argument("--iv-xor", action="append", default=[])
    ap.add_argument("--acks", type=int, default=0)
    ap.add_argument("--key-file")
    ap.add_argument("--text")
    a = ap.parse_args()

    if a.command == "seal":
        with open(a.key_file, encoding="utf-8") as f:
            print(seal(f.readline().rstrip("\r\n"), a.text).hex())
        return
    if a.command == "capture":
        s = sock("127.0.0.1")
        print(s.getsockname()[1], flush=True)
        s.settimeout(10)
        data, _ = s.recvfrom(2048)
        with open(a.file, "wb") as f:
            f.write(data)
        return

    with open(a.file, "rb") as f:
        original = f.read()
    s = sock(a.source)
    to = ("127.0.0.1", a.to)
    if a.command == "variants":
        sent = 0
        for byte in range(len(original)):
            for bit in range(8):
                v = bytearray(original)
                v[byte] ^= 1 << bit
                s.sendto(bytes(v), to)
                sent += 1
                # The worker's socket buffer holds a few hundred: pace so none is lost.
                if sent % 64 == 0:
                    time.sleep(0.005)
        print(f"sent={sent}")
        return
    d = bytearray(original)
    for edit in a.iv_xor:
        off, hexbytes = edit.split(":")
        for i, b in enumerate(bytes.fromhex(hexbytes)):
            d[HEADER - 16 + int(off) + i] ^= b
    for _ in range(a.times):
        s.sendto(bytes(d), to)
    if a.acks:
        s.settimeout(0.2)
        acks, end = 0, time.monotonic() + 5
        while acks < a.acks and time.monotonic() < end:
            try:
                data, frm = s.recvfrom(64)
            except socket.timeout:
                continue
            if data == ACK and frm[1] == a.to:
                acks += 1
        print(f"acks={acks}")
        sys.exit(0 if acks == a.acks else 3)


if __name__ == "__main__":
    main()
