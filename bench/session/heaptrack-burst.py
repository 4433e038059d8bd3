#!/usr/bin/env python3
"""Exact heap figures from a heaptrack file (heaptrack -o FILE program ...).

    python3 bench/session/heaptrack-burst.py FILE.zst            the heap's highest point per 100 ms
    python3 bench/session/heaptrack-burst.py FILE.zst FROM TO    the heap at FROM (s) and its peak until TO

Replays every allocation and release of the file, so a peak between two samples is not
missed (heaptrack_print's massif output samples).
"""
import subprocess, sys
sizes = []; total = 0; t = 0; series = []
for line in subprocess.Popen(["zstdcat", sys.argv[1]], stdout=subprocess.PIPE, text=True).stdout:
    k = line[0]
    if k == 'a': sizes.append(int(line.split()[1], 16))
    elif k == '+': total += sizes[int(line[2:], 16)]; series.append((t, total))
    elif k == '-': total -= sizes[int(line[2:], 16)]; series.append((t, total))
    elif k == 'c': t = int(line[2:], 16)
if len(sys.argv) > 3:
    a, b = float(sys.argv[2]) * 1000, float(sys.argv[3]) * 1000
    w = [(tt, v) for tt, v in series if a <= tt <= b]
    base = w[0][1]; peak = max(w, key=lambda x: x[1])
    print(f"heap {base/1024:.0f} KiB at {a/1000:.2f}s, peak {peak[1]/1024:.0f} KiB at {peak[0]/1000:.2f}s: +{(peak[1]-base)/1024:.0f} KiB")
else:
    step = 100; cur = None
    for tt, v in series:
        b = tt // step
        if cur is None or b != cur[0]:
            if cur: print(f"{cur[0]*step/1000:.1f}s max {cur[1]/1024:.0f} KiB")
            cur = [b, v]
        cur[1] = max(cur[1], v)
