#!/usr/bin/env bash
# Installs what is needed, builds the client and runs it.
#
#   bash scripts/run.sh                  the demo Farm: two local terminal servers, a Farm
#                                        endpoint naming one of them as preferred, and the
#                                        client with load balancing on and an empty home
#   bash scripts/run.sh --direct         the direct demo: one terminal server and the
#                                        client connected to it by address, seamless
#   bash scripts/run.sh <profile.rdp>    the client on your own profile (the usual
#                                        positional parameters), your own settings
#
# The demo keeps all its files (settings, log, profile, screenshots) under build/demo;
# DEMO_KEEP_HOME=1 keeps its home from the last run.
# Without a display it runs the client on a virtual display too, and saves
# screenshots of what a user would see.
set -euo pipefail
cd "$(dirname "$0")/.."
build=${BUILD_DIR:-build/release}
if [ -z "${SKIP_BUILD:-}" ]; then
  bash scripts/install-deps.sh
  cmake -S . -B "$build" -G Ninja -DCMAKE_BUILD_TYPE=RelWithDebInfo -DBUILD_TESTING=OFF -DTSC_BENCH=OFF >/dev/null
  cmake --build "$build" -j"$(nproc)"
fi
client=$(ls "$build"/src/shell/tsv*client)
endpoint=$build/tools/farm-endpoint/farm-endpoint

if [ "${1:-}" = "--direct" ]; then
  shift
elif (($# > 0)) || [ -n "${TSC_NO_DEMO:-}" ]; then
  exec "$client" "$@"
else
  exec bash tools/demo/demo-farm.sh "$client" "$endpoint"
fi

demo=$PWD/build/demo
# A fresh home for every demo, unless DEMO_KEEP_HOME=1 keeps the last one (settings,
# log, hives and a downloaded update).
[ -n "${DEMO_KEEP_HOME:-}" ] || rm -rf "$demo/home"
mkdir -p "$demo/home"
cleanup() { bash tools/demo/demo-stop.sh "$demo/server"; bash tools/demo/demo-stop.sh "$demo/client"; }
trap cleanup EXIT

echo "demo: starting the demo terminal server"
read -r server_display server_port < <(bash tools/demo/demo-server.sh "$demo/server" | tail -n 1 |
  sed -E 's/DISPLAY=(:[0-9]+) PORT=([0-9]+)/\1 \2/')
[ -n "${server_port:-}" ] || { echo "demo: the terminal server did not start (see $demo/server)" >&2; exit 1; }
echo "demo: terminal server on 127.0.0.1:$server_port (its desktop is display $server_display)"

# Everything the client keeps goes to the demo's own home.
export HOME=$demo/home XDG_DATA_HOME=$demo/home/data XDG_CONFIG_HOME=$demo/home/config \
  XDG_STATE_HOME=$demo/home/state XDG_CONFIG_DIRS=$demo/home/etc TMPDIR=$demo/home/tmp
mkdir -p "$TMPDIR"
# In the client's own data folder: a profile there connects without the question a
# file from elsewhere gets.
mkdir -p -m 700 "$XDG_DATA_HOME" "$XDG_DATA_HOME/TerminalServer"
profile=$XDG_DATA_HOME/TerminalServer/demo.rdp
printf '%s\r\n' "screen mode id:i:1" "full address:s:127.0.0.1:$server_port" "username:s:demo" \
  "tsv_doloadbalancing:s:no" "tsv_doseamless:s:yes" > "$profile"

if [ -n "${DISPLAY:-}" ]; then
  echo "demo: the client connects seamless; the remote applications appear on your desktop"
  "$client" "$profile"
  exit 0
fi

mkdir -p "$demo/client"
: > "$demo/client/pids"
client_display=:$(( ${server_display#:} + 1 ))
while [ -e "/tmp/.X11-unix/X${client_display#:}" ]; do client_display=:$(( ${client_display#:} + 1 )); done
Xvfb "$client_display" -screen 0 1280x800x24 -nolisten tcp -noreset >"$demo/client/xvfb.log" 2>&1 &
echo $! >> "$demo/client/pids"
for _ in $(seq 100); do DISPLAY=$client_display xdpyinfo >/dev/null 2>&1 && break; sleep 0.05; done
# The local desktop: a plain blue background, so the cut-out key colour is easy to see.
DISPLAY=$client_display xsetroot -solid '#3a6ea5'
echo "demo: no display here, so the client runs on the virtual display $client_display"
DISPLAY=$client_display "$client" "$profile" >"$demo/client/client.out" 2>&1 &
echo $! >> "$demo/client/pids"
sleep "${DEMO_SECONDS:-12}"
shot=$demo/client-screenshot.png
DISPLAY=$client_display xwd -root -silent | convert xwd:- "$shot"
echo "demo: screenshot of the client's display: $shot"
echo "demo: the client's log: $XDG_DATA_HOME/TerminalServer/TerminalServer_FarmClient.log"
