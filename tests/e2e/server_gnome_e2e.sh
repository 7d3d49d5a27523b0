#!/usr/bin/env bash
# The server in a GNOME Wayland session with no X display, as a headset meets it:
# the backend chosen from the session, the display list, casting and input, driven
# by marlinax-peer. The session (bus, PipeWire, WirePlumber, headless mutter) is
# private and stopped by PID at the end.
set -euo pipefail

bin=$1
root=$2
if ! command -v mutter >/dev/null || ! command -v pipewire >/dev/null || ! command -v wireplumber >/dev/null; then
  echo "SKIP: mutter, pipewire or wireplumber is not installed"
  exit 0
fi
work=$(mktemp -d /tmp/marlinax-gnome-e2e.XXXXXX)
server_pid=
client_pid=
session_started=

cleanup() {
  set +e
  [ -n "$server_pid" ] && kill "$server_pid" 2>/dev/null && wait "$server_pid" 2>/dev/null
  [ -n "$client_pid" ] && kill "$client_pid" 2>/dev/null && wait "$client_pid" 2>/dev/null
  [ -n "$session_started" ] && "$root/scripts/testing/gnome-session-env.sh" stop "$work/session" >/dev/null 2>&1
  rm -rf "$work"
}
trap cleanup EXIT

fail() {
  echo "FAIL: $*" >&2
  for log in server client; do
    if [ -f "$work/$log.log" ]; then
      echo "--- $log output" >&2
      tail -40 "$work/$log.log" >&2
    fi
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

listening_again() {
  [ "$(grep -c 'Awaiting connection on port' "$work/server.log")" -gt \
    "$(grep -c 'Headset disconnected' "$work/server.log")" ]
}
use_current_port() {
  wait_for 20 listening_again || fail "server is not listening again"
  port=$(grep -o 'Awaiting connection on port [0-9]*' "$work/server.log" | tail -1 | awk '{print $NF}')
  connect=(--host 127.0.0.1 --port "$port" --timeout 20)
}
client_saw() { grep -q "$1" "$work/client.log"; }

step "private headless GNOME session"
mkdir -p "$work/session"
session_started=1
eval "$("$root/scripts/testing/gnome-session-env.sh" start "$work/session")"
[ -z "${DISPLAY:-}" ] || fail "DISPLAY is still set"

step "a window that changes every frame"
"$bin/marlinax-wayland-test-client" --animate >"$work/client.log" 2>&1 &
client_pid=$!
wait_for 20 client_saw '^ready ' || fail "the test client did not show its window"

step "server"
"$bin/marlinax-server" >"$work/server.log" 2>&1 &
server_pid=$!
wait_for 20 grep -q 'Awaiting connection on port' "$work/server.log" || fail "server did not start listening"
grep -q '^Display backend: gnome (' "$work/server.log" || fail "the GNOME backend was not chosen"
grep -q 'Capture and input through mutter' "$work/server.log" || fail "the GNOME services did not start"

step "display list"
use_current_port
"$bin/marlinax-peer" displays "${connect[@]}" --json >"$work/displays.json" || fail "displays failed"
id=$(python3 - "$work/displays.json" <<'PY'
import json, sys
d = json.load(open(sys.argv[1]))
displays = d["displays"] if isinstance(d, dict) else d
assert len(displays) == 1, displays
x = displays[0]
frame = x["frame"]
frame = (frame["x"], frame["y"], frame["width"], frame["height"]) if isinstance(frame, dict) else tuple(frame)
assert frame == (0, 0, 1920, 1080), frame
assert x["identifier"] == 0xdd72466d, x  # FNV-1a of the connector "Meta-0"
print(x["identifier"])
PY
) || fail "the display list does not show the session's monitor"

step "casting"
use_current_port
"$bin/marlinax-peer" cast --id "$id" --seconds 3 "${connect[@]}" --json >"$work/cast.json" || fail "cast failed"
cat "$work/cast.json"
python3 - "$work/cast.json" <<'PY' || fail "casting did not deliver frames"
import json, sys
r = json.load(open(sys.argv[1]))
assert r["malformed"] == 0, r
assert r["frames"] >= 5, r
assert r["frames_with_mask"] >= 1, r
PY

step "input"
use_current_port
"$bin/marlinax-peer" input move --id "$id" --x 0.25 --y 0.5 "${connect[@]}" || fail "input move failed"
wait_for 10 client_saw ' 480.00 540.00$' || fail "the pointer did not reach 480,540 on the window"
use_current_port
"$bin/marlinax-peer" input click --id "$id" --x 0.5 --y 0.5 "${connect[@]}" || fail "input click failed"
wait_for 10 client_saw '^button 272 released$' || fail "the click did not reach the window"
use_current_port
"$bin/marlinax-peer" input key --key 0 "${connect[@]}" || fail "input key failed"
wait_for 10 client_saw '^key 30 released$' || fail "the key did not reach the window"
grep -q '^key 30 pressed$' "$work/client.log" || fail "the key's press was lost"
echo "PASS"
