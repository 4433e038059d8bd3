#!/usr/bin/env bash
# The demo Farm: two terminal servers on virtual displays (a magenta and a green
# desktop), our Farm endpoint naming the green one as preferred, and the client with
# load balancing on and an empty home. With no list yet the client asks for the Farm;
# the script types it (xdotool), the list arrives, and Connect lands on the green server.
#
#   tools/demo/demo-farm.sh <client> <farm-endpoint>
set -euo pipefail
client=${1:?client} endpoint=${2:?farm-endpoint}
demo=$PWD/build/demo
rm -rf "$demo/home"
mkdir -p "$demo/home" "$demo/farm"
cleanup() {
  bash tools/demo/demo-stop.sh "$demo/server1"; bash tools/demo/demo-stop.sh "$demo/server2"
  bash tools/demo/demo-stop.sh "$demo/farm"; bash tools/demo/demo-stop.sh "$demo/client"
}
trap cleanup EXIT

start_server() { # folder background -> "display port"
  DEMO_BACKGROUND=$2 bash tools/demo/demo-server.sh "$1" | tail -n 1 | sed -E 's/DISPLAY=(:[0-9]+) PORT=([0-9]+)/\1 \2/'
}
read -r display1 port1 < <(start_server "$demo/server1" '#ff00ff')
read -r display2 port2 < <(start_server "$demo/server2" '#2e8b57')
[ -n "${port1:-}" ] && [ -n "${port2:-}" ] || { echo "demo: a terminal server did not start" >&2; exit 1; }
echo "demo: terminal servers ts-magenta on 127.0.0.1:$port1, ts-green on 127.0.0.1:$port2"

farm_port=43390
while ss -Hltn "sport = :$farm_port" | grep -q .; do farm_port=$((farm_port + 1)); done
: > "$demo/farm/pids"
"$endpoint" --port "$farm_port" --domain DEMOFARM \
  --server "127.0.0.1 $port2 3391 $farm_port ts-green" \
  --server "127.0.0.1 $port1 3391 $farm_port ts-magenta" >"$demo/farm/endpoint.log" 2>&1 &
echo $! >> "$demo/farm/pids"
echo "demo: Farm endpoint on 127.0.0.1:$farm_port names ts-green as the preferred server"

export HOME=$demo/home XDG_DATA_HOME=$demo/home/data XDG_CONFIG_HOME=$demo/home/config \
  XDG_STATE_HOME=$demo/home/state XDG_CONFIG_DIRS=$demo/home/etc TMPDIR=$demo/home/tmp
mkdir -p "$TMPDIR" "$XDG_DATA_HOME/TerminalServer"
# Load balancing on, a window of 800 x 600, no list file: the client asks for the Farm.
printf '%s\r\n' "screen mode id:i:1" "desktopwidth:i:800" "desktopheight:i:600" "username:s:demo" \
  "tsv_doloadbalancing:s:yes" "tsv_doaskloadbalancinghostname:s:yes" "tsv_doseamless:s:no" \
  > "$XDG_DATA_HOME/TerminalServer/tsv_farm.rdp"

mkdir -p "$demo/client"
: > "$demo/client/pids"
shot() { DISPLAY=$client_display xwd -root -silent | convert xwd:- "$demo/$1.png"; echo "demo: screenshot $demo/$1.png"; }
if [ -n "${DISPLAY:-}" ]; then
  client_display=$DISPLAY
else
  client_display=:$(( ${display2#:} + 1 ))
  while [ -e "/tmp/.X11-unix/X${client_display#:}" ]; do client_display=:$(( ${client_display#:} + 1 )); done
  Xvfb "$client_display" -screen 0 1280x800x24 -nolisten tcp -noreset >"$demo/client/xvfb.log" 2>&1 &
  echo $! >> "$demo/client/pids"
  for _ in $(seq 100); do DISPLAY=$client_display xdpyinfo >/dev/null 2>&1 && break; sleep 0.05; done
  DISPLAY=$client_display xsetroot -solid '#3a6ea5'
  echo "demo: no display here, so the client runs on the virtual display $client_display"
fi
DISPLAY=$client_display "$client" >"$demo/client/client.out" 2>&1 &
echo $! >> "$demo/client/pids"
export DISPLAY=$client_display
sleep 4
shot farm-1-prompt
# The first-time prompt has the focus in its address field: the Farm, its port, Enter.
xdotool type --delay 30 "127.0.0.1"
xdotool key Tab
xdotool type --delay 30 "$farm_port"
xdotool key Return
sleep 3
shot farm-2-preferred
# Shift with a page change reveals the hidden pages (two steps back land on Support);
# three steps on is Farm Info.
xdotool key ctrl+shift+Tab
sleep 0.5
xdotool key ctrl+shift+Tab
sleep 0.5
xdotool key ctrl+Tab ctrl+Tab ctrl+Tab
sleep 1
shot farm-3-farm-info
# Past Logging, back on the first page: Enter is Connect.
xdotool key ctrl+Tab ctrl+Tab
sleep 0.5
xdotool key Return
sleep "${DEMO_SECONDS:-8}"
shot farm-4-connected
echo "demo: the client's log: $XDG_DATA_HOME/TerminalServer/TerminalServer_FarmClient.log"
if [ -n "${DEMO_WAIT:-}" ]; then wait; fi
