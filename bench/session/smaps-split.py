#!/usr/bin/env python3
"""Splits a process's memory (a /proc/PID/smaps file) into what the kernel can drop
and what it cannot:

  clean file  private clean pages of file mappings (code, constants): the kernel may
              drop them at any time, they come back from the page cache
  dirty       private dirty pages (heaps, stacks, relocated library data): stay
              until freed (or swapped)
  shm         the process's share (PSS) of shared memory (memfd, /dev/shm, SysV):
              the frame the X server reads

usage: smaps-split.py SMAPS [SMAPS ...] [--top N]
Prints one line per file (clean file / dirty / shm -> dirty + shm, MB) and, with
--top, the N mappings (grouped by name) holding the most dirty + shm.
"""
import argparse
import collections
import re
import sys

HEADER = re.compile(r"^[0-9a-f]+-[0-9a-f]+ (\S{4}) \S+ \S+ \d+\s*(.*)$")


def shared_memory(name):
    return (name.startswith("/memfd:") or name.startswith("/dev/shm/") or
            name.startswith("/SYSV") or name.startswith("/dev/zero"))


def mappings(path):
    """(name, fields in kB) for every mapping of an smaps file."""
    name, fields = None, {}
    with open(path, encoding="utf-8", errors="replace") as smaps:
        for line in smaps:
            match = HEADER.match(line)
            if match:
                if name is not None:
                    yield name, fields
                name, fields = match.group(2).strip() or "[anon]", {}
                continue
            key, _, rest = line.partition(":")
            parts = rest.split()
            if len(parts) == 2 and parts[1] == "kB":
                fields[key] = int(parts[0])
    if name is not None:
        yield name, fields


def split(path):
    totals = collections.Counter()
    groups = collections.Counter()
    for name, fields in mappings(path):
        if shared_memory(name):
            shm = fields.get("Pss", 0)
            totals["shm"] += shm
            groups[re.sub(r" \(deleted\)$", "", name)] += shm
            continue
        clean = fields.get("Private_Clean", 0)
        dirty = fields.get("Private_Dirty", 0)
        totals["clean file" if not name.startswith("[") else "clean anon"] += clean
        totals["dirty"] += dirty
        groups[name] += dirty
    return totals, groups


def main():
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("smaps", nargs="+")
    parser.add_argument("--top", type=int, default=0)
    args = parser.parse_args()
    for path in args.smaps:
        totals, groups = split(path)
        mb = {key: value / 1024 for key, value in totals.items()}
        print(f"{path}: clean file {mb.get('clean file', 0):.1f} / dirty {mb.get('dirty', 0):.1f} / "
              f"shm {mb.get('shm', 0):.1f} -> dirty + shm {mb.get('dirty', 0) + mb.get('shm', 0):.1f} MB")
        for name, kb in groups.most_common(args.top):
            print(f"  {kb / 1024:7.2f}  {name}")
    return 0


if __name__ == "__main__":
    sys.exit(main())
