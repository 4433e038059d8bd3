#!/usr/bin/env bash
# Smart sizing figures with the shared harness: the real program (clients/ours.sh of
# the shared folder, through program.sh) on a windowed 1920x1080 session, either
# smart-sized in a 1280x720 window or unscaled in a 1920x1080 one:
#   smart-sizing.sh {port} scaled|unscaled
# Run it with a 1920x1080 session and client screen (-H "-s 1920x1080"): without a
# window manager the program opens the window at the desktop's size, and
# place-window.py then resizes it as a user would: 1280x720 in the middle of the
# screen for "scaled" (so the harness's probe in the screen's middle sees the
# session's middle), 1920x1080 where it is for "unscaled". The helper ends within
# the first seconds, before the measured window.
set -euo pipefail
PORT=${1:?port}
MODE=${2:?scaled or unscaled}
HERE=$(cd "$(dirname "${BASH_SOURCE[0]}")" && pwd)
SHARED=${TSC_SHARED_BENCH:-$HERE/../../../shared/bench}
EXTRA="screen mode id:i:1;desktopwidth:i:1920;desktopheight:i:1080"
case $MODE in
    scaled) EXTRA="$EXTRA;smart sizing:i:1"; PLACE=(320 180 1280x720) ;;
    unscaled) PLACE=(0 0 1920x1080) ;;
    *) echo "smart-sizing.sh: scaled or unscaled" >&2; exit 2 ;;
esac
python3 "$HERE/place-window.py" 1920x1080 "${PLACE[@]}" 20 &
export TSC_EXTRA=$EXTRA TSC_CLIENT=$HERE/program.sh
exec "$SHARED/clients/ours.sh" "$PORT"
