#!/usr/bin/env python3
"""Sends one UDP datagram with a forged source address and port through a raw socket (root):
  spoof.py SRC_ADDR SRC_PORT DST_ADDR DST_PORT [PAYLOAD]   (payload default: "DEDOVEROZ")"""
import socket
import struct
import sys


def main():
    if len(sys.argv) not in (5, 6):
        sys.exit(__doc__)
    src, sport, dst, dport = sys.argv[1], int(sys.argv[2]), sys.argv[3], int(sys.argv[4])
    payload = (sys.argv[5] if len(sys.argv) == 6 else "DEDOVEROZ").encode()
    udp = struct.pack(">HHHH", sport, dport, 8 + len(payload), 0) + payload  # checksum 0: none (IPv4)
    # The kernel fills in the total length, the identification and the header checksum.
    ip = struct.pack(">BBHHHBBH4s4s", 0x45, 0, 0, 0, 0, 64, socket.IPPROTO_UDP, 0,
                     socket.inet_aton(src), socket.inet_aton(dst))
    s = socket.socket(socket.AF_INET, socket.SOCK_RAW, socket.IPPROTO_RAW)
    s.sendto(ip + udp, (dst, 0))


if __name__ == "__main__":
    main()
