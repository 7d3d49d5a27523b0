#!/usr/bin/env bash
# The server in a GNOME Wayland session with no X display, as a headset meets it:
# the backend chosen from the session, the display list, casting and the pointer,
# driven by marlinax-peer. The session (bus, PipeWire, WirePlumber, headless mutter)
# is private and stopped by PID at the end. (What each input event does in the
# session is the GNOME backend's own test.)
bin=$1
root=$2
if ! command -v mutter >/dev/null || ! command -v pipewire >/dev/null || ! command -v wireplumber >/dev/null; then
  echo "SKIP: mutter, pipewire or wireplumber is not installed"
  exit 0
fi
source "$(dirname "$0")/lib.sh"

step "private headless GNOME session, a window that changes every frame"
mkdir -p "$work/session"
on_exit+=("'$root/scripts/testing/gnome-session-env.sh' stop '$work/session'")
eval "$("$root/scripts/testing/gnome-session-env.sh" start "$work/session")"
[ -z "${DISPLAY:-}" ] || fail "DISPLAY is still set"
"$bin/marlinax-wayland-test-client" --animate >"$work/client.log" 2>&1 &
track $!
wait_for 20 grep -q '^ready ' "$work/client.log" || fail "the test client did not show its window"

step "server"
start_server --no-advertise
grep -q '^Display backend: gnome (' "$work/server.log" || fail "the GNOME backend was not chosen"
grep -q 'Capture and input through mutter' "$work/server.log" || fail "the GNOME services did not start"

step "display list: the session's monitor, named after its connector"
use_current_port
list_displays "${connect[@]}" || fail "displays failed"
id=$(display_at "0 0 1920 1080")
[ "$(wc -l <"$work/displays.out")" = 1 ] && [ "$id" = $((0xdd72466d)) ] ||  # FNV-1a of "Meta-0"
  fail "the display list does not show the session's monitor: $(cat "$work/displays.out")"

step "casting"
use_current_port
"$bin/marlinax-peer" cast --id "$id" --seconds 10 "${connect[@]}" --json >"$work/cast.json" || fail "cast failed: $(cat "$work/cast.json")"
json_holds "$work/cast.json" 'r["malformed"] == 0 and r["frames"] >= 5 and r["frames_with_mask"] >= 1' ||
  fail "casting did not deliver frames: $(cat "$work/cast.json")"

step "the pointer"
use_current_port
"$bin/marlinax-peer" input move --id "$id" --x 0.25 --y 0.5 "${connect[@]}" || fail "input move failed"
wait_for 10 grep -q ' 480.00 540.00$' "$work/client.log" || fail "the pointer did not reach 480,540 on the window"
echo "PASS"
