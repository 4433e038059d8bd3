#!/usr/bin/env python3
"""Time from process start to first paint, the client's main window against a minimal
Qt Widgets window, alternating in one run; and the peak memory of the idle client window.

usage: first_paint.py BUILD_DIR [RUNS]   (needs DISPLAY, e.g. under xvfb-run)
"""
import os, statistics, subprocess, sys, tempfile, time

build, runs = sys.argv[1], int(sys.argv[2]) if len(sys.argv) > 2 else 15
programs = {
    "client": os.path.join(build, "bench/shell/shell_client_first_paint"),
    "minimal": os.path.join(build, "bench/shell/shell_minimal_first_paint"),
}
home = tempfile.mkdtemp(prefix="tsc-bench-")
env = dict(os.environ, HOME=home, TMPDIR=home, XDG_DATA_HOME=home + "/data", XDG_CONFIG_HOME=home + "/config",
           XDG_STATE_HOME=home + "/state", XDG_CONFIG_DIRS=home + "/etc")

def first_paint_ms(program):
    start = time.monotonic_ns()
    out = subprocess.run([program], env=env, capture_output=True, text=True, check=True).stdout
    return (int(out.split()[0]) - start) / 1e6

times = {name: [] for name in programs}
first_paint_ms(programs["client"]), first_paint_ms(programs["minimal"])  # warm the file cache
for _ in range(runs):
    for name, program in programs.items():
        times[name].append(first_paint_ms(program))
for name, values in times.items():
    print(f"{name:8s} median {statistics.median(values):7.1f} ms  min {min(values):7.1f}  max {max(values):7.1f}  (n={len(values)})")
ratio = statistics.median(times["client"]) / statistics.median(times["minimal"])
print(f"ratio client/minimal: {ratio:.2f}")

idle = dict(env, BENCH_IDLE_MS="2000")
for name, program in programs.items():
    result = subprocess.run(["/usr/bin/time", "-f", "%M", program], env=idle, capture_output=True, text=True, check=True)
    print(f"{name:8s} peak RSS idle window: {int(result.stderr.strip().splitlines()[-1]) / 1024:.1f} MiB")
