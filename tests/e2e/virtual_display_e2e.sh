#!/usr/bin/env bash
# The headless set-up: `marlinax-server --virtual-display` on an X server with two
# monitors adds a third, which a headset lists and casts; after SIGTERM
# the desktop is as it was. The peer connects by address, so no DNS-SD is needed.
bin=$1
source "$(dirname "$0")/lib.sh"

step "private X server: two monitors on a 3840x1080 screen that may grow to 5760"
start_xvfb 5760x1080 150
two_monitors
xrandr --listmonitors >"$work/monitors.before"
size_before=$(xdpyinfo | grep dimensions)

step "server with --virtual-display"
start_server --virtual-display --no-advertise
for line in 'displays prior: ' 'A virtual display with ID 1 was successfully created.' 'displays after: '; do
  grep -qx "$line" "$work/server.log" || fail "no line '$line'"
done
vd_id=$(sed -n 's/^Display ID for virtual display was set to \([0-9]*\)\.$/\1/p' "$work/server.log")
[ -n "$vd_id" ] || fail "no identifier adopted"
xrandr --listmonitors | grep -q 'Virtual Display 1 1920/1920x1080/1080+3840+0' ||
  fail "no monitor 'Virtual Display 1' right of the others: $(xrandr --listmonitors)"

step "the headset lists one display more, under the adopted identifier"
use_current_port
list_displays "${connect[@]}" || fail "displays failed"
[ "$(wc -l <"$work/displays.out")" = 3 ] && [ "$(display_at "3840 0 1920 1080")" = "$vd_id" ] ||
  fail "display list does not hold the virtual display: $(cat "$work/displays.out")"

step "casting it while something is drawn there"
use_current_port
"$bin/marlinax-screen-painter" --display "$DISPLAY" --rect 3840,0,1920,1080 --fps 30 --seconds 60 >/dev/null 2>&1 &
painter_pid=$!
track $painter_pid
"$bin/marlinax-peer" cast --id "$vd_id" --seconds 4 "${connect[@]}" --json >"$work/cast.json" || fail "cast failed"
# Frames go out only when the display changes: many frames mean the painting was seen.
json_holds "$work/cast.json" 'r["malformed"] == 0 and r["frames"] >= 10' ||
  fail "casting the virtual display did not follow the painting: $(cat "$work/cast.json")"
kill "$painter_pid"

step "after SIGTERM the virtual display is gone"
stop_server
xrandr --listmonitors | diff "$work/monitors.before" - || fail "monitors differ after the server stopped"
[ "$(xdpyinfo | grep dimensions)" = "$size_before" ] || fail "screen size not restored: $(xdpyinfo | grep dimensions)"
echo "virtual display e2e: all steps passed"
