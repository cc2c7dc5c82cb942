#!/usr/bin/env python3
"""Edits config.ini the way the programs read it (first section and key of a name win).

  ini.py set FILE SECTION KEY VALUE [SECTION KEY VALUE ...]
  ini.py remove FILE SECTION
"""
import re
import sys


def load(path):
    with open(path, encoding="utf-8") as f:
        return f.read().splitlines()


def save(path, lines):
    with open(path, "w", encoding="utf-8") as f:
        f.write("\n".join(lines) + "\n")


def header(line):
    m = re.match(r"\s*\[(.*)\]\s*$", line)
    return m.group(1).strip().lower() if m else None


def set_value(lines, section, key, value):
    start = next((i for i, l in enumerate(lines) if header(l) == section.lower()), None)
    if start is None:
        lines += ["", f"[{section}]", f"{key}={value}"]
        return
    end = next((i for i in range(start + 1, len(lines)) if header(lines[i]) is not None), len(lines))
    for i in range(start + 1, end):
        if "=" in lines[i] and not lines[i].lstrip().startswith((";", "#")) \
                and lines[i].split("=", 1)[0].strip().lower() == key.lower():
            lines[i] = f"{key}={value}"
            return
    lines.insert(end, f"{key}={value}")


def remove_section(lines, section):
    out, skip = [], False
    for l in lines:
        h = header(l)
        if h is not None:
            skip = h == section.lower()
        if not skip:
            out.append(l)
    return out


def main(argv):
    if len(argv) >= 6 and argv[1] == "set" and (len(argv) - 3) % 3 == 0:
        lines = load(argv[2])
        for i in range(3, len(argv), 3):
            set_value(lines, argv[i], argv[i + 1], argv[i + 2])
        save(argv[2], lines)
    elif len(argv) == 4 and argv[1] == "remove":
        save(argv[2], remove_section(load(argv[2]), argv[3]))
    else:
        sys.exit(__doc__)


if __name__ == "__main__":
    main(sys.argv)
