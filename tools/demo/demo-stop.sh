#!/usr/bin/env bash
# Ends what tools/demo/demo-server.sh started.
state=${1:?state folder}
[ -f "$state/pids" ] || exit 0
tac "$state/pids" | while read -r pid; do kill "$pid" 2>/dev/null || true; done
: > "$state/pids"
