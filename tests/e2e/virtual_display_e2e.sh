#!/usr/bin/env bash
# The headless set-up: `marlinax-server --virtual-display` on an X server with two
# monitors adds a third, which a headset lists and casts; after SIGTERM
# the desktop is as it was. The peer connects by address, so no DNS-SD is needed.
set -euo pipefail

bin=$1
work=$(mktemp -d /tmp/marlinax-vd-e2e.XXXXXX)
server_pid=
painter_pid=
xvfb_pid=

cleanup() {
  set +e
  [ -n "$painter_pid" ] && kill "$painter_pid" 2>/dev/null
  [ -n "$server_pid" ] && kill "$server_pid" 2>/dev/null && wait "$server_pid" 2>/dev/null
  [ -n "$xvfb_pid" ] && kill "$xvfb_pid" 2>/dev/null && wait "$xvfb_pid" 2>/dev/null
  rm -rf "$work"
}
trap cleanup EXIT

fail() {
  echo "FAIL: $*" >&2
  for f in server.log server.err; do
    [ -f "$work/$f" ] && { echo "--- $f" >&2; cat "$work/$f" >&2; }
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

# The server listens anew after each headset has gone: use its latest port.
listening_again() {
  [ "$(grep -c 'Awaiting connection on port' "$work/server.log")" -gt \
    "$(grep -c 'Headset disconnected' "$work/server.log")" ]
}
use_current_port() {
  wait_for 20 listening_again || fail "server is not listening again"
  port=$(grep -o 'Awaiting connection on port [0-9]*' "$work/server.log" | tail -1 | awk '{print $NF}')
  connect=(--host 127.0.0.1 --port "$port" --timeout 20)
}

step "private X server: two monitors on a 3840x1080 screen that may grow to 5760"
n=150
while [ -e "/tmp/.X11-unix/X$n" ] || [ -e "/tmp/.X$n-lock" ]; do n=$((n + 1)); done
Xvfb ":$n" -screen 0 5760x1080x24 -noreset -nolisten tcp >"$work/xvfb.log" 2>&1 &
xvfb_pid=$!
export DISPLAY=":$n"
wait_for 10 xdpyinfo >/dev/null 2>&1 || fail "Xvfb did not start"
xrandr --setmonitor Left 1920/508x1080/286+0+0 none
xrandr --setmonitor Right 1920/508x1080/286+1920+0 none
xrandr --fb 3840x1080 --output screen --off
xrandr --listmonitors >"$work/monitors.before"
[ "$(head -1 "$work/monitors.before")" = "Monitors: 2" ] || fail "expected two monitors: $(cat "$work/monitors.before")"
size_before=$(xdpyinfo | grep dimensions)

step "server with --virtual-display"
"$bin/marlinax-server" --virtual-display >"$work/server.log" 2>"$work/server.err" &
server_pid=$!
wait_for 30 grep -q 'Awaiting connection on port' "$work/server.log" || fail "server did not start listening"
cat "$work/server.log"
grep -qx 'displays prior: ' "$work/server.log" || fail "no 'displays prior: ' line"
grep -qx 'A virtual display with ID 1 was successfully created.' "$work/server.log" || fail "no success line"
grep -qx 'displays after: ' "$work/server.log" || fail "no 'displays after: ' line"
vd_id=$(sed -n 's/^Display ID for virtual display was set to \([0-9]*\)\.$/\1/p' "$work/server.log")
[ -n "$vd_id" ] || fail "no identifier adopted"
xrandr --listmonitors | grep -q 'Virtual Display 1 1920/1920x1080/1080+3840+0' \
  || fail "no monitor 'Virtual Display 1' right of the others: $(xrandr --listmonitors)"

step "the headset lists one display more, under the adopted identifier"
use_current_port
"$bin/marlinax-peer" displays "${connect[@]}" --json >"$work/displays.json" || fail "displays failed"
cat "$work/displays.json"
python3 - "$work/displays.json" "$vd_id" <<'PY' || fail "display list does not hold the virtual display"
import json, sys
d = json.load(open(sys.argv[1]))
displays = d["displays"] if isinstance(d, dict) else d
assert len(displays) == 3, displays
def frame(x):
    f = x["frame"]
    return tuple(f) if not isinstance(f, dict) else (f["x"], f["y"], f["width"], f["height"])
vd = [x for x in displays if x["identifier"] == int(sys.argv[2])]
assert len(vd) == 1 and frame(vd[0]) == (3840, 0, 1920, 1080), vd
PY

step "casting it while something is drawn there"
use_current_port
"$bin/marlinax-screen-painter" --display "$DISPLAY" --rect 3840,0,1920,1080 --fps 30 --seconds 60 >/dev/null 2>&1 &
painter_pid=$!
"$bin/marlinax-peer" cast --id "$vd_id" --seconds 4 "${connect[@]}" --json >"$work/cast.json" || fail "cast failed"
cat "$work/cast.json"
python3 - "$work/cast.json" <<'PY' || fail "casting the virtual display did not follow the painting"
import json, sys
r = json.load(open(sys.argv[1]))
assert r["malformed"] == 0, r
# Frames go out only when the display changes: many frames mean the painting was seen.
assert r["frames"] >= 10, r
PY
kill "$painter_pid"; wait "$painter_pid" 2>/dev/null || true; painter_pid=

step "after SIGTERM the virtual display is gone"
kill -TERM "$server_pid"
wait "$server_pid" || fail "server exited with status $?"
server_pid=
xrandr --listmonitors >"$work/monitors.after"
diff "$work/monitors.before" "$work/monitors.after" || fail "monitors differ after the server stopped"
[ "$(xdpyinfo | grep dimensions)" = "$size_before" ] || fail "screen size not restored: $(xdpyinfo | grep dimensions)"

echo "virtual display e2e: all steps passed"
