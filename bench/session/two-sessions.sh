#!/usr/bin/env bash
# Two sessions at once: two server displays, each with its own freerdp-shadow-cli
# and the shared harness's load, and two clients (one per server, each on a client
# X server of its own so that each session's frame marker can be watched). The
# figures are the sums over both clients: CPU in the window, private memory and
# PSS sampled once a second through it (as the shared harness does for one), and
# the frames each client showed.
#
# usage: two-sessions.sh [-n RUNS] [-d SECONDS] [-f FPS] [-s WxH] [-o OUT.jsonl] LABEL=COMMAND...
#   COMMAND is split on blanks; {host} and {port} are replaced (each client gets its
#   own server's port); labels are interleaved run by run (A B A B ...). The program
#   opens one session window per RDP version and a profile replaces the running
#   session of its version, so two sessions are two processes, as two xfreerdp:
#     XF="xfreerdp /v:{host}:{port} /cert:ignore /u:test /p:test /gfx:AVC420"
#     TSC_CLIENT=$PWD/bench/session/program.sh TSC_PROGRAM=build/rel/src/shell/tsvLinux-x86_64client \
#       bench/session/two-sessions.sh -n 5 -o bench/session/results/two-sessions.jsonl \
#       "xfreerdp-avc420=$XF" "program=$PWD/../shared/bench/clients/ours.sh {port}"
# Needs what the shared harness needs (../shared/bench/README.md). Run nothing else meanwhile.
set -euo pipefail
HERE=$(cd "$(dirname "${BASH_SOURCE[0]}")" && pwd)
SHARED=${TSC_SHARED_BENCH:-$HERE/../../../shared/bench}
RUNS=3 DURATION=20 FPS=20 SIZE=1024x768 OUT=$HERE/results/two-sessions-$(date -u +%Y%m%dT%H%M%SZ).jsonl
while getopts "n:d:f:s:o:h" opt; do
    case $opt in
        n) RUNS=$OPTARG ;; d) DURATION=$OPTARG ;; f) FPS=$OPTARG ;; s) SIZE=$OPTARG ;; o) OUT=$OPTARG ;;
        *) sed -n '2,18p' "$0"; exit 2 ;;
    esac
done
shift $((OPTIND - 1))
[ $# -gt 0 ] || { sed -n '2,18p' "$0"; exit 2; }
probe() { python3 "$SHARED/xprobe.py" "$@"; }
KEY=FF00FF
TCK=$(getconf CLK_TCK)

PIDS=()
descendants() { local k; for k in $(ps -o pid= --ppid "$1" 2>/dev/null); do echo "$k"; descendants "$k"; done; }
stop_tree() {
    local pids i
    [ "$(ps -o ppid= -p "$1" 2>/dev/null | tr -d ' ')" = "$BASHPID" ] || return 0
    pids=("$1" $(descendants "$1"))
    kill -TERM "${pids[@]}" 2>/dev/null || true
    for ((i = 0; i < 30; i++)); do kill -0 "${pids[@]}" 2>/dev/null || break; sleep 0.1; done
    kill -KILL "${pids[@]}" 2>/dev/null || true
    wait "$1" 2>/dev/null || true
}
stop_all() { local i; for ((i = ${#PIDS[@]} - 1; i >= 0; i--)); do stop_tree "${PIDS[i]}"; done; PIDS=(); }
WORK=
cleanup() { trap - EXIT INT TERM; stop_all; [ -z "$WORK" ] || rm -rf "$WORK"; }
trap cleanup EXIT
trap 'exit 130' INT
trap 'exit 143' TERM

start_xvfb() { # SIZE FILE -> display ":N" on stdout; Xvfb's PID appended to PIDS by the caller
    Xvfb -displayfd 3 -screen 0 "${1}x24" -br -noreset -nolisten tcp 3>"$2" >/dev/null 2>&1 &
    echo $! >"$2.pid"
}
wait_display() {
    local i
    for ((i = 0; i < 200; i++)); do [ -s "$1" ] && { echo ":$(head -1 "$1")"; return; }; sleep 0.05; done
    return 1
}
cpu_ticks() {
    local p s f t=0
    for p in "$@"; do
        for q in "$p" $(descendants "$p"); do
            s=$(cat "/proc/$q/stat" 2>/dev/null) || continue
            read -ra f <<<"${s##*) }"
            t=$((t + f[11] + f[12] + f[13] + f[14]))
        done
    done
    echo $t
}
mem_now_kb() { # PIDS -> "PSS PRIVATE" summed over them and their descendants
    local p q pss=0 priv=0 a b c
    for p in "$@"; do
        for q in "$p" $(descendants "$p"); do
            read -r a b c < <(awk '/^Pss:/ {s=$2} /^Private_Clean:/ {pc=$2} /^Private_Dirty:/ {pd=$2}
                END {print s+0, pc+0, pd+0}' "/proc/$q/smaps_rollup" 2>/dev/null) || continue
            pss=$((pss + a)); priv=$((priv + b + c))
        done
    done
    echo "$pss $priv"
}

one_run() { # LABEL COMMAND -> one JSON line on stdout
    local label=$1 command=$2 i port sdpy cdpy
    WORK=$(mktemp -d)
    local ports=() cdpys=() servers=() clients=() loads=() watches=()
    for i in 1 2; do
        start_xvfb "$SIZE" "$WORK/s$i"; PIDS+=($(cat "$WORK/s$i.pid"))
        start_xvfb "$SIZE" "$WORK/c$i"; PIDS+=($(cat "$WORK/c$i.pid"))
        sdpy=$(wait_display "$WORK/s$i") || { echo "Xvfb did not start" >&2; return 1; }
        cdpy=$(wait_display "$WORK/c$i") || { echo "Xvfb did not start" >&2; return 1; }
        DISPLAY=$sdpy xsetroot -solid "#$KEY"
        for ((try = 0; try < 5; try++)); do
            port=$((20000 + RANDOM % 40000))
            [ -z "$(ss -ltnH "sport = :$port")" ] && break
        done
        DISPLAY=$sdpy freerdp-shadow-cli /port:$port /bind-address:127.0.0.1 -auth >"$WORK/server$i.log" 2>&1 &
        servers+=($!); PIDS+=($!)
        for ((try = 0; try < 100; try++)); do
            ss -ltnH "sport = :$port" | grep -q . && break
            sleep 0.1
        done
        ports+=($port); cdpys+=($cdpy); echo "$sdpy" >"$WORK/sdpy$i"
    done
    for i in 0 1; do
        local args=() a
        for a in $command; do a=${a//\{host\}/127.0.0.1}; args+=("${a//\{port\}/${ports[i]}}"); done
        mkdir -p "$WORK/tmp$i"
        DISPLAY=${cdpys[i]} RDP_HOST=127.0.0.1 RDP_PORT=${ports[i]} TMPDIR="$WORK/tmp$i" \
            "${args[@]}" >"$WORK/client$i.log" 2>&1 &
        clients+=($!); PIDS+=($!)
    done
    for i in 0 1; do
        DISPLAY=${cdpys[i]} probe wait "$KEY" --timeout 60 --pid "${clients[i]}" >/dev/null ||
            { echo "no first frame from client $i: $(tail -3 "$WORK/client$i.log")" >&2; return 1; }
    done
    sleep 2
    if [ "$FPS" != 0 ]; then
        for i in 1 2; do
            DISPLAY=$(cat "$WORK/sdpy$i") probe load --fps "$FPS" --log "$WORK/load$i.log" &
            loads+=($!); PIDS+=($!)
        done
        sleep 2
    fi
    local c0 c1 w0 w1 sampler
    c0=$(cpu_ticks "${clients[@]}")
    ( while kill -0 "${clients[0]}" 2>/dev/null && kill -0 "${clients[1]}" 2>/dev/null; do
          mem_now_kb "${clients[@]}" >>"$WORK/mem.txt"; sleep 1
      done ) &
    sampler=$!; PIDS+=($sampler)
    w0=$EPOCHREALTIME
    if [ "$FPS" != 0 ]; then
        for i in 0 1; do
            DISPLAY=${cdpys[i]} probe watch --seconds "$DURATION" --log "$WORK/watch$i.log" &
            watches+=($!)
        done
        wait "${watches[@]}"
    else
        sleep "$DURATION"
    fi
    c1=$(cpu_ticks "${clients[@]}")
    w1=$EPOCHREALTIME
    local alive=1
    kill -0 "${clients[0]}" 2>/dev/null && kill -0 "${clients[1]}" 2>/dev/null || alive=0
    local frames0='{}' frames1='{}'
    if [ "$FPS" != 0 ]; then
        for p in "${loads[@]}"; do stop_tree "$p"; done
        frames0=$(probe analyze "$WORK/load1.log" "$WORK/watch0.log")
        frames1=$(probe analyze "$WORK/load2.log" "$WORK/watch1.log")
    fi
    python3 - "$label" "$command" "$frames0" "$frames1" "$WORK/mem.txt" <<EOF
import json, statistics, sys
label, command, f0, f1, memfile = sys.argv[1:6]
mem = [tuple(map(int, l.split())) for l in open(memfile) if l.strip()] if __import__("os").path.exists(memfile) else []
f0, f1 = json.loads(f0), json.loads(f1)
window = $w1 - $w0
cpu = ($c1 - $c0) / $TCK
r = {"label": label, "date": "$(date -u +%FT%TZ)", "command": command, "session": "$SIZE",
     "load_fps": $FPS, "sessions": 2, "window_s": round(window, 3), "client_cpu_s": round(cpu, 2),
     "client_private_mb_median": round(statistics.median_low([m[1] for m in mem]) / 1024, 1) if mem else None,
     "client_pss_mb_median": round(statistics.median_low([m[0] for m in mem]) / 1024, 1) if mem else None,
     "frames_shown_each": [f0.get("frames_shown"), f1.get("frames_shown")],
     "loadavg_before": $(cut -d' ' -f1 /proc/loadavg), "clients_alive": bool($alive)}
shown = sum(f.get("frames_shown") or 0 for f in (f0, f1))
r["frames_shown"] = shown
if shown:
    r["client_cpu_ms_per_frame"] = round(1000 * cpu / shown, 2)
if not r["clients_alive"]:
    r.update(failed=True, reason="a client ended during the measured window")
print(json.dumps(r))
EOF
    stop_all
    rm -rf "$WORK"; WORK=
}

mkdir -p "$(dirname "$OUT")"
for ((run = 1; run <= RUNS; run++)); do
    for entry in "$@"; do
        label=${entry%%=*} command=${entry#*=}
        echo "== $label, run $run/$RUNS" >&2
        if one_run "$label" "$command" >"$OUT.line" </dev/null; then
            tee -a "$OUT" <"$OUT.line"
        else
            stop_all; [ -z "$WORK" ] || rm -rf "$WORK"; WORK=
            echo "{\"label\": \"$label\", \"failed\": true}" | tee -a "$OUT"
        fi
        rm -f "$OUT.line"
    done
done
python3 - "$OUT" <<'EOF'
import json, statistics, sys
rows = {}
for l in open(sys.argv[1]):
    r = json.loads(l)
    if not r.get("failed"): rows.setdefault(r["label"], []).append(r)
print("| label | runs | client CPU s | CPU ms/frame | frames shown | private MB | PSS MB |")
print("|---|---|---|---|---|---|---|")
for label, rs in rows.items():
    med = lambda k: statistics.median([r[k] for r in rs if r.get(k) is not None] or [0])
    print(f"| {label} | {len(rs)} | {med('client_cpu_s'):.2f} | {med('client_cpu_ms_per_frame'):.2f} | "
          f"{med('frames_shown'):.0f} | {med('client_private_mb_median'):.1f} | {med('client_pss_mb_median'):.1f} |")
EOF
