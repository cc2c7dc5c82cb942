"""An independent agent-side peer for the gateway emulator tests: builds the datagrams with
Python and the openssl command-line tool (no code of ours), and reads the emulator's answers."""
import os
import socket
import struct
import subprocess

GENERAL_IV = b"K7%q!wRt"


def key_field(text):
    raw = text.encode("utf-8")[:31]
    return raw + b"\0" * (32 - len(raw))


def _enc(cipher, key, iv, data, decrypt=False):
    args = ["openssl", "enc", "-" + cipher, "-d" if decrypt else "-e", "-nopad", "-K", key.hex(), "-iv", iv.hex()]
    return subprocess.run(args, input=data, capture_output=True, check=True).stdout


def seal(plain, encrypt_type, key_text):
    key = key_field(key_text)
    if encrypt_type == 0:
        plain += b"\0" * (-len(plain) % 8)
        return _enc("des-ede3-cbc", key[:24], GENERAL_IV, plain)
    plain += b"\0" * (-len(plain) % 16)
    iv = os.urandom(15) + b"\0"
    header = bytes([1, 1]) + struct.pack(">H", len(plain)) + b"\0" * 16 + iv
    return header + _enc("aes-128-cbc", key[:16], iv, plain)


def open_answer(data, encrypt_type, key_text):
    key = key_field(key_text)
    if encrypt_type == 0:
        plain = _enc("des-ede3-cbc", key[:24], GENERAL_IV, data, decrypt=True)
    else:
        (length,) = struct.unpack(">H", data[2:4])
        assert length <= len(data) - 36, "answer header claims more than the datagram holds"
        plain = _enc("aes-128-cbc", key[:16], data[20:36], data[36:36 + length], decrypt=True)
    seq = struct.unpack(">I", plain[:4])[0]
    return seq, plain[4:].split(b"\0", 1)[0].decode("ascii")


def notification(kind, seq, address, user, texts=(), encoding="utf-8"):
    body = bytes([kind, 1, 0, 0]) + struct.pack(">I", seq) + socket.inet_aton(address)
    for t in (user,) + tuple(texts):
        body += t.encode(encoding) + b"\0"
    return body


def heartbeat(version, mac):
    v = version.encode("ascii")
    return bytes([5, 0, 0, 0]) + v + b"\0" * (12 - len(v)) + b"\0" * 4 + bytes(mac)


class Peer:
    def __init__(self, port):
        self.sock = socket.socket(socket.AF_INET, socket.SOCK_DGRAM)
        self.sock.bind(("127.0.0.1", 0))
        self.dest = ("127.0.0.1", port)

    def send(self, datagram):
        self.sock.sendto(datagram, self.dest)

    def answer(self, timeout=10.0):
        self.sock.settimeout(timeout)
        data, source = self.sock.recvfrom(2048)
        assert source == self.dest, "answer from %r, expected %r" % (source, self.dest)
        return data
