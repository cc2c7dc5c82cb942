"""Stamps another fixed file version into an executable's ".orvane_version" note (a "newer build"
for tests): the note is "ORVNVER1" and two little-endian words, major<<16|minor and
build<<16|revision. Usage: stamp_version.py FILE A.B.C.D"""
import struct
import sys

path, version = sys.argv[1], [int(x) for x in sys.argv[2].split(".")]
data = bytearray(open(path, "rb").read())
if data[:4] != b"\x7fELF" or data[4] != 2:
    sys.exit("not a 64-bit ELF file: " + path)
shoff = struct.unpack_from("<Q", data, 0x28)[0]
shentsize, shnum, shstrndx = struct.unpack_from("<HHH", data, 0x3A)


def section(i):
    name, _type, _flags, _addr, offset, size = struct.unpack_from("<IIQQQQ", data, shoff + i * shentsize)
    return name, offset, size


names = section(shstrndx)[1]
for i in range(shnum):
    name, offset, size = section(i)
    end = data.index(b"\0", names + name)
    if data[names + name:end] == b".orvane_version":
        if data[offset:offset + 8] != b"ORVNVER1":
            sys.exit("the version note has no magic")
        struct.pack_into("<II", data, offset + 8, version[0] << 16 | version[1], version[2] << 16 | version[3])
        open(path, "wb").write(data)
        sys.exit(0)
sys.exit("no .orvane_version section in " + path)
