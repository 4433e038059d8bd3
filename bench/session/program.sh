#!/usr/bin/env bash
# The program as TSC_CLIENT for the shared harness's clients/ours.sh:
#   TSC_CLIENT=bench/session/program.sh TSC_PROGRAM=build/rel/src/shell/tsvLinux-x86_64client \
#     run-matrix.sh ... "program=.../clients/ours.sh {port}"
# ours.sh writes its profile into a throw-away folder, outside the client's own
# folders, so the program would ask before connecting to it. Here the throw-away
# machine hive ($XDG_CONFIG_DIRS, set by ours.sh) says what a managed machine says:
# "AskBeforeOpenedFiles"=0. Then it execs the program (same process, nothing in
# between to measure). TSC_PROGRAM: the executable (default: the release build);
# TSC_RDP_ENGINE: its engine library when the executable is not in a build tree.
set -euo pipefail
HERE=$(cd "$(dirname "${BASH_SOURCE[0]}")" && pwd)
PROGRAM=${TSC_PROGRAM:-$HERE/../../build/rel/src/shell/tsvLinux-x86_64client}
HIVE=${XDG_CONFIG_DIRS:?set by ours.sh}/TerminalServerClient
mkdir -p "$HIVE"
printf '%s\r\n' 'REGEDIT4' '' '[HKEY_LOCAL_MACHINE\SOFTWARE\TerminalServer]' \
    '"AskBeforeOpenedFiles"=dword:00000000' >"$HIVE/HKEY_LOCAL_MACHINE.reg"
exec "$PROGRAM" "$@"
