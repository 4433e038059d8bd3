#!/usr/bin/env bash
# text-screen.sh - how much of a static screen of coloured text arrives exactly
# at an RDP client, after a phase of scrolling text.
#
# Per run, all on this machine and on 127.0.0.1 only: a server Xvfb with
# freerdp-shadow-cli on a free port, two xterms on it (TrueType font, coloured
# output that scrolls; a spreadsheet-like grid that is redrawn), a client Xvfb
# and the CLIENT COMMAND on it. After the client's first frame: MOTION_S seconds
# of motion (client CPU measured), then a fixed final screen; 1 s and 3 s after
# the server screen last changed, both screens are grabbed and compared pixel by
# pixel, rows Y0.. to the bottom. One JSON line per run.
#
# usage: text-screen.sh [options] LABEL=COMMAND ...
#   COMMAND is split on blanks; {host} and {port} are replaced; the client also
#   gets RDP_HOST, RDP_PORT and its own TMPDIR.
# options:
#   -n REPS     repetitions of each, interleaved A B C A B C ... (default 1)
#   -o FILE     append the JSON lines to FILE (default results/text-screen-<UTC time>.jsonl)
#   -m SECONDS  motion phase (default 8)
#   -y Y0       first compared row (default 40: leaves out a toolbar at the top)
#   -t SECONDS  first-frame timeout (default 30)
#   -P DIR      write the first grab of each run as PNG (server, client, diff) to DIR
#   -k          keep each run's work directory (logs) and print its path
set -euo pipefail
export LC_ALL=C

HERE=$(cd "$(dirname "${BASH_SOURCE[0]}")" && pwd)
helper() { python3 "$HERE/text-screen.py" "$@"; }
SIZE=1024x768 FONT='DejaVu Sans Mono' FONT_PT=10

# ------------------------------------------------- the matrix (outer) ----
if [ "${1:-}" != --one ]; then
    REPS=1 OUT= PASS=()
    while getopts "n:o:m:y:t:P:kh" opt; do
        case $opt in
            n) REPS=$OPTARG ;; o) OUT=$OPTARG ;;
            m | y | t | P) PASS+=("-$opt" "$OPTARG") ;; k) PASS+=(-k) ;;
            *) sed -n '2,/^set -e/p' "$0" | sed '$d; s/^# \{0,1\}//'; exit 2 ;;
        esac
    done
    shift $((OPTIND - 1))
    [ $# -gt 0 ] || { echo "text-screen: give LABEL=COMMAND (see -h)" >&2; exit 2; }
    mkdir -p "$HERE/results"
    OUT=${OUT:-$HERE/results/text-screen-$(date -u +%Y%m%dT%H%M%SZ).jsonl}
    touch "$OUT"
    fails=0
    for ((rep = 1; rep <= REPS; rep++)); do
        for entry in "$@"; do
            label=${entry%%=*}
            read -ra cmd <<<"${entry#*=}"
            echo "== $label, run $rep/$REPS" >&2
            before=$(wc -l <"$OUT")
            if ! "$0" --one "${PASS[@]}" -l "$label" -r "$rep" -o "$OUT" -- "${cmd[@]}" >/dev/null; then
                fails=$((fails + 1))
                # a failed run writes its line itself, unless it crashed
                [ "$(wc -l <"$OUT")" -gt "$before" ] ||
                    printf '{"label": "%s", "run": %d, "failed": true}\n' "$label" "$rep" >>"$OUT"
            fi
        done
    done
    echo "results: $OUT ($fails failed runs)" >&2
    helper summary "$OUT"
    exit 0
fi

# ---------------------------------------------------- one run (inner) ----
shift
MOTION=8 Y0=40 TIMEOUT=30 PNG= KEEP=0 LABEL=run RUN=1 OUT=
while getopts "m:y:t:P:kl:r:o:" opt; do
    case $opt in
        m) MOTION=$OPTARG ;; y) Y0=$OPTARG ;; t) TIMEOUT=$OPTARG ;; P) PNG=$OPTARG ;;
        k) KEEP=1 ;; l) LABEL=$OPTARG ;; r) RUN=$OPTARG ;; o) OUT=$OPTARG ;;
        *) exit 2 ;;
    esac
done
shift $((OPTIND - 1))

PIDS=()            # every process we started, in start order

log() { printf '[%s] %s\n' "$(date +%T)" "$*" >&2; }
emit() {           # JSON line -> stdout and OUT
    echo "$1"; [ -z "$OUT" ] || echo "$1" >>"$OUT"
}
die() {            # log, emit a JSON line marked failed, exit 1
    log "FAILED: $*"
    emit "$(python3 -c 'import json, sys
print(json.dumps({"label": sys.argv[1], "run": int(sys.argv[2]), "failed": True,
                  "reason": sys.argv[3]}))' "$LABEL" "$RUN" "$*")"
    exit 1
}

for tool in Xvfb freerdp-shadow-cli xterm xsetroot ss python3; do
    command -v "$tool" >/dev/null || die "$tool not found (see bench/session/README.md)"
done
grep -q "$FONT" <<<"$(fc-list : family)" || die "font $FONT not found (fonts-dejavu-core)"
WORK=$(mktemp -d "${TMPDIR:-/tmp}/text-screen.XXXXXX")

descendants() {    # PID -> its children, grandchildren, ...
    local k
    for k in $(ps -o pid= --ppid "$1" 2>/dev/null); do echo "$k"; descendants "$k"; done
}
running() {        # PID: alive and not a zombie waiting to be reaped
    local s
    s=$(cat "/proc/$1/stat" 2>/dev/null) || return 1
    s=${s##*) }; [ "${s:0:1}" != Z ]
}
stop_tree() {      # PID: SIGTERM it and its descendants, SIGKILL after 3 s
    local pids i p k
    # only a live child of ours: a reaped PID may have been reused meanwhile
    [ "$(ps -o ppid= -p "$1" 2>/dev/null | tr -d ' ')" = "$$" ] || return 0
    pids=("$1" $(descendants "$1"))
    kill -TERM "${pids[@]}" 2>/dev/null || true
    for ((i = 0; i < 30; i++)); do
        p=0; for k in "${pids[@]}"; do running "$k" && p=1; done
        [ $p = 0 ] && break; sleep 0.1
    done
    kill -KILL "${pids[@]}" 2>/dev/null || true
    wait "$1" 2>/dev/null || true
}
cleanup() {
    local rc=$? i
    trap - EXIT INT TERM
    for ((i = ${#PIDS[@]} - 1; i >= 0; i--)); do stop_tree "${PIDS[i]}"; done
    if [ "$KEEP" = 1 ]; then log "logs kept in $WORK"; else rm -rf "$WORK"; fi
    exit "$rc"
}
trap cleanup EXIT
trap 'exit 130' INT
trap 'exit 143' TERM

# a step in the background, waited for: `wait` returns at once on a signal
step() { "$@" & local p=$!; PIDS+=($p); wait $p; }

start_xvfb() {     # SIZE NAME -> sets $NAME to the display ":N", ${NAME}_PID
    local f="$WORK/$2.displayfd" i
    Xvfb -displayfd 3 -screen 0 "${1}x24" -br -noreset -nolisten tcp \
        3>"$f" >"$WORK/$2.log" 2>&1 &
    PIDS+=($!); printf -v "$2_PID" %s $!
    for ((i = 0; i < 200; i++)); do
        [ -s "$f" ] && { printf -v "$2" ':%s' "$(head -1 "$f")"; return; }
        sleep 0.05
    done
    die "Xvfb ($2) did not start"
}
start_server() {   # -> sets PORT, SERVER; retries if a port is taken meanwhile
    local try i
    for try in 1 2 3; do
        PORT=$((20000 + RANDOM % 40000))
        [ -z "$(ss -ltnH "sport = :$PORT")" ] || continue
        DISPLAY=$SDPY freerdp-shadow-cli /port:$PORT /bind-address:127.0.0.1 -auth \
            >"$WORK/server.log" 2>&1 &
        SERVER=$!; PIDS+=($SERVER)
        for ((i = 0; i < 100; i++)); do
            ss -ltnpH "sport = :$PORT" | grep -q "pid=$SERVER," && return
            running $SERVER || break
            sleep 0.1
        done
        stop_tree $SERVER
    done
    die "freerdp-shadow-cli did not listen (see server.log)"
}
start_xterm() {    # NAME GEOMETRY: an xterm running the helper's NAME screen
    DISPLAY=$SDPY LC_ALL=C.UTF-8 xterm -u8 -fa "$FONT" -fs $FONT_PT +sb -bw 0 -b 2 \
        -bg black -fg '#d0d0d0' -xrm 'XTerm*cursorBlink: false' -geometry "$2" \
        -title "$1" -e python3 "$HERE/text-screen.py" term "$1" "$WORK/ctrl" \
        >"$WORK/xterm-$1.log" 2>&1 &
    PIDS+=($!)
}
wait_files() {     # SECONDS FILE...: until all exist
    local i f n
    for ((i = 0; i < $1 * 50; i++)); do
        n=0; for f in "${@:2}"; do [ -e "$f" ] || n=1; done
        [ $n = 0 ] && return 0
        sleep 0.02
    done
    return 1
}

TCK=$(getconf CLK_TCK)
cpu_ticks() {      # PID -> user+sys ticks of it and its descendants (+ reaped children)
    local p s f t=0
    for p in "$1" $(descendants "$1"); do
        s=$(cat "/proc/$p/stat" 2>/dev/null) || continue
        read -ra f <<<"${s##*) }"
        t=$((t + f[11] + f[12] + f[13] + f[14]))
    done
    echo $t
}
rx_bytes() {       # TCP payload bytes received by the client side of the connection
    ss -tinH state established "( dport = :$PORT )" | awk '{
        for (i = 1; i <= NF; i++) if ($i ~ /^bytes_received:/) s += substr($i, 16)
    } END {print s + 0}'
}
secs() { awk -v a="$1" -v b="$2" 'BEGIN {printf "%.3f", (b - a) / '"$TCK"'}'; }

# ---------------------------------------------------------------- setup ----
# Server screen: xterms of 8x17 px cells (DejaVu Sans Mono 10 at Xvfb's
# 96 dpi) plus a 2 px border: 64x44 at the left (516x752 px), 63x44 at the
# right (508x752); the 16 rows below them show the dark grey root.
mkdir "$WORK/ctrl" "$WORK/tmp"
start_xvfb "$SIZE" SDPY
DISPLAY=$SDPY xsetroot -solid '#303030'
start_xterm listing 64x44+0+0
start_xterm grid 63x44+516+0
wait_files 20 "$WORK/ctrl/ready-listing" "$WORK/ctrl/ready-grid" ||
    die "the xterms did not start: $(tail -2 "$WORK"/xterm-*.log)"
start_server
start_xvfb "$SIZE" CDPY

ARGS=()
for a in "$@"; do a=${a//\{host\}/127.0.0.1}; ARGS+=("${a//\{port\}/$PORT}"); done
log "$LABEL run $RUN: server $SDPY port $PORT, client $CDPY: ${ARGS[*]}"

LOADAVG=$(cut -d' ' -f1 /proc/loadavg)
T0=$EPOCHREALTIME
DISPLAY=$CDPY RDP_HOST=127.0.0.1 RDP_PORT=$PORT TMPDIR="$WORK/tmp" \
    "${ARGS[@]}" >"$WORK/client.log" 2>&1 &
CLIENT=$!; PIDS+=($CLIENT)
step helper firstframe --server "$SDPY" --client "$CDPY" --timeout "$TIMEOUT" --pid $CLIENT \
    >"$WORK/first" || die "no first frame: $(cat "$WORK/first"); client log: $(tail -3 "$WORK/client.log")"
FF=$(cat "$WORK/first")
FIRST_MS=$(awk -v a="$T0" -v b="${FF%% *}" 'BEGIN {printf "%.0f", (b - a) * 1000}')
log "first frame after ${FIRST_MS} ms (${FF#* })"
step sleep 1       # let the session settle

# --------------------------------------------------------------- motion ----
running $CLIENT || die "client exited early: $(tail -3 "$WORK/client.log")"
C0=$(cpu_ticks $CLIENT) X0=$(cpu_ticks $CDPY_PID) S0=$(cpu_ticks $SERVER) R0=$(rx_bytes)
M0=$EPOCHREALTIME
touch "$WORK/ctrl/go"
step sleep "$MOTION"
touch "$WORK/ctrl/stop"
C1=$(cpu_ticks $CLIENT) X1=$(cpu_ticks $CDPY_PID) S1=$(cpu_ticks $SERVER) R1=$(rx_bytes)
M1=$EPOCHREALTIME
wait_files 10 "$WORK/ctrl/done-listing" "$WORK/ctrl/done-grid" ||
    die "the xterms did not draw their final screens"

# ---------------------------------------------------------- static screen ----
PNG_ARG=()
if [ -n "$PNG" ]; then mkdir -p "$PNG"; PNG_ARG=(--png "$PNG/$LABEL-$RUN"); fi
step helper static --server "$SDPY" --client "$CDPY" --y0 "$Y0" --at 1,3 --since "$M1" \
    "${PNG_ARG[@]}" >"$WORK/static" || die "$(cat "$WORK/static")"
C2=$(cpu_ticks $CLIENT)
ALIVE=1; running $CLIENT || ALIVE=0

# ---------------------------------------------------------------- result ----
emit "$(python3 - "$(cat "$WORK/static")" "$LABEL" "${ARGS[*]}" <<EOF
import json, sys
r = {"label": sys.argv[2], "run": $RUN, "date": "$(date -u +%FT%TZ)", "command": sys.argv[3],
     "session": "$SIZE", "font": "$FONT $FONT_PT", "loadavg_before": $LOADAVG,
     "first_frame_ms": $FIRST_MS,
     "motion_s": round($M1 - $M0, 3), "client_cpu_s": $(secs "$C0" "$C1"),
     "client_xvfb_cpu_s": $(secs "$X0" "$X1"), "server_cpu_s": $(secs "$S0" "$S1"),
     "client_cpu_static_s": $(secs "$C1" "$C2"), "rx_bytes": $((R1 - R0)),
     "client_alive": bool($ALIVE)}
r["rx_mbit_s"] = round(8 * r["rx_bytes"] / r["motion_s"] / 1e6, 2)
r.update(json.loads(sys.argv[1]))
if not r["client_alive"]:
    r.update(failed=True, reason="the client ended before the screens were compared")
print(json.dumps(r))
EOF
)"
[ "$ALIVE" = 1 ]
