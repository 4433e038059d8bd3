#!/usr/bin/env bash
# A client command for the shared harness that copies the client's smaps at given
# times, for smaps-split.py:
#   rdp-harness.sh -f 0 -d 30 -- bench/session/smaps-at.sh OUT_PREFIX 10,20 -- COMMAND ...
# runs COMMAND (the harness's {host}/{port} replaced as usual) and writes
# OUT_PREFIX-10s.smaps, OUT_PREFIX-20s.smaps (seconds after COMMAND started) from the
# process COMMAND ends up as (clients/ours.sh and program.sh exec the program).
set -euo pipefail
PREFIX=${1:?out prefix}
TIMES=${2:?seconds,seconds}
shift 2
[ "${1:-}" = -- ] && shift
"$@" &
PID=$!
(
    start=$SECONDS
    IFS=, read -ra at <<<"$TIMES"
    for t in "${at[@]}"; do
        while ((SECONDS - start < t)); do sleep 0.2; done
        cp "/proc/$PID/smaps" "$PREFIX-${t}s.smaps" 2>/dev/null || exit 0
    done
) &
trap 'kill -TERM "$PID" 2>/dev/null || true' TERM INT
wait "$PID"
