#!/usr/bin/env bash
# The server as a headset meets it: discovered over DNS-SD, handshake, display list,
# preview, casting with mask confirmation, input, and a headset vanishing mid-cast.
set -euo pipefail

bin=$1
root=$2
work=$(mktemp -d /tmp/marlinax-e2e.XXXXXX)
server_pid=
painter_pid=
xvfb_pid=
avahi_started=

cleanup() {
  set +e
  [ -n "$painter_pid" ] && kill "$painter_pid" 2>/dev/null
  [ -n "$server_pid" ] && kill "$server_pid" 2>/dev/null && wait "$server_pid" 2>/dev/null
  [ -n "$avahi_started" ] && "$root/scripts/testing/avahi-env.sh" stop "$work/avahi" >/dev/null 2>&1
  [ -n "$xvfb_pid" ] && kill "$xvfb_pid" 2>/dev/null
  rm -rf "$work"
}
trap cleanup EXIT

fail() {
  echo "FAIL: $*" >&2
  if [ -f "$work/server.log" ]; then
    echo "--- server output" >&2
    cat "$work/server.log" >&2
  fi
  exit 1
}
step() { echo "== $*"; }

# Waits up to $1 seconds for a command to succeed.
wait_for() {
  local seconds=$1; shift
  local deadline=$((SECONDS + seconds))
  until "$@"; do
    [ $SECONDS -lt $deadline ] || return 1
    sleep 0.2
  done
}

# The server listens anew (on a new port) each time the headset it served has gone:
# waits for that and sets `connect` to the current port.
listening_again() {
  [ "$(grep -c 'Awaiting connection on port' "$work/server.log")" -gt \
    "$(grep -c 'Headset disconnected' "$work/server.log")" ]
}
use_current_port() {
  wait_for 20 listening_again || fail "server is not listening again"
  port=$(grep -o 'Awaiting connection on port [0-9]*' "$work/server.log" | tail -1 | awk '{print $NF}')
  connect=(--host 127.0.0.1 --port "$port" --timeout 20)
}

step "private X server with two monitors"
n=120
while [ -e "/tmp/.X11-unix/X$n" ] || [ -e "/tmp/.X$n-lock" ]; do n=$((n + 1)); done
Xvfb ":$n" -screen 0 3840x1080x24 -noreset -nolisten tcp >"$work/xvfb.log" 2>&1 &
xvfb_pid=$!
export DISPLAY=":$n"
wait_for 10 xdpyinfo >/dev/null 2>&1 || fail "Xvfb did not start"
xrandr --setmonitor Left 1920/508x1080/286+0+0 none
xrandr --setmonitor Right 1920/508x1080/286+1920+0 none
xrandr --fb 3840x1080 --output screen --off
[ "$(xrandr --listmonitors | head -1)" = "Monitors: 2" ] || fail "expected exactly two monitors: $(xrandr --listmonitors)"

step "private avahi-daemon on loopback"
mkdir -p "$work/avahi"
eval "$("$root/scripts/testing/avahi-env.sh" start "$work/avahi")"
avahi_started=1

step "server"
# The X backend whatever session the tests run in (a Wayland desktop would be chosen first).
"$bin/marlinax-server" --backend x11 >"$work/server.log" 2>&1 &
server_pid=$!
wait_for 20 grep -q 'Awaiting connection on port' "$work/server.log" || fail "server did not start listening"
port=$(grep -o 'Awaiting connection on port [0-9]*' "$work/server.log" | head -1 | awk '{print $NF}')
echo "port $port"
connect=(--host 127.0.0.1 --port "$port" --timeout 20)

step "discovery"
found=
for _ in 1 2 3 4 5; do
  "$bin/marlinax-peer" discover --timeout 3 --json >"$work/discover.json" || true
  if python3 - "$work/discover.json" "$port" <<'PY'
import json, sys
servers = json.load(open(sys.argv[1]))
if isinstance(servers, dict):
    servers = servers.get("servers", [])
sys.exit(0 if any(int(s["port"]) == int(sys.argv[2]) and s["name"] for s in servers) else 1)
PY
  then found=1; break; fi
done
[ -n "$found" ] || fail "marlinax-peer discover did not find the server on port $port: $(cat "$work/discover.json")"
avahi-browse -rtp _marlinax_server._tcp | grep '^=' | grep -q ";$port;" || fail "avahi-browse does not list port $port"

step "handshake"
"$bin/marlinax-peer" handshake "${connect[@]}" --json >"$work/handshake.json" || fail "handshake failed"
cat "$work/handshake.json"
wait_for 10 grep -q '^Connected to ' "$work/server.log" || fail "server did not publish the headset"
wait_for 20 grep -q 'Headset disconnected' "$work/server.log" || fail "server did not notice the headset leaving"

step "display list"
use_current_port
"$bin/marlinax-peer" displays "${connect[@]}" --json >"$work/displays.json" || fail "displays failed"
cat "$work/displays.json"
read -r left_id right_id < <(python3 - "$work/displays.json" <<'PY'
import json, sys
d = json.load(open(sys.argv[1]))
displays = d["displays"] if isinstance(d, dict) else d
frames = {tuple(x["frame"]) if not isinstance(x["frame"], dict) else
          (x["frame"]["x"], x["frame"]["y"], x["frame"]["width"], x["frame"]["height"]): x for x in displays}
assert len(displays) == 2, displays
left = frames[(0, 0, 1920, 1080)]
right = frames[(1920, 0, 1920, 1080)]
for x in (left, right):
    assert x["title"] == "Display %d" % x["identifier"], x
    assert x["app"] == "" and x["windowLayer"] == 0, x
print(left["identifier"], right["identifier"])
PY
) || fail "display list does not match the two monitors"

step "preview"
use_current_port
"$bin/marlinax-peer" preview --id "$left_id" --out-jpeg "$work/preview.jpg" --out-mask "$work/preview.mask" "${connect[@]}" \
  || fail "preview failed"
python3 - "$work/preview.jpg" "$work/preview.mask" <<'PY' || fail "preview is not a 1200x640 JPEG with an opaque mask"
import struct, sys
jpeg = open(sys.argv[1], "rb").read()
assert jpeg[:2] == b"\xff\xd8", "not a JPEG"
i = 2
size = None
while i < len(jpeg):
    assert jpeg[i] == 0xFF
    marker = jpeg[i + 1]
    length = struct.unpack(">H", jpeg[i + 2:i + 4])[0]
    if marker in (0xC0, 0xC1, 0xC2):
        height, width = struct.unpack(">HH", jpeg[i + 5:i + 9])
        size = (width, height)
        break
    i += 2 + length
assert size == (1200, 640), size
mask = open(sys.argv[2], "rb").read()
assert len(mask) % 640 == 0 and len(mask) // 640 >= 1200, len(mask)
stride = len(mask) // 640
for row in range(640):
    line = mask[row * stride:(row + 1) * stride]
    assert line[:1200] == b"\xff" * 1200 and line[1200:] == b"\0" * (stride - 1200)
PY

step "input"
use_current_port
"$bin/marlinax-peer" input move --id "$right_id" --x 0.25 --y 0.5 "${connect[@]}" || fail "input move failed"
eval "$(xdotool getmouselocation --shell)"
[ "$X" = 2400 ] && [ "$Y" = 540 ] || fail "pointer at $X,$Y instead of 2400,540"

step "casting while the screen changes"
use_current_port
"$bin/marlinax-screen-painter" --display "$DISPLAY" --rect 0,0,1920,1080 --fps 30 --seconds 60 >/dev/null 2>&1 &
painter_pid=$!
"$bin/marlinax-peer" cast --id "$left_id" --seconds 4 "${connect[@]}" --json >"$work/cast.json" || fail "cast failed"
cat "$work/cast.json"
python3 - "$work/cast.json" <<'PY' || fail "casting did not deliver frames whose mask stops travelling once confirmed"
import json, sys
r = json.load(open(sys.argv[1]))
assert r["malformed"] == 0, r
assert r["frames"] >= 10, r
assert r["frames_with_mask"] >= 1 and r["masks_confirmed"] >= 1, r
assert r["frames_without_mask"] >= 1, r
PY

step "a headset vanishing in the middle of casting"
use_current_port
"$bin/marlinax-peer" cast --id "$right_id" --seconds 60 "${connect[@]}" >"$work/vanishing.log" 2>&1 &
vanishing_pid=$!
before=$(grep -c 'Headset disconnected' "$work/server.log")
sleep 3
kill -9 "$vanishing_pid"
wait "$vanishing_pid" 2>/dev/null || true
disconnections_above() { [ "$(grep -c 'Headset disconnected' "$work/server.log")" -gt "$1" ]; }
wait_for 20 disconnections_above "$before" || fail "server did not notice"
grep 'Headset disconnected' "$work/server.log" | tail -1 | grep -q 'stopped 1 capture stream' \
  || fail "the vanished headset's capture was not stopped"
kill -0 "$server_pid" || fail "server died"
use_current_port
"$bin/marlinax-peer" displays "${connect[@]}" --json >/dev/null || fail "server does not serve the next headset"

echo "e2e: all steps passed"
