#!/usr/bin/env bash
# Builds Marlinax and runs the server. When no X display is reachable it first
# starts a private virtual one (Xvfb), so the server always has a desktop to serve.
set -euo pipefail
cd "$(dirname "$0")/.."
scripts/install-deps.sh
cmake --preset default >/dev/null
cmake --build --preset default --target marlinax-server

xvfb_pid=
cleanup() {
  if [ -n "$xvfb_pid" ]; then kill "$xvfb_pid" 2>/dev/null || true; fi
}
trap cleanup EXIT

if [ -z "${DISPLAY:-}" ] || ! xdpyinfo >/dev/null 2>&1; then
  n=50
  while [ -e "/tmp/.X11-unix/X$n" ] || [ -e "/tmp/.X$n-lock" ]; do n=$((n + 1)); done
  echo "No X display reachable: starting a private virtual display :$n (1920x1080)."
  Xvfb ":$n" -screen 0 1920x1080x24 -noreset -nolisten tcp >/dev/null 2>&1 &
  xvfb_pid=$!
  export DISPLAY=":$n"
  for _ in $(seq 1 100); do
    xdpyinfo >/dev/null 2>&1 && break
    sleep 0.1
  done
fi

if ! avahi-daemon -c >/dev/null 2>&1; then
  echo "Note: avahi-daemon is not running, so headsets cannot discover this computer."
  echo "      Start it (systemctl start avahi-daemon); the server keeps serving on its port."
fi

build/bin/marlinax-server "$@" &
server_pid=$!
trap 'kill -TERM $server_pid 2>/dev/null || true' INT TERM
wait $server_pid || true
wait $server_pid 2>/dev/null || true
