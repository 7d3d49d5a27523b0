#!/usr/bin/env bash
# The Debian package as a user gets it: built with CPack from the default build
# tree, installed with apt, its programs run from /usr/bin (the server on a
# private Xvfb, checked with marlinax-peer over loopback), its desktop files and
# user unit validated, then removed, leaving nothing behind.
# Needs root (or sudo) for apt; run after the default build.
set -euo pipefail
root=$(cd "$(dirname "$0")/../.." && pwd)
build=$root/build

SUDO=
[ "$(id -u)" -eq 0 ] || SUDO=sudo
work=$(mktemp -d /tmp/marlinax-package.XXXXXX)
server_pid=
xvfb_pid=
installed=

cleanup() {
  set +e
  [ -n "$server_pid" ] && kill "$server_pid" 2>/dev/null && wait "$server_pid" 2>/dev/null
  [ -n "$xvfb_pid" ] && kill "$xvfb_pid" 2>/dev/null && wait "$xvfb_pid" 2>/dev/null
  [ -n "$installed" ] && $SUDO apt-get remove --purge -y -qq marlinax >/dev/null 2>&1
  rm -rf "$work"
}
trap cleanup EXIT

fail() {
  echo "FAIL: $*" >&2
  for log in "$work"/server.out "$work"/server.err; do
    [ -f "$log" ] && { echo "--- $log" >&2; cat "$log" >&2; }
  done
  exit 1
}
step() { echo "== $*"; }
wait_for() {
  local seconds=$1; shift
  local deadline=$((SECONDS + seconds))
  until "$@"; do
    [ $SECONDS -lt $deadline ] || return 1
    sleep 0.2
  done
}

step "package"
[ -f "$build/CMakeCache.txt" ] || fail "no default build in $build (cmake --preset default && cmake --build --preset default)"
if dpkg-query -W -f='${Status}' marlinax 2>/dev/null | grep -q 'install ok installed'; then
  fail "marlinax is already installed on this machine; remove it first (apt-get remove --purge marlinax)"
fi
rm -f "$build"/marlinax_*.deb
(cd "$build" && cpack -G DEB >"$work/cpack.log" 2>&1) || { cat "$work/cpack.log" >&2; fail "cpack"; }
deb=$(ls "$build"/marlinax_*.deb)
dpkg-deb -I "$deb" | grep -E '^ (Package|Version|Section|Maintainer|Depends):'
dpkg-deb -f "$deb" Depends | grep -q 'avahi-daemon' || fail "Depends lacks avahi-daemon"
dpkg-deb -f "$deb" Depends | grep -q 'libssl3' || fail "Depends lacks the libraries the programs link (shlibdeps)"
echo "size $(stat -c %s "$deb") bytes"
version=$(dpkg-deb -f "$deb" Version)

step "install"
export DEBIAN_FRONTEND=noninteractive
$SUDO apt-get install -y -qq -o DPkg::Lock::Timeout=300 "$deb" >"$work/apt.log" 2>&1 ||
  { cat "$work/apt.log" >&2; fail "apt-get install"; }
installed=1
dpkg -L marlinax | sort >"$work/files"
for path in /usr/bin/marlinax-server /usr/bin/marlinax-peer /usr/lib/systemd/user/marlinax-server.service \
            /usr/share/doc/marlinax/README.md /usr/share/doc/marlinax/help/index.html \
            /usr/share/icons/hicolor/scalable/apps/marlinax.svg /usr/share/icons/hicolor/48x48/apps/marlinax.png \
            /usr/share/man/man1/marlinax-server.1.gz /usr/share/man/man1/marlinax-peer.1.gz \
            /usr/share/man/man1/marlinax.1.gz; do
  [ -e "$path" ] || fail "not installed: $path"
done
file /usr/share/icons/hicolor/256x256/apps/marlinax.png | grep -q '256 x 256' || fail "256x256 icon has another size"
# The application opens the help page at these sections.
for anchor in connecting firewall virtual-display permissions permission-screen-recording \
              permission-accessibility preferences troubleshooting; do
  grep -q "id=\"$anchor\"" /usr/share/doc/marlinax/help/index.html || fail "help page lacks #$anchor"
done
! grep -Eq '(src|href)="(https?:)?//' /usr/share/doc/marlinax/help/index.html || fail "help page loads external resources"
for page in /usr/share/man/man1/marlinax*.1.gz; do
  zcat "$page" | grep -q '^\.TH ' || fail "$page is not a manual page"
done

step "installed marlinax-server --version"
out=$(/usr/bin/marlinax-server --version)
echo "$out"
[[ "$out" =~ ^marlinax-server\ ${version//./\\.}\ \(protocol\ version\ [0-9]+\)$ ]] ||
  fail "unexpected --version output: $out"

step "installed server on a private X display, checked with the installed marlinax-peer"
n=140
while [ -e "/tmp/.X11-unix/X$n" ] || [ -e "/tmp/.X$n-lock" ]; do n=$((n + 1)); done
Xvfb ":$n" -screen 0 1280x800x24 -noreset -nolisten tcp >"$work/xvfb.log" 2>&1 &
xvfb_pid=$!
DISPLAY=":$n" wait_for 10 xdpyinfo >/dev/null 2>&1 || fail "Xvfb did not start"
port=$(python3 -c 'import socket; s = socket.socket(); s.bind(("127.0.0.1", 0)); print(s.getsockname()[1])')
# No D-Bus system bus: the server cannot reach any avahi-daemon, so nothing is
# advertised beyond this machine; it keeps serving on its port.
env -u DISPLAY DBUS_SYSTEM_BUS_ADDRESS="unix:path=$work/no-bus" \
  /usr/bin/marlinax-server --display ":$n" --port "$port" --name "Package Test" \
  >"$work/server.out" 2>"$work/server.err" &
server_pid=$!
wait_for 20 grep -qs "^Awaiting connection on port $port\.$" "$work/server.out" || fail "server is not listening on $port"
grep -q "^info: Capture and input on X display :$n\.$" "$work/server.err" || fail "server did not open :$n"
/usr/bin/marlinax-peer handshake --host 127.0.0.1 --port "$port" --timeout 20 >"$work/peer.out" ||
  { cat "$work/peer.out" >&2; fail "handshake"; }
cat "$work/peer.out"
grep -q '^headset: received macOSHandshake version ' "$work/peer.out" || fail "no handshake from the server"
wait_for 20 grep -q '^Connected to Marlinax Peer\.$' "$work/server.out" || fail "server did not report the headset"
kill -TERM "$server_pid"
wait "$server_pid" || fail "server exited with $? after SIGTERM"
server_pid=

step "desktop entry and metainfo"
desktop=/usr/share/applications/org.marlinax.Marlinax.desktop
metainfo=/usr/share/metainfo/org.marlinax.Marlinax.metainfo.xml
if [ -e /usr/bin/marlinax ]; then
  [ -e "$desktop" ] && [ -e "$metainfo" ] || fail "the application is installed without its desktop entry or metainfo"
else
  # Built without the application: the package has no menu entry, so check the sources.
  echo "(no application in this build: validating the source files)"
  [ ! -e "$desktop" ] || fail "menu entry installed without the application"
  desktop=$root/data/desktop/org.marlinax.Marlinax.desktop
  metainfo=$root/data/metainfo/org.marlinax.Marlinax.metainfo.xml
fi
desktop-file-validate "$desktop" || fail "desktop-file-validate $desktop"
appstreamcli validate --no-net "$metainfo" || fail "appstreamcli validate $metainfo"

step "systemd user unit"
if command -v systemd-analyze >/dev/null 2>&1; then
  mkdir -m 700 "$work/runtime"
  XDG_RUNTIME_DIR="$work/runtime" systemd-analyze --user verify /usr/lib/systemd/user/marlinax-server.service \
    >"$work/verify.log" 2>&1 || { cat "$work/verify.log" >&2; fail "systemd-analyze verify"; }
  echo "systemd-analyze verify: ok"
else
  echo "(no systemd-analyze on this machine: unit not verified)"
fi

step "remove"
$SUDO apt-get remove --purge -y -qq -o DPkg::Lock::Timeout=300 marlinax >"$work/apt-remove.log" 2>&1 ||
  { cat "$work/apt-remove.log" >&2; fail "apt-get remove"; }
installed=
! dpkg-query -W -f='${Status}' marlinax 2>/dev/null | grep -q 'installed' || fail "marlinax still known to dpkg"
left=0
while read -r path; do
  # Shared directories (/usr/bin, the icon theme's folders) stay; everything
  # that is the package's own must go.
  if [ -d "$path" ] && [ ! -L "$path" ]; then
    case "$path" in *marlinax*) [ -e "$path" ] && { echo "left behind: $path" >&2; left=1; } ;; esac
  elif [ -e "$path" ] || [ -L "$path" ]; then
    echo "left behind: $path" >&2
    left=1
  fi
done <"$work/files"
[ "$left" -eq 0 ] || fail "files of the package remain after removal"
echo "package test passed"
