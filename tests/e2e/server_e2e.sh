#!/usr/bin/env bash
# The server as a headset meets it: discovered over DNS-SD, handshake, display list,
# preview, casting with mask confirmation, input, and a headset vanishing mid-cast.
bin=$1
root=$2
source "$(dirname "$0")/lib.sh"

step "private X server with two monitors, private avahi-daemon"
start_xvfb 3840x1080
two_monitors
start_avahi

step "server"
# The X backend whatever session the tests run in (a Wayland desktop would be chosen first).
start_server --backend x11

step "discovery"
discovered() {
  "$bin/marlinax-peer" discover --timeout 3 >"$work/discover.out" && grep -q "^[^ ].* $port\$" "$work/discover.out"
}
wait_for 30 discovered || fail "marlinax-peer discover did not find the server on port $port"
avahi-browse -rtp _marlinax_server._tcp | grep '^=' | grep -q ";$port;" || fail "avahi-browse does not list port $port"

step "handshake"
"$bin/marlinax-peer" handshake "${connect[@]}" || fail "handshake failed"
wait_for 10 grep -q '^Connected to ' "$work/server.log" || fail "server did not publish the headset"
wait_for 20 grep -q 'Headset disconnected' "$work/server.log" || fail "server did not notice the headset leaving"

step "display list"
use_current_port
list_displays "${connect[@]}" || fail "displays failed"
left_id=$(display_at "0 0 1920 1080")
right_id=$(display_at "1920 0 1920 1080")
[ "$(wc -l <"$work/displays.out")" = 2 ] && [ -n "$left_id" ] && [ -n "$right_id" ] ||
  fail "display list does not match the two monitors: $(cat "$work/displays.out")"
awk -F'\t' '$2 != "Display " $1 {exit 1}' "$work/displays.out" || fail "displays are not titled by their identifier"

step "preview"
use_current_port
"$bin/marlinax-peer" preview --id "$left_id" --out-jpeg "$work/preview.jpg" --out-mask "$work/preview.mask" \
  "${connect[@]}" || fail "preview failed"
file "$work/preview.jpg" | grep -q 'JPEG image data.*1200x640' || fail "preview is not a 1200x640 JPEG"
python3 - "$work/preview.mask" <<'PY' || fail "preview mask is not opaque over 1200x640"
import sys
mask = open(sys.argv[1], "rb").read()
stride = len(mask) // 640
assert len(mask) == 640 * stride and stride >= 1200, len(mask)
assert mask == (b"\xff" * 1200 + b"\0" * (stride - 1200)) * 640
PY

step "input"
use_current_port
"$bin/marlinax-peer" input move --id "$right_id" --x 0.25 --y 0.5 "${connect[@]}" || fail "input move failed"
eval "$(xdotool getmouselocation --shell)"
[ "$X" = 2400 ] && [ "$Y" = 540 ] || fail "pointer at $X,$Y instead of 2400,540"

step "casting while the screen changes"
use_current_port
"$bin/marlinax-screen-painter" --display "$DISPLAY" --rect 0,0,1920,1080 --fps 30 --seconds 60 >/dev/null 2>&1 &
track $!
"$bin/marlinax-peer" cast --id "$left_id" --seconds 4 "${connect[@]}" --json >"$work/cast.json" || fail "cast failed"
cat "$work/cast.json"
json_holds "$work/cast.json" 'r["malformed"] == 0 and r["frames"] >= 10 and r["frames_with_mask"] >= 1 and
  r["masks_confirmed"] >= 1 and r["frames_without_mask"] >= 1' ||
  fail "casting did not deliver frames whose mask stops travelling once confirmed"

step "a headset vanishing in the middle of casting"
use_current_port
"$bin/marlinax-peer" cast --id "$right_id" --seconds 60 "${connect[@]}" >"$work/vanishing.out" 2>&1 &
vanishing_pid=$!
before=$(count 'Headset disconnected')
sleep 3
kill -9 "$vanishing_pid"
wait "$vanishing_pid" 2>/dev/null || true
wait_for 20 count_above 'Headset disconnected' "$before" || fail "server did not notice"
grep 'Headset disconnected' "$work/server.log" | tail -1 | grep -q 'stopped 1 capture stream' ||
  fail "the vanished headset's capture was not stopped"
kill -0 "$server_pid" || fail "server died"
use_current_port
list_displays "${connect[@]}" || fail "server does not serve the next headset"
echo "e2e: all steps passed"
