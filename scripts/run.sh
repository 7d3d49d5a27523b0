#!/usr/bin/env bash
# Builds Marlinax and runs the application. On a desktop the window opens
# there; when no display is reachable the script first starts a private
# virtual X display (Xvfb) and runs the application inside it, so the same
# program serves a headset on any machine. The application prints the port it
# listens on ("Awaiting connection on port P.").
set -euo pipefail
cd "$(dirname "$0")/.."
scripts/install-deps.sh
cmake --preset default >/dev/null
cmake --build --preset default --target marlinax

xvfb_pid=
app_pid=
cleanup() {
  if [ -n "$app_pid" ]; then kill -TERM "$app_pid" 2>/dev/null || true; wait "$app_pid" 2>/dev/null || true; fi
  if [ -n "$xvfb_pid" ]; then kill "$xvfb_pid" 2>/dev/null || true; fi
}
trap cleanup EXIT

if { [ -z "${DISPLAY:-}" ] || ! xdpyinfo >/dev/null 2>&1; } && [ -z "${WAYLAND_DISPLAY:-}" ]; then
  n=50
  while [ -e "/tmp/.X11-unix/X$n" ] || [ -e "/tmp/.X$n-lock" ]; do n=$((n + 1)); done
  echo "No display reachable: starting a private virtual display :$n (1920x1080); the window opens there."
  Xvfb ":$n" -screen 0 1920x1080x24 -noreset -nolisten tcp >/dev/null 2>&1 &
  xvfb_pid=$!
  export DISPLAY=":$n"
  export QT_QPA_PLATFORM=xcb
  for _ in $(seq 1 100); do
    xdpyinfo >/dev/null 2>&1 && break
    sleep 0.1
  done
  xdpyinfo >/dev/null 2>&1 || { echo "error: Xvfb did not start on :$n" >&2; exit 1; }
fi

if ! avahi-daemon -c >/dev/null 2>&1; then
  echo "Note: avahi-daemon is not running, so headsets cannot discover this computer."
  echo "      Start it (systemctl start avahi-daemon); the application keeps serving on its port."
fi

build/bin/marlinax "$@" &
app_pid=$!
# Ctrl+C and SIGTERM end the application the way its quit command does: the
# session ends and the virtual display is released.
trap 'kill -TERM $app_pid 2>/dev/null || true' INT TERM
status=0
wait $app_pid || status=$?
# A signal interrupts the first wait; the second one waits for the exit.
wait $app_pid 2>/dev/null || true
app_pid=
exit $status
