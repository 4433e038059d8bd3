#!/usr/bin/env bash
# The two-monitor full-screen session against xfreerdp /multimon /f, against the same
# xrdp session, interleaved (A B A B ...):
#   bench/session/multimon.sh [RUNS] [SECONDS] [RESULTS_FILE]
# The client desktop is an Xorg with the dummy driver split into two RandR monitors
# (1024x768 each, the primary on the right), the server Debian's xrdp with an Xorg
# session of the xrdp test user (as tests/session/XrdpServer makes it). One load
# painter (the shared harness's xprobe.py) paints full-screen frames at 20 frames/s
# on the session's display for the whole run; each client in turn connects, is
# given 4 s, then for SECONDS its CPU is counted and the frames it shows are
# watched at a pixel of the moving marker. Prints and appends one JSON line per run.
# Needs root (xrdp's session manager); holds the machine's xrdp lock while xrdp runs.
# PROGRAM: the client executable (default: the release build in build-rel);
# PROGRAM_B: a second build of it, run after PROGRAM in each round as "ours-b";
# PROFILE_WRITER: tests/profiles' profile_writer_tool (default: the test build's),
# which saves the password protected as the program keeps it.
set -euo pipefail
LOCK=/run/lock/tsc-xrdp-tests.lock
if [[ "${TSC_MULTIMON_LOCKED:-}" != 1 ]]; then
    TSC_MULTIMON_LOCKED=1 exec flock "$LOCK" bash ${TSC_TRACE:+-x} "$0" "$@"
fi
HERE=$(cd "$(dirname "${BASH_SOURCE[0]}")" && pwd)
ROOT=$(cd "$HERE/../.." && pwd)
RUNS=${1:-5}
SECONDS_MEASURED=${2:-15}
RESULTS=${3:-$HERE/results/multimon-$(date -u +%Y-%m-%d).jsonl}
PROGRAM=${PROGRAM:-$ROOT/build-rel/src/shell/tsvLinux-x86_64client}
PROBE=${PROBE:-/work/shared/bench/xprobe.py}
PROFILE_WRITER=${PROFILE_WRITER:-$ROOT/build/test/tests/profiles/profile_writer_tool}
ADDRESS=127.30.2.9
PORT=33939
CLIENT_DISPLAY=${CLIENT_DISPLAY:-:317}
USER_NAME=tsc28clip
PASSWORD=Clip-Test-28
FPS=20
WORK=$(mktemp -d)
# The load painter runs as the session's user and writes its log here.
chmod 0711 "$WORK"
mkdir -m 0777 "$WORK/load"
PIDS=()

cleanup() {
    for pid in "${PIDS[@]}"; do kill "$pid" 2>/dev/null || true; done
    # The session's processes (xrdp started them for the test user), one by one.
    for pid in $(pgrep -u "$USER_NAME" || true); do kill "$pid" 2>/dev/null || true; done
    sleep 1
    for pid in "${PIDS[@]}"; do kill -KILL "$pid" 2>/dev/null || true; done
    rm -rf "$WORK"
}
trap cleanup EXIT

# The client desktop: two monitors.
cat >"$WORK/xorg.conf" <<'EOF'
Section "Device"
  Identifier "dummy"
  Driver "dummy"
  VideoRam 32768
EndSection
Section "Monitor"
  Identifier "monitor"
  HorizSync 5.0-1000.0
  VertRefresh 5.0-200.0
  Modeline "2048x768" 100.0 2048 2100 2200 2300 768 770 775 800
EndSection
Section "Screen"
  Identifier "screen"
  Device "dummy"
  Monitor "monitor"
  DefaultDepth 24
  SubSection "Display"
    Depth 24
    Virtual 2048 768
    Modes "2048x768"
  EndSubSection
EndSection
EOF
Xorg "$CLIENT_DISPLAY" -config "$WORK/xorg.conf" -noreset -nolisten tcp -logfile "$WORK/xorg.log" >/dev/null 2>&1 &
PIDS+=($!)
for _ in $(seq 50); do xrandr -d "$CLIENT_DISPLAY" --listmonitors >/dev/null 2>&1 && break; sleep 0.2; done
xrandr -d "$CLIENT_DISPLAY" --setmonitor RIGHT 1024/270x768/200+1024+0 DUMMY0 >/dev/null
xrandr -d "$CLIENT_DISPLAY" --setmonitor LEFT 1024/270x768/200+0+0 none >/dev/null
xrandr -d "$CLIENT_DISPLAY" --output DUMMY0 --primary

# The server: the distribution's configuration with our address, port and user.
id "$USER_NAME" >/dev/null 2>&1 || useradd -m -s /bin/bash "$USER_NAME"
echo "$USER_NAME:$PASSWORD" | chpasswd
mkdir -p /run/xrdp/sockdir && chmod 3777 /run/xrdp/sockdir
python3 - "$WORK" "$ADDRESS" "$PORT" "$USER_NAME" "$PASSWORD" <<'EOF'
import re, sys
work, address, port, user, password = sys.argv[1:]
xrdp = open("/etc/xrdp/xrdp.ini").read()
xrdp = re.sub(r"(?m)^port=3389$", f"port=tcp://{address}:{port}", xrdp)
xrdp = re.sub(r"(?m)^autorun=.*$", "autorun=Xorg", xrdp)
xrdp = re.sub(r"(?m)^LogFile=.*$", f"LogFile={work}/xrdp.log", xrdp)
start = xrdp.index("[Xorg]")
end = xrdp.find("[", start + 1)
end = len(xrdp) if end < 0 else end
section = xrdp[start:end].replace("username=ask", "username=" + user).replace("password=ask", "password=" + password)
open(f"{work}/xrdp.ini", "w").write(xrdp[:start] + section + xrdp[end:])
sesman = re.sub(r"(?m)^LogFile=.*$", f"LogFile={work}/sesman.log", open("/etc/xrdp/sesman.ini").read())
open(f"{work}/sesman.ini", "w").write(sesman)
EOF
/usr/sbin/xrdp-sesman --nodaemon --config "$WORK/sesman.ini" >"$WORK/sesman.out" 2>&1 &
PIDS+=($!)
/usr/sbin/xrdp --nodaemon --config "$WORK/xrdp.ini" >"$WORK/xrdp.out" 2>&1 &
PIDS+=($!)
sleep 2

session_display() { pgrep -a -u "$USER_NAME" Xorg | grep -o ' :[0-9]*' | head -1 | tr -d ' ' || true; }
ticks() { awk '{print $14 + $15}' "/proc/$1/stat" 2>/dev/null || echo 0; }

# The program's profile: full screen over the monitors, the password as it keeps it
# (written by the program's own reader and writer through a throw-away home).
export HOME="$WORK/home" XDG_CONFIG_HOME="$WORK/home/config" XDG_DATA_HOME="$WORK/home/data" \
    XDG_STATE_HOME="$WORK/home/state" XDG_CONFIG_DIRS="$WORK/home/etc" TMPDIR="$WORK"
mkdir -p "$XDG_DATA_HOME/TerminalServer" "$XDG_CONFIG_DIRS/TerminalServerClient"
printf '%s\r\n' 'REGEDIT4' '' '[HKEY_LOCAL_MACHINE\SOFTWARE\TerminalServer]' \
    '"AskBeforeOpenedFiles"=dword:00000000' >"$XDG_CONFIG_DIRS/TerminalServerClient/HKEY_LOCAL_MACHINE.reg"
PROFILE="$XDG_DATA_HOME/TerminalServer/multimon.rdp"
ASAN_OPTIONS=detect_leaks=0 "$PROFILE_WRITER" "$PROFILE" "$ADDRESS:$PORT" "$USER_NAME" "$PASSWORD"
# The later lines win over the writer's.
printf '%s\r\n' "audiomode:i:2" "session bpp:i:32" "screen mode id:i:2" "use multimon:i:1" \
    "displayconnectionbar:i:0" | iconv -f utf-8 -t utf-16le >>"$PROFILE"

start_client() { # NAME -> pid
    case "$1" in
    ours)
        DISPLAY=$CLIENT_DISPLAY QT_QPA_PLATFORM=xcb "$PROGRAM" "$PROFILE" >"$WORK/ours.out" 2>&1 &
        ;;
    ours-b)
        DISPLAY=$CLIENT_DISPLAY QT_QPA_PLATFORM=xcb "$PROGRAM_B" "$PROFILE" >"$WORK/ours-b.out" 2>&1 &
        ;;
    xfreerdp)
        DISPLAY=$CLIENT_DISPLAY xfreerdp /v:$ADDRESS:$PORT /u:$USER_NAME /p:$PASSWORD /cert:ignore /f \
            /multimon /bpp:32 /audio-mode:2 -grab-keyboard >"$WORK/xfreerdp.out" 2>&1 &
        ;;
    esac
    echo $!
}

LOAD_STARTED=
run_one() { # NAME
    local name=$1 pid display c0 c1
    pid=$(start_client "$name")
    for _ in $(seq 100); do display=$(session_display); [[ -n "$display" ]] && break; sleep 0.2; done
    if [[ -z "$LOAD_STARTED" ]]; then
        sleep 3
        runuser -u "$USER_NAME" -- env DISPLAY="$display" XAUTHORITY="/home/$USER_NAME/.Xauthority" \
            python3 "$PROBE" load --fps "$FPS" --log "$WORK/load/load.log" &
        PIDS+=($!)
        LOAD_STARTED=1
    fi
    sleep 4
    local monitors
    monitors=$(runuser -u "$USER_NAME" -- env DISPLAY="$display" XAUTHORITY="/home/$USER_NAME/.Xauthority" \
        xrandr --listmonitors | head -1 | awk '{print $2}')
    c0=$(ticks "$pid")
    DISPLAY=$CLIENT_DISPLAY python3 "$PROBE" watch --seconds "$SECONDS_MEASURED" --at 1000,384 \
        --log "$WORK/watch.log"
    c1=$(ticks "$pid")
    local frames
    frames=$(python3 "$PROBE" analyze "$WORK/load/load.log" "$WORK/watch.log")
    kill "$pid" 2>/dev/null || true
    wait "$pid" 2>/dev/null || true
    sleep 2
    python3 - "$name" "$c0" "$c1" "$SECONDS_MEASURED" "$monitors" "$frames" <<'EOF' | tee -a "$RESULTS"
import json, os, sys
name, c0, c1, seconds, monitors, frames = sys.argv[1:]
hz = os.sysconf("SC_CLK_TCK")
r = {"label": name, "client_cpu_s": round((int(c1) - int(c0)) / hz, 2), "window_s": float(seconds),
     "session_monitors": int(monitors or 0)}
r.update(json.loads(frames))
if r.get("shown_fps"):
    r["client_cpu_ms_per_frame"] = round(1000 * r["client_cpu_s"] / (r["shown_fps"] * r["window_s"]), 2)
print(json.dumps(r))
EOF
}

mkdir -p "$(dirname "$RESULTS")"
for _ in $(seq "$RUNS"); do
    run_one ours
    [[ -z "${PROGRAM_B:-}" ]] || run_one ours-b
    run_one xfreerdp
done
