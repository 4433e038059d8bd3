#!/usr/bin/env bash
# A profile written by the client is read by FreeRDP's own .rdp reader: xfreerdp,
# given only the written file (plus /cert:ignore and a password), reaches a
# freerdp-shadow-cli server on loopback. The same file pointing at a closed port
# must fail, which shows the address really came from the file.
# Usage: freerdp_end_to_end.sh PROFILE_WRITER_TOOL
set -u
writer=$1
for tool in xfreerdp freerdp-shadow-cli Xvfb python3; do
    if ! command -v "$tool" >/dev/null; then
        echo "SKIP: $tool is not installed"
        exit 77
    fi
done

work=$(mktemp -d "${TMPDIR:-/tmp}/tsc-profile-e2e-XXXXXX")
export HOME=$work XDG_CONFIG_HOME=$work/config XDG_DATA_HOME=$work/data XDG_STATE_HOME=$work/state TMPDIR=$work
pids=()
cleanup() {
    for pid in "${pids[@]}"; do kill "$pid" 2>/dev/null; done
    for pid in "${pids[@]}"; do wait "$pid" 2>/dev/null; done
    rm -rf "$work"
}
trap cleanup EXIT

# Xvfb picks a free display itself (-displayfd), so tests running side by side
# never race for the same number.
exec 3> "$work/display"
Xvfb -displayfd 3 -screen 0 1024x768x24 -nolisten tcp -noreset >"$work/xvfb.log" 2>&1 &
pids+=($!)
exec 3>&-
display=
for _ in $(seq 100); do
    display=$(head -n 1 "$work/display" 2>/dev/null)
    [ -n "$display" ] && break
    sleep 0.05
done
[ -n "$display" ] || { echo "Xvfb did not start"; cat "$work/xvfb.log"; exit 1; }
# The display must take clients before the server is started on it.
for _ in $(seq 100); do
    DISPLAY=":$display" xset q >/dev/null 2>&1 && break
    sleep 0.05
done

free_port() { python3 -c 'import socket; s=socket.socket(); s.bind(("127.0.0.1",0)); print(s.getsockname()[1])'; }
port=$(free_port)
closed_port=$(free_port)

DISPLAY=":$display" freerdp-shadow-cli "/port:$port" /bind-address:127.0.0.1 -auth >"$work/shadow.log" 2>&1 &
pids+=($!)
for _ in $(seq 100); do
    python3 -c "import socket,sys; socket.create_connection(('127.0.0.1',$port),0.2)" 2>/dev/null && break
    sleep 0.1
done

"$writer" "$work/good.rdp" "127.0.0.1:$port" tester || { echo "writing the profile failed"; exit 1; }
"$writer" "$work/closed.rdp" "127.0.0.1:$closed_port" tester || { echo "writing the profile failed"; exit 1; }
head -c 2 "$work/good.rdp" | od -An -tx1 | grep -q 'ff fe' || { echo "no UTF-16 mark"; exit 1; }

DISPLAY=":$display" timeout 30 xfreerdp "$work/good.rdp" /cert:ignore /p:unused +auth-only >"$work/good.log" 2>&1
good=$?
DISPLAY=":$display" timeout 30 xfreerdp "$work/closed.rdp" /cert:ignore /p:unused +auth-only >"$work/closed.log" 2>&1
closed=$?

if [ "$good" -ne 0 ]; then
    echo "xfreerdp could not connect with the written profile (exit $good)"
    cat "$work/good.log" "$work/shadow.log"
    exit 1
fi
if [ "$closed" -eq 0 ]; then
    echo "xfreerdp connected although the profile named a closed port"
    exit 1
fi
echo "xfreerdp connected with the written profile to 127.0.0.1:$port"
