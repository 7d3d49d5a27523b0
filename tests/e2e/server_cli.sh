#!/usr/bin/env bash
# marlinax-server's command line at run time: a fixed --port is listened on
# again after each headset, --display picks the X display whatever $DISPLAY
# says, and the start-up failures (a display that cannot be opened, a port
# already taken) end the program before anything is served.
set -euo pipefail

bin=$1
work=$(mktemp -d /tmp/marlinax-cli.XXXXXX)
server_pid=
xvfb_pid=
holder_pid=

cleanup() {
  set +e
  [ -n "$server_pid" ] && kill "$server_pid" 2>/dev/null && wait "$server_pid" 2>/dev/null
  [ -n "$holder_pid" ] && kill "$holder_pid" 2>/dev/null && wait "$holder_pid" 2>/dev/null
  [ -n "$xvfb_pid" ] && kill "$xvfb_pid" 2>/dev/null && wait "$xvfb_pid" 2>/dev/null
  rm -rf "$work"
}
trap cleanup EXIT

fail() {
  echo "FAIL: $*" >&2
  for log in "$work"/*.out "$work"/*.err; do
    [ -f "$log" ] && { echo "--- $log" >&2; cat "$log" >&2; }
  done
  exit 1
}
wait_for() {
  local seconds=$1; shift
  local deadline=$((SECONDS + seconds))
  until "$@"; do
    [ $SECONDS -lt $deadline ] || return 1
    sleep 0.2
  done
}
free_port() {
  python3 -c 'import socket; s = socket.socket(); s.bind(("127.0.0.1", 0)); print(s.getsockname()[1])'
}
count() { grep -c "$1" "$2" || true; }

# No D-Bus system bus: nothing is advertised, the server serves on its port.
export DBUS_SYSTEM_BUS_ADDRESS="unix:path=$work/no-bus"

n=160
while [ -e "/tmp/.X11-unix/X$n" ] || [ -e "/tmp/.X$n-lock" ]; do n=$((n + 1)); done
Xvfb ":$n" -screen 0 1024x768x24 -noreset -nolisten tcp >"$work/xvfb.log" 2>&1 &
xvfb_pid=$!
DISPLAY=":$n" wait_for 10 xdpyinfo >/dev/null 2>&1 || fail "Xvfb did not start"
unused=$((n + 1))
while [ -e "/tmp/.X11-unix/X$unused" ] || [ -e "/tmp/.X$unused-lock" ]; do unused=$((unused + 1)); done

echo "== a display that cannot be opened: usage error, nothing started"
port=$(free_port)
status=0
DISPLAY=":$n" "$bin/marlinax-server" --display ":$unused" --port "$port" >"$work/bad-display.out" \
  2>"$work/bad-display.err" || status=$?
[ "$status" -eq 2 ] || fail "--display :$unused exited with $status, not 2"
[ "$(head -1 "$work/bad-display.err")" = "marlinax-server: --display :$unused: cannot open this X display" ] ||
  fail "unexpected message for an unreachable display"
grep -q '^usage: marlinax-server ' "$work/bad-display.err" || fail "no usage line"
[ ! -s "$work/bad-display.out" ] || fail "something was started with an unreachable display"

echo "== a port another program listens on: failure at start"
python3 -c '
import socket, sys, time
s = socket.socket(socket.AF_INET6)
s.setsockopt(socket.IPPROTO_IPV6, socket.IPV6_V6ONLY, 0)
s.bind(("::", 0)); s.listen()
print(s.getsockname()[1], flush=True)
time.sleep(600)' >"$work/holder.port" &
holder_pid=$!
wait_for 10 test -s "$work/holder.port" || fail "port holder did not start"
taken=$(cat "$work/holder.port")
status=0
"$bin/marlinax-server" --display ":$n" --port "$taken" >"$work/taken.out" 2>"$work/taken.err" || status=$?
[ "$status" -eq 1 ] || fail "a taken --port exited with $status, not 1"
grep -q "^error: cannot listen on TCP port $taken: " "$work/taken.err" || fail "no message naming the taken port"
[ ! -s "$work/taken.out" ] || fail "something was started on a taken port"
kill "$holder_pid"; wait "$holder_pid" 2>/dev/null || true; holder_pid=

echo "== --display over \$DISPLAY, and a fixed --port listened on again after each headset"
port=$(free_port)
DISPLAY=":$unused" "$bin/marlinax-server" --display ":$n" --port "$port" --verbose \
  >"$work/server.out" 2>"$work/server.err" &
server_pid=$!
wait_for 20 grep -q "^Awaiting connection on port $port\.$" "$work/server.out" || fail "not listening on $port"
grep -q "^info: Capture and input on X display :$n\.$" "$work/server.err" || fail "--display :$n was not used"
for round in 1 2; do
  "$bin/marlinax-peer" handshake --host 127.0.0.1 --port "$port" --timeout 20 >"$work/peer$round.log" 2>&1 ||
    fail "handshake $round on the fixed port"
  wait_for 20 test "$(count '^Headset disconnected' "$work/server.out")" -ge "$round" ||
    fail "headset $round not seen leaving"
  wait_for 20 test "$(count "^Awaiting connection on port $port\.$" "$work/server.out")" -ge $((round + 1)) ||
    fail "not listening on $port again after headset $round"
done
[ "$(count '^Connected to Marlinax Peer\.$' "$work/server.out")" -eq 2 ] || fail "expected two connected headsets"
[ "$(count '^Awaiting connection on port' "$work/server.out")" -eq \
  "$(count "^Awaiting connection on port $port\.$" "$work/server.out")" ] || fail "listened on another port"
kill -TERM "$server_pid"
wait "$server_pid" || fail "server exited with $? after SIGTERM"
server_pid=
echo "server command line: ok"
