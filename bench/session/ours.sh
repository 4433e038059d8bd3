#!/usr/bin/env bash
# Our engine for the RDP measurement harness (rdp-harness.sh), like its
# clients/remmina.sh:  rdp-harness.sh -- bench/session/ours.sh {port} [COLOR_DEPTH] [--seamless]
# Runs tsc-engine-probe from the release build tree build-rel/ (else build/;
# TSC_ENGINE_PROBE overrides). Measure a release build, never the sanitizer one.
set -euo pipefail
PORT=${1:?port}; shift
HERE=$(cd "$(dirname "${BASH_SOURCE[0]}")" && pwd)
for build in build-rel build; do
    PROBE=$HERE/../../$build/bench/session/tsc-engine-probe
    [ -x "$PROBE" ] && break
done
PROBE=${TSC_ENGINE_PROBE:-$PROBE}
# The known hosts of the protocol library land in the harness's throw-away TMPDIR.
export HOME=${TMPDIR:-/tmp} XDG_CONFIG_HOME=${TMPDIR:-/tmp}
export QT_QPA_PLATFORM=xcb
exec "$PROBE" 127.0.0.1 "$PORT" "$@"
