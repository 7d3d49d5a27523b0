#!/usr/bin/env bash
# marlinax-server's command line at run time: a fixed --port is listened on
# again after each headset, --display picks the X display whatever $DISPLAY
# says, and the start-up failures (a display that cannot be opened, a port
# already taken) end the program before anything is served.
bin=$1
source "$(dirname "$0")/lib.sh"

free_port() { python3 -c 'import socket; s = socket.socket(); s.bind(("127.0.0.1", 0)); print(s.getsockname()[1])'; }
# Runs the server with these arguments, expecting it to end at once with status $1.
fails_with() {
  local expected=$1 status=0
  shift
  "$bin/marlinax-server" "$@" >"$work/failed.out" 2>"$work/failed.err" || status=$?
  [ "$status" -eq "$expected" ] || fail "$* exited with $status, not $expected"
  [ ! -s "$work/failed.out" ] || fail "$* started something"
}

# No D-Bus system bus: nothing is advertised, the server serves on its port.
export DBUS_SYSTEM_BUS_ADDRESS="unix:path=$work/no-bus"
start_xvfb 1024x768 160
n=$display_number
unused=$((n + 1))
while [ -e "/tmp/.X11-unix/X$unused" ] || [ -e "/tmp/.X$unused-lock" ]; do unused=$((unused + 1)); done

step "a display that cannot be opened: usage error, nothing started"
fails_with 2 --display ":$unused" --port "$(free_port)"
[ "$(head -1 "$work/failed.err")" = "marlinax-server: --display :$unused: cannot open this X display" ] ||
  fail "unexpected message for an unreachable display"
grep -q '^usage: marlinax-server ' "$work/failed.err" || fail "no usage line"

step "a port another program listens on: failure at start"
python3 -c '
import socket, time
s = socket.socket(socket.AF_INET6)
s.setsockopt(socket.IPPROTO_IPV6, socket.IPV6_V6ONLY, 0)
s.bind(("::", 0)); s.listen()
print(s.getsockname()[1], flush=True)
time.sleep(600)' >"$work/holder.port" &
track $!
wait_for 10 test -s "$work/holder.port" || fail "port holder did not start"
taken=$(cat "$work/holder.port")
fails_with 1 --display ":$n" --port "$taken"
grep -q "^error: cannot listen on TCP port $taken: " "$work/failed.err" || fail "no message naming the taken port"

step "--display over \$DISPLAY, and a fixed --port listened on again after each headset"
fixed=$(free_port)
DISPLAY=":$unused" start_server --display ":$n" --port "$fixed" --verbose
[ "$port" = "$fixed" ] || fail "not listening on $fixed"
grep -q "^info: Capture and input on X display :$n\.$" "$work/server.log" || fail "--display :$n was not used"
for round in 1 2; do
  "$bin/marlinax-peer" handshake "${connect[@]}" >"$work/peer.out" 2>&1 || fail "handshake $round on the fixed port"
  wait_for 20 test "$(count '^Headset disconnected')" -ge "$round" || fail "headset $round not seen leaving"
  wait_for 20 test "$(count "^Awaiting connection on port $port\.$")" -ge $((round + 1)) ||
    fail "not listening on $port again after headset $round"
done
[ "$(count '^Connected to Marlinax Peer\.$')" -eq 2 ] || fail "expected two connected headsets"
[ "$(count '^Awaiting connection on port')" -eq "$(count "^Awaiting connection on port $port\.$")" ] ||
  fail "listened on another port"
stop_server
echo "server command line: ok"
