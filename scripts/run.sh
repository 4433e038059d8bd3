#!/usr/bin/env bash
# Installs what is needed, builds the client and runs it.
set -euo pipefail
cd "$(dirname "$0")/.."
bash scripts/install-deps.sh
build=${BUILD_DIR:-build/release}
cmake -S . -B "$build" -G Ninja -DCMAKE_BUILD_TYPE=RelWithDebInfo -DBUILD_TESTING=OFF -DTSC_BENCH=OFF >/dev/null
cmake --build "$build" -j"$(nproc)"
exec "$build"/src/shell/tsv*client "$@"
