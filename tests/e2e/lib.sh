# Shared by the end-to-end scripts (sourced, after setting `bin`, the build's program folder,
# and, where avahi or a GNOME session is used, `root`, the source tree): a work folder removed
# at exit, processes stopped by PID at exit, a private Xvfb, a private avahi-daemon, the server
# and waiting for its lines.
set -euo pipefail

work=$(mktemp -d /tmp/marlinax-e2e.XXXXXX)
pids=()     # stopped at exit, the latest first
on_exit=()  # commands run at exit, after the processes stopped

cleanup() {
  set +e
  for ((i = ${#pids[@]} - 1; i >= 0; i--)); do
    [ -n "${pids[i]}" ] && kill "${pids[i]}" 2>/dev/null && wait "${pids[i]}" 2>/dev/null
  done
  for command in "${on_exit[@]}"; do eval "$command" >/dev/null 2>&1; done
  rm -rf "$work"
}
trap cleanup EXIT

track() { pids+=("$1"); }
untrack() { for i in "${!pids[@]}"; do [ "${pids[i]}" != "$1" ] || pids[i]=; done; }

fail() {
  echo "FAIL: $*" >&2
  for log in "$work"/*.log "$work"/*.out "$work"/*.err; do
    [ -f "$log" ] && { echo "--- $log" >&2; tail -40 "$log" >&2; }
  done
  exit 1
}
step() { echo "== $*"; }

# Waits up to $1 seconds for a command to succeed.
wait_for() {
  local deadline=$((SECONDS + $1))
  shift
  until "$@"; do
    [ $SECONDS -lt $deadline ] || return 1
    sleep 0.1
  done
}
count() { grep -c -- "$1" "${2:-$work/server.log}" || true; }
count_above() { [ "$(count "$1")" -gt "$2" ]; }
# Whether the JSON in file $1 satisfies the Python expression $2 over it (`r`).
json_holds() { python3 -c 'import json, sys; r = json.load(open(sys.argv[1])); sys.exit(0 if eval("(" + sys.argv[2] + ")") else 1)' "$1" "$2"; }

# A private Xvfb with a screen of $1 (WxH) on the first free display number from 120 (or $2);
# sets DISPLAY, display_number and xvfb_pid. Another test may take the number at the same
# moment: then Xvfb exits and the next number is tried.
start_xvfb() {
  local n=${2:-120}
  while :; do
    while [ -e "/tmp/.X11-unix/X$n" ] || [ -e "/tmp/.X$n-lock" ]; do n=$((n + 1)); done
    Xvfb ":$n" -screen 0 "${1}x24" -noreset -nolisten tcp >"$work/xvfb.log" 2>&1 &
    xvfb_pid=$!
    export DISPLAY=":$n"
    display_number=$n
    if wait_for 10 xdpyinfo >/dev/null 2>&1 && kill -0 "$xvfb_pid" 2>/dev/null; then
      track "$xvfb_pid"
      return
    fi
    kill "$xvfb_pid" 2>/dev/null || true
    [ "$n" -lt 300 ] || fail "Xvfb did not start"
    n=$((n + 1))
  done
}

# Two 1920x1080 monitors, "Left" at 0,0 and "Right" at 1920,0, on a 3840x1080 screen.
two_monitors() {
  xrandr --setmonitor Left 1920/508x1080/286+0+0 none
  xrandr --setmonitor Right 1920/508x1080/286+1920+0 none
  xrandr --fb 3840x1080 --output screen --off
  [ "$(xrandr --listmonitors | head -1)" = "Monitors: 2" ] || fail "expected two monitors: $(xrandr --listmonitors)"
}

# A private avahi-daemon on loopback, on a private system bus.
start_avahi() {
  mkdir -p "$work/avahi"
  on_exit+=("'$root/scripts/testing/avahi-env.sh' stop '$work/avahi'")
  eval "$("$root/scripts/testing/avahi-env.sh" start "$work/avahi")"
}

# Starts marlinax-server with these arguments (output in $work/server.log) and waits until it
# listens; sets server_pid and, for its first port, port, target (host and port) and connect.
start_server() {
  : >"$work/server.log"
  "$bin/marlinax-server" "$@" >"$work/server.log" 2>&1 &
  server_pid=$!
  track "$server_pid"
  wait_for 30 grep -q 'Awaiting connection on port' "$work/server.log" || fail "server did not start listening"
  set_port "$(grep -o 'Awaiting connection on port [0-9]*' "$work/server.log" | head -1 | awk '{print $NF}')"
}
set_port() {
  port=$1
  target=(--host 127.0.0.1 --port "$port")
  connect=("${target[@]}" --timeout 20)
}
stop_server() {
  kill -TERM "$server_pid"
  wait "$server_pid" || fail "server exited with status $? after SIGTERM"
  untrack "$server_pid"
}

# A server that advertises listens anew, on a new port, each time the headset it served has
# gone: waits for that and points `connect` at the latest port.
listening_again() { [ "$(count 'Awaiting connection on port')" -gt "$(count 'Headset disconnected')" ]; }
use_current_port() {
  wait_for 20 listening_again || fail "server is not listening again"
  set_port "$(grep -o 'Awaiting connection on port [0-9]*' "$work/server.log" | tail -1 | awk '{print $NF}')"
}

# The identifier of the display listed with frame "X Y W H" ($1) by `marlinax-peer displays`.
display_at() { awk -F'\t' -v frame="$1" '$3 == frame {print $1}' "$work/displays.out"; }
list_displays() { "$bin/marlinax-peer" displays "$@" >"$work/displays.out"; }
