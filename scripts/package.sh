#!/usr/bin/env bash
# Builds the Debian package (build/package/terminal-server-client_<version>_<arch>.deb):
# a release build with Debian's hardening flags, packed by CPack, checked by lintian.
set -euo pipefail
cd "$(dirname "$0")/.."
bash scripts/install-deps.sh
build=${BUILD_DIR:-build/package}
export DEB_BUILD_MAINT_OPTIONS=hardening=+all
export CFLAGS="$(dpkg-buildflags --get CFLAGS) $(dpkg-buildflags --get CPPFLAGS)"
export CXXFLAGS="$(dpkg-buildflags --get CXXFLAGS) $(dpkg-buildflags --get CPPFLAGS)"
export LDFLAGS="$(dpkg-buildflags --get LDFLAGS)"
cmake -S . -B "$build" -G Ninja -DCMAKE_BUILD_TYPE=RelWithDebInfo -DBUILD_TESTING=OFF -DTSC_BENCH=OFF >/dev/null
cmake --build "$build" -j"$(nproc)"
(cd "$build" && cpack -G DEB)
deb=$(ls -t "$build"/terminal-server-client_*.deb | head -1)
# Warnings kept: maintscript-calls-ldconfig (CPack adds ldconfig for the engine under
# /usr/lib; running it is harmless).
lintian --fail-on error "$deb" || { echo "package: lintian found errors" >&2; exit 1; }
echo "package: $deb"
