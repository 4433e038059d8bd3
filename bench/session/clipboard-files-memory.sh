#!/usr/bin/env bash
# The client's peak memory while a large file crosses the shared clipboard each way
# through xrdp (tsc-clipboard-files-bench; see README.md, "Files on the clipboard").
#   bench/session/clipboard-files-memory.sh [BUILD_DIR] [MEGABYTES] [RUNS]
# Needs root, xrdp, xorgxrdp, xclip and Xvfb. Measure a release build (never the
# sanitizer one). The bench program takes the machine's xrdp lock itself (its xrdp
# runs only while it holds /run/lock/tsc-xrdp-tests.lock) and ends what it started.
set -euo pipefail
HERE=$(cd "$(dirname "${BASH_SOURCE[0]}")" && pwd)
BUILD=$(cd "${1:-$HERE/../../build/rel}" && pwd)
MEGABYTES=${2:-50}
RUNS=${3:-3}
BENCH=$BUILD/bench/session/tsc-clipboard-files-bench
[ -x "$BENCH" ] || { echo "no $BENCH: build it (cmake -DCMAKE_BUILD_TYPE=Release -DTSC_BENCH=ON)" >&2; exit 2; }
# Files received land on disk, not on a memory file system, in a throw-away folder.
WORK=$(mktemp -d "$BUILD/clipboard-bench.XXXXXX")
XVFB_PID=
cleanup() {
    [ -n "$XVFB_PID" ] && kill "$XVFB_PID" 2>/dev/null || true
    rm -rf "$WORK"
}
trap cleanup EXIT
Xvfb :281 -screen 0 1024x768x24 -nolisten tcp -noreset >/dev/null 2>&1 &
XVFB_PID=$!
sleep 1
export DISPLAY=:281 QT_QPA_PLATFORM=xcb
export HOME=$WORK XDG_CONFIG_HOME=$WORK XDG_DATA_HOME=$WORK XDG_STATE_HOME=$WORK XDG_CACHE_HOME=$WORK TMPDIR=$WORK
# Other runs share the machine's xrdp: a run that found it busy (exit 2) tries again.
for run in $(seq "$RUNS"); do
    for attempt in 1 2 3 4 5 6; do
        status=0
        "$BENCH" --megabytes "$MEGABYTES" >"$WORK/run.jsonl" || status=$?
        [ "$status" -ne 2 ] && break
    done
    sed "s/^{/{\"run\":$run,/" "$WORK/run.jsonl"
done
