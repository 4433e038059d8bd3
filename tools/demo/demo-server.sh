#!/usr/bin/env bash
# Starts the demo Farm's terminal server on this machine: a virtual X display whose
# desktop is painted in the seamless key colour (255,0,255) with a few application
# windows on it, shared over RDP by freerdp-shadow-cli on a loopback port.
#
#   tools/demo/demo-server.sh <state-folder>
#
# Prints "DISPLAY=:N PORT=P" on its last line when the server listens. The pids are
# kept in <state-folder>/pids; tools/demo/demo-stop.sh <state-folder> ends them.
set -euo pipefail
state=${1:?state folder}
mkdir -p "$state"
: > "$state/pids"

free_port() {
  local p
  for p in $(seq 43389 43489); do
    ss -Hltn "sport = :$p" 2>/dev/null | grep -q . || { echo "$p"; return; }
  done
  return 1
}

port=${DEMO_PORT:-$(free_port)}
geometry=${DEMO_GEOMETRY:-1280x800}
background=${DEMO_BACKGROUND:-#ff00ff}

# Xvfb chooses a free display number itself and reports it.
exec 3> "$state/display"
Xvfb -displayfd 3 -screen 0 "${geometry}x24" -nolisten tcp -noreset >"$state/xvfb.log" 2>&1 &
echo $! >> "$state/pids"
exec 3>&-
display=
for _ in $(seq 100); do
  display=$(head -n 1 "$state/display" 2>/dev/null)
  [ -n "$display" ] && break
  sleep 0.05
done
[ -n "$display" ] || { echo "demo-server: Xvfb did not start (see $state/xvfb.log)" >&2; exit 1; }
export DISPLAY=":$display"
xsetroot -solid "$background"

# A few applications on the key-coloured desktop; they are what a seamless session
# shows on the local screen.
start_app() { "$@" >/dev/null 2>&1 & echo $! >> "$state/pids"; }
command -v xclock >/dev/null && start_app xclock -geometry 180x180+60+60 -update 1
command -v xlogo >/dev/null && start_app xlogo -geometry 160x160+300+80
command -v xterm >/dev/null && start_app xterm -geometry 70x16+120+330 -T "Remote application" \
  -e sh -c 'echo "This window runs on the demo terminal server."; echo "Type here: input travels over RDP."; exec sh'
command -v xeyes >/dev/null && start_app xeyes -geometry 150x100+700+100

freerdp-shadow-cli /bind-address:127.0.0.1 "/port:$port" -auth >"$state/shadow.log" 2>&1 &
echo $! >> "$state/pids"
for _ in $(seq 200); do
  ss -Hltn "sport = :$port" 2>/dev/null | grep -q . && break
  sleep 0.05
done
ss -Hltn "sport = :$port" | grep -q . || { echo "demo-server: the RDP server did not start (see $state/shadow.log)" >&2; exit 1; }
echo "DISPLAY=:$display PORT=$port"
