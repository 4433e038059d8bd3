#!/usr/bin/env bash
# Installs the Debian packages the client builds, tests and runs with.
# Non-interactive and idempotent: packages already present are not fetched again.
set -euo pipefail

packages=(
  # build
  cmake ninja-build g++ clang clang-format libclang-rt-14-dev pkg-config
  # libraries
  qt6-base-dev qt6-base-dev-tools libqt6opengl6-dev
  freerdp2-dev libx11-dev libxcb1-dev libxcb-shm0-dev libcurl4-openssl-dev libzip-dev zlib1g-dev libssl-dev libcups2-dev
  # tests and benchmarks
  googletest libgtest-dev libgmock-dev libbenchmark-dev
  # a real RDP server on loopback, the anchor client, and X tools for tests and the demo
  xvfb xauth freerdp2-shadow-x11 freerdp2-x11 x11-xserver-utils x11-utils xdotool x11-apps xterm
  # a second RDP server that carries the clipboard (an Xorg session per user), and xclip to drive it
  xrdp xorgxrdp xclip
  # a client desktop of two monitors for the multi-monitor test (Xorg, dummy driver, RandR monitors)
  xserver-xorg-video-dummy
  imagemagick time procps iproute2 python3
  # a Wayland desktop for the end-to-end tests: weston (headless) with Xwayland, and
  # Qt's Wayland platform as desktops ship it
  weston xwayland qt6-wayland
  # the update host of the self-update tests and the demo
  lighttpd
  # the Debian package: build, check and try it
  dpkg-dev file binutils desktop-file-utils appstream lintian librsvg2-bin xdg-utils shared-mime-info debootstrap
)

missing=()
for package in "${packages[@]}"; do
  dpkg-query -W -f='${Status}' "$package" 2>/dev/null | grep -q "install ok installed" \
    || missing+=("$package")
done

if ((${#missing[@]} == 0)); then
  echo "install-deps: all packages present"
  exit 0
fi

sudo=""
if [ "$(id -u)" -ne 0 ]; then sudo="sudo"; fi
echo "install-deps: installing ${missing[*]}"
$sudo env DEBIAN_FRONTEND=noninteractive apt-get update -qq
$sudo env DEBIAN_FRONTEND=noninteractive apt-get install -y -qq --no-install-recommends "${missing[@]}"
