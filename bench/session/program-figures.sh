#!/usr/bin/env bash
# The program's session figures beside xfreerdp, before and after a change, each
# matrix interleaved in one run of the shared harness (../shared/bench, unchanged):
#   ordinary  H.264 4:2:0 vs xfreerdp /gfx:AVC420, plus sharp text (lossless) and
#             xfreerdp's default (4:4:4) for the sharp-text comparison
#   seamless  lossless vs xfreerdp -gfx
#   idle      no load (-f 0), memory
#   text      the text screen (text-screen.sh): exact pixels after motion
# usage: program-figures.sh BEFORE_DIR AFTER_DIR [RUNS] [OUT_PREFIX]
#   BEFORE_DIR, AFTER_DIR: folders with tsvLinux-x86_64client and libtsc-rdpengine.so
#   (release builds); RUNS defaults to 5 (3 for the text screen);
#   OUT_PREFIX defaults to bench/session/results/program-<UTC date>
# Takes about 40 minutes at 5 runs. Run nothing else meanwhile (2 cores).
set -euo pipefail
HERE=$(cd "$(dirname "${BASH_SOURCE[0]}")" && pwd)
SHARED=${TSC_SHARED_BENCH:-$HERE/../../../shared/bench}
BEFORE=$(cd "${1:?before dir}" && pwd)
AFTER=$(cd "${2:?after dir}" && pwd)
RUNS=${3:-5}
OUT=${4:-$HERE/results/program-$(date -u +%Y-%m-%d)}
WORK=$(mktemp -d)
trap 'rm -rf "$WORK"' EXIT

# One client script per build: the shared clients/ours.sh with the build's program.
for which in before after; do
    dir=$BEFORE
    [ "$which" = after ] && dir=$AFTER
    cat >"$WORK/$which.sh" <<SCRIPT
#!/usr/bin/env bash
export TSC_CLIENT=$HERE/program.sh TSC_PROGRAM=$dir/tsvLinux-x86_64client TSC_RDP_ENGINE=$dir/libtsc-rdpengine.so
exec $SHARED/clients/ours.sh "\$@"
SCRIPT
    chmod +x "$WORK/$which.sh"
done
cat >"$WORK/after-sharp.sh" <<SCRIPT
#!/usr/bin/env bash
export TSC_EXTRA="tsv_sharptext:s:yes"
exec $WORK/after.sh "\$@"
SCRIPT
chmod +x "$WORK/after-sharp.sh"

XF="xfreerdp /v:{host}:{port} /cert:ignore /u:test /p:test"
"$SHARED/run-matrix.sh" -n "$RUNS" -b xfreerdp-avc420 -o "$OUT-ordinary.jsonl" \
    "xfreerdp-avc420=$XF /gfx:AVC420" "program-before=$WORK/before.sh {port}" \
    "program-after=$WORK/after.sh {port}" "xfreerdp-default=$XF" \
    "program-after-sharp=$WORK/after-sharp.sh {port}"
"$SHARED/run-matrix.sh" -n "$RUNS" -b xfreerdp-nogfx -o "$OUT-seamless.jsonl" \
    "xfreerdp-nogfx=$XF -gfx" "program-before=$WORK/before.sh {port} --seamless" \
    "program-after=$WORK/after.sh {port} --seamless"
"$SHARED/run-matrix.sh" -n "$RUNS" -b xfreerdp-avc420 -H "-f 0" -o "$OUT-idle.jsonl" \
    "xfreerdp-avc420=$XF /gfx:AVC420" "program-before=$WORK/before.sh {port}" \
    "program-after=$WORK/after.sh {port}"
TEXT_RUNS=$((RUNS < 3 ? RUNS : 3))
"$HERE/text-screen.sh" -n "$TEXT_RUNS" -o "$OUT-text.jsonl" \
    "xfreerdp-avc420=$XF /gfx:AVC420" "xfreerdp-default=$XF" "xfreerdp-nogfx=$XF -gfx" \
    "program-before=$WORK/before.sh {port}" "program-after=$WORK/after.sh {port}" \
    "program-after-sharp=$WORK/after-sharp.sh {port}"
