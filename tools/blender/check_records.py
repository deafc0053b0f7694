#!/usr/bin/env python3
"""Tells which records of a map mesh an edit changed:
check_records.py ORIGINAL NEW [--textures N] [X,Y,Z]...

Lists the position, normal and texture records whose bytes differ, and checks that the position
records changed are exactly those with a corner at one of the spots (corners in the decoded axes,
y up; none: no position record changes), that N texture records changed (default 0), and that no
byte outside the records changed; exits 1 when not."""
import struct
import sys


def layout(data):
    tt, tq, ut, uq = struct.unpack_from("<4H", data, 196)
    sections = []  # (kind, list, first offset, record size, count)
    at = 204
    for kind, size, count in (("position", 18, tt), ("position", 24, tq), ("position", 18, ut), ("position", 24, uq),
                              ("normal", 18, tt), ("normal", 24, tq), ("texture", 10, tt), ("texture", 12, tq)):
        sections.append((kind, at, size, count))
        at += size * count
    names = ["textured triangle", "textured quad", "untextured triangle", "untextured quad",
             "textured triangle", "textured quad", "textured triangle", "textured quad"]
    return [(k, n, a, s, c) for (k, a, s, c), n in zip(sections, names)], at


def corners(data, at, size):
    out = []
    for c in range(size // 6):
        x, y, z = struct.unpack_from("<3h", data, at + 6 * c)
        out.append((x, -y if y != -32768 else -32768, z))
    return out


def main():
    original = open(sys.argv[1], "rb").read()
    new = open(sys.argv[2], "rb").read()
    args = sys.argv[3:]
    textures = 0
    if args[:1] == ["--textures"]:
        textures = int(args[1])
        args = args[2:]
    spots = [tuple(round(float(v) * 100) for v in s.split(",")) for s in args]
    sections, _ = layout(original)
    changed = {"position": set(), "normal": set(), "texture": set()}
    expected = set()
    covered = bytearray(len(original))
    for kind, name, at, size, count in sections:
        for r in range(count):
            start = at + r * size
            covered[start:start + size] = b"\1" * size
            if original[start:start + size] != new[start:start + size]:
                changed[kind].add((name, r + 1))
            if kind == "position" and any(c in spots for c in corners(original, start, size)):
                expected.add((name, r + 1))
    outside = [i for i in range(max(len(original), len(new)))
               if (i >= len(original) or i >= len(new) or original[i] != new[i]) and (i >= len(covered) or not covered[i])]
    for kind in ("position", "normal", "texture"):
        print("%s records changed: %d %s" % (kind, len(changed[kind]), sorted(changed[kind])))
    print("bytes changed outside the records: %d" % len(outside))
    ok = changed["position"] == expected and len(changed["texture"]) == textures and not outside
    print("position records with a corner at a spot: %d %s" % (len(expected), sorted(expected)))
    print("check: %s" % ("passed" if ok else "FAILED"))
    return 0 if ok else 1


sys.exit(main())
