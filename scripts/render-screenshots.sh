#!/usr/bin/env bash
# Renders the application's waiting window, connected window and permissions
# sheet to docs/screenshots/{waiting,connected,permissions}.png, on a private
# X server (Xvfb) that this script starts and stops by its PID.
set -euo pipefail
cd "$(dirname "$0")/.."
scripts/install-deps.sh
cmake --preset default >/dev/null
cmake --build --preset default --target marlinax-screenshots

work=$(mktemp -d /tmp/marlinax-screenshots.XXXXXX)
xvfb_pid=
cleanup() {
  if [ -n "$xvfb_pid" ]; then kill "$xvfb_pid" 2>/dev/null || true; wait "$xvfb_pid" 2>/dev/null || true; fi
  rm -rf "$work"
}
trap cleanup EXIT

n=150
while [ -e "/tmp/.X11-unix/X$n" ] || [ -e "/tmp/.X$n-lock" ]; do n=$((n + 1)); done
Xvfb ":$n" -screen 0 1280x1024x24 -nolisten tcp >"$work/xvfb.log" 2>&1 &
xvfb_pid=$!
for _ in $(seq 1 100); do
  DISPLAY=":$n" xdpyinfo >/dev/null 2>&1 && break
  sleep 0.1
done
DISPLAY=":$n" xdpyinfo >/dev/null 2>&1 || { echo "Xvfb did not start" >&2; cat "$work/xvfb.log" >&2; exit 1; }

mkdir -p docs/screenshots
# A fresh configuration and runtime folder: the pictures never depend on the
# user's settings.
mkdir -m 700 "$work/runtime"
DISPLAY=":$n" QT_QPA_PLATFORM=xcb XDG_CONFIG_HOME="$work/config" XDG_RUNTIME_DIR="$work/runtime" \
  build/bin/marlinax-screenshots docs/screenshots
