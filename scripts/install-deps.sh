#!/usr/bin/env bash
# Installs the Debian 12 packages Marlinax needs, only when some are missing.
# Idempotent: a machine that has them all is left untouched.
set -euo pipefail

packages=(
  # toolchain
  cmake ninja-build g++ pkg-config clang libclang-rt-14-dev libfuzzer-14-dev
  # libraries
  libasio-dev libssl-dev libavahi-client-dev libx11-dev libxext-dev libxrandr-dev
  libxdamage-dev libxfixes-dev libxtst-dev libturbojpeg0-dev libjpeg62-turbo-dev libyuv-dev liblz4-dev
  libstb-dev libplist-dev libgtest-dev libgmock-dev libbenchmark-dev
  # the application's window: Qt 6 Widgets, and the SVG plugins that draw its icons
  qt6-base-dev libqt6svg6 fonts-dejavu-core
  # services and tools the server and the tests start
  xvfb x11-xserver-utils x11-utils xdotool avahi-daemon avahi-utils dbus openssl python3
  # Xorg with the dummy video driver: the virtual-display tests on outputs without a monitor
  xserver-xorg-core xserver-xorg-video-dummy
  # packaging: icon renderings, the package's library dependencies, checks of the
  # desktop entry and the metainfo
  librsvg2-bin dpkg-dev file desktop-file-utils appstream
  # Wayland: PipeWire capture, sd-bus, the test client's protocols
  libpipewire-0.3-dev libsystemd-dev libwayland-dev wayland-protocols
  # a headless GNOME session for the Wayland tests
  mutter pipewire pipewire-bin wireplumber libglib2.0-bin xdg-desktop-portal xdg-desktop-portal-gnome
)

missing=()
for p in "${packages[@]}"; do
  if ! dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q 'install ok installed'; then
    missing+=("$p")
  fi
done

if [ ${#missing[@]} -eq 0 ]; then
  exit 0
fi

echo "Installing missing packages: ${missing[*]}"
if [ "$(id -u)" -ne 0 ]; then
  if command -v sudo >/dev/null 2>&1; then
    SUDO=sudo
  else
    echo "error: these Debian packages are missing and this user cannot install them:" >&2
    echo "  ${missing[*]}" >&2
    echo "Run as root: apt-get install ${missing[*]}" >&2
    exit 1
  fi
else
  SUDO=
fi
export DEBIAN_FRONTEND=noninteractive
# In CI, packages must not start system services (a system avahi-daemon would
# announce on every interface, and the tests start private daemons of their own).
policy=/usr/sbin/policy-rc.d
if [ -n "${CI:-}" ] && [ ! -e "$policy" ]; then
  printf '#!/bin/sh\nexit 101\n' | $SUDO tee "$policy" >/dev/null
  $SUDO chmod +x "$policy"
  trap '$SUDO rm -f "$policy"' EXIT
fi
$SUDO apt-get update -qq
# avahi-daemon's and dbus's maintainer scripts try to start services; on machines
# without an init system that fails harmlessly, the packages still install.
$SUDO apt-get install -y -qq --no-install-recommends "${missing[@]}"
