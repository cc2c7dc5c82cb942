"""A stand-in for the worker's client-report port: records every datagram as one JSON line
(its length, header bytes and the report text decrypted with the openssl tool) and, unless told
to stay silent, answers "DEDOVEROZ". Usage: report_peer.py KEY OUT-FILE PORT-FILE [silent];
KEY "@FILE" reads the key from the first line of FILE (keeps it off the command line)."""
import json
import os
import socket
import subprocess
import sys

key_text, out_path, port_path = sys.argv[1], sys.argv[2], sys.argv[3]
silent = len(sys.argv) > 4 and sys.argv[4] == "silent"
if key_text.startswith("@"):
    key_text = open(key_text[1:]).readline().rstrip("\n")
key = key_text.encode("utf-8")[:31][:16]
key += b"\0" * (16 - len(key))

s = socket.socket(socket.AF_INET, socket.SOCK_DGRAM)
s.bind(("127.0.0.1", 0))
with open(port_path + ".tmp", "w") as f:
    f.write(str(s.getsockname()[1]))
os.rename(port_path + ".tmp", port_path)

while True:
    data, addr = s.recvfrom(4096)
    record = {"length": len(data), "from": addr[0], "head": data[:4].hex()}
    body_len = int.from_bytes(data[2:4], "big") if len(data) >= 4 else 0
    if len(data) >= 36 and 0 < body_len <= len(data) - 36 and body_len % 16 == 0:
        plain = subprocess.run(
            ["openssl", "enc", "-aes-128-cbc", "-d", "-nopad", "-K", key.hex(), "-iv", data[20:36].hex()],
            input=data[36:36 + body_len], capture_output=True, check=True).stdout
        record["text"] = plain.split(b"\0", 1)[0].decode("utf-8", "replace")
    if not silent:
        s.sendto(b"DEDOVEROZ", addr)
    # The line is written after the answer, so a reader that sees it knows the answer went out.
    with open(out_path, "a") as f:
        f.write(json.dumps(record) + "\n")
