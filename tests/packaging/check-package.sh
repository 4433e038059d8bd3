#!/usr/bin/env bash
# Builds the Debian package from a build tree and checks what it holds and what it
# depends on. Exit 77 (skipped) where dpkg-deb is missing.
#   check-package.sh <build dir> <client executable name>
set -euo pipefail
build=$1
client=$2
command -v dpkg-deb >/dev/null || { echo "dpkg-deb missing: skipped"; exit 77; }
for tool in dpkg-shlibdeps file readelf; do
    command -v "$tool" >/dev/null || { echo "$tool missing: skipped"; exit 77; }
done

work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT
cpack --config "$build/CPackConfig.cmake" -G DEB -B "$work" >"$work/cpack.log" 2>&1 || { cat "$work/cpack.log"; exit 1; }
deb=$(ls "$work"/*.deb)
echo "package: $(basename "$deb")"

failures=0
fail() { echo "FAIL: $*"; failures=$((failures + 1)); }

dpkg-deb -c "$deb" | awk '{print $6}' | sed 's|^\./|/|' >"$work/files"
for wanted in \
    "/usr/bin/$client" \
    /usr/lib/terminalserverclient/libtsc-rdpengine.so \
    /usr/share/applications/org.terminalserver.Client.desktop \
    /usr/share/metainfo/org.terminalserver.Client.metainfo.xml \
    /usr/share/mime/packages/terminal-server-client-rdp.xml \
    /usr/share/icons/hicolor/scalable/apps/terminal-server-client.svg \
    /usr/share/icons/hicolor/48x48/apps/terminal-server-client.png \
    /usr/share/icons/hicolor/256x256/apps/terminal-server-client.png \
    "/usr/share/man/man1/$client.1.gz" \
    /usr/share/doc/terminal-server-client/copyright \
    /usr/share/doc/terminal-server-client/changelog.gz; do
    grep -qxF "$wanted" "$work/files" || fail "missing $wanted"
done
# Nothing outside /usr: installing and purging then leave nothing behind.
grep -v -e '^/$' -e '^/usr/' "$work/files" && fail "files outside /usr"
# Every program in /usr/bin has its man page.
for program in $(grep '^/usr/bin/.' "$work/files"); do
    grep -qxF "/usr/share/man/man1/$(basename "$program").1.gz" "$work/files" || fail "no man page for $program"
done

# The desktop entry opens .rdp files with the client, the file as its argument.
dpkg-deb -x "$deb" "$work/root"
desktop="$work/root/usr/share/applications/org.terminalserver.Client.desktop"
grep -qx "Exec=$client %f" "$desktop" || fail "desktop entry's Exec"
grep -qx "MimeType=application/x-rdp;" "$desktop" || fail "desktop entry's MimeType"
if command -v desktop-file-validate >/dev/null; then
    desktop-file-validate "$desktop" || fail "desktop-file-validate"
fi
if command -v appstreamcli >/dev/null; then
    appstreamcli validate --no-net "$work/root/usr/share/metainfo/org.terminalserver.Client.metainfo.xml" \
        >"$work/appstream.log" 2>&1 || { cat "$work/appstream.log"; fail "appstreamcli validate"; }
fi
grep -q '<glob pattern="\*.rdp"/>' "$work/root/usr/share/mime/packages/terminal-server-client-rdp.xml" || fail "mime glob"

# Depends: the engine, the toolkit and its platform plugins, and a package for every
# library a packaged program needs (libcurl and libzip where they are linked).
depends=$(dpkg-deb -f "$deb" Depends)
echo "Depends: $depends"
for wanted in libfreerdp2-2 libfreerdp-client2-2 libwinpr2-2 libqt6widgets6 qt6-qpa-plugins; do
    [[ ",$depends," == *"$wanted"* ]] || fail "Depends lacks $wanted"
done
while read -r elf; do
    needed=$(readelf -d "$elf" 2>/dev/null | sed -n 's/.*Shared library: \[\(.*\)\]/\1/p')
    for pair in libcurl:libcurl4 libzip:libzip4; do
        if grep -q "^${pair%%:*}\." <<<"$needed" && [[ "$depends" != *"${pair#*:}"* ]]; then
            fail "$elf needs ${pair%%:*} but Depends lacks ${pair#*:}"
        fi
    done
    # No path of the build machine in the installed programs.
    readelf -d "$elf" | grep -q -e RPATH -e RUNPATH && fail "$elf keeps a run path"
done < <(find "$work/root/usr/bin" "$work/root/usr/lib" -type f)

[[ $failures -eq 0 ]] && echo "package checked" || exit 1
