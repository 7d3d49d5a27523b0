#!/usr/bin/env bash
# The real server under scripted attacks on loopback, each followed by a
# genuine headset's handshake. Needs no DNS-SD: the server listens without
# advertising and every client is given the port.
set -euo pipefail

bin=$1
work=$(mktemp -d /tmp/marlinax-hostile.XXXXXX)
server_pid=
xvfb_pid=
attack_pid=
holder_pid=

cleanup() {
  set +e
  [ -n "$attack_pid" ] && kill "$attack_pid" 2>/dev/null
  [ -n "$holder_pid" ] && kill "$holder_pid" 2>/dev/null
  [ -n "$server_pid" ] && kill "$server_pid" 2>/dev/null && wait "$server_pid" 2>/dev/null
  [ -n "$xvfb_pid" ] && kill "$xvfb_pid" 2>/dev/null
  rm -rf "$work"
}
trap cleanup EXIT

fail() {
  echo "FAIL: $*" >&2
  for log in "$work"/*.out "$work/server.log"; do
    [ -f "$log" ] || continue
    echo "--- $log" >&2
    tail -40 "$log" >&2
  done
  exit 1
}
step() { echo "== $*"; }

wait_for() {
  local seconds=$1; shift
  local deadline=$((SECONDS + seconds))
  until "$@"; do
    [ $SECONDS -lt $deadline ] || return 1
    sleep 0.1
  done
}

count() { grep -c -- "$1" "$work/server.log" || true; }
count_above() { [ "$(count "$1")" -gt "$2" ]; }
ready() { grep -q '^ready' "$1"; }
dead() { ! kill -0 "$1" 2>/dev/null; }

start_server() {
  : >"$work/server.log"
  "$bin/marlinax-server" --no-advertise "$@" >"$work/server.log" 2>&1 &
  server_pid=$!
  wait_for 20 grep -q 'Awaiting connection on port' "$work/server.log" || fail "server did not start listening"
  port=$(grep -o 'Awaiting connection on port [0-9]*' "$work/server.log" | head -1 | awk '{print $NF}')
  target=(--host 127.0.0.1 --port "$port")
}

stop_server() {
  kill "$server_pid"
  wait "$server_pid" || true
  server_pid=
}

# A genuine headset's handshake; it must be served.
genuine() {
  local before
  before=$(count '^Connected to Marlinax Peer')
  "$bin/marlinax-peer" handshake "${target[@]}" --timeout 30 >"$work/genuine.out" 2>&1 \
    || fail "the genuine headset's handshake failed ($1)"
  wait_for 20 count_above '^Connected to Marlinax Peer' "$before" || fail "the server did not serve the headset ($1)"
}

# Starts an attack in the background and waits until it is in place.
attack() {
  local name=$1; shift
  "$bin/marlinax-hostile-client" "$@" "${target[@]}" >"$work/$name.out" 2>&1 &
  attack_pid=$!
  wait_for 30 ready "$work/$name.out" || fail "attack $name did not get ready"
}

end_attack() {
  kill "$attack_pid" 2>/dev/null || true
  wait "$attack_pid" 2>/dev/null || true
  attack_pid=
}

# The cost line the server logs when a served connection ends, for the last
# connection: "Connection ended: M messages received, at most K requests in
# progress (bound B), at most Q reply bytes queued (bound QB), F sends failed,
# W child-window watchers refused."
last_costs() {
  wait_for 30 count_above 'Connection ended:' "$1" || fail "no cost line for the connection"
  grep 'Connection ended:' "$work/server.log" | tail -1 | sed 's/[^0-9 ]//g' | awk '{print $1, $2, $3, $4, $5, $6, $7}'
}

step "private X server"
# Another test may take a free display number at the same moment: then Xvfb
# exits and the next number is tried.
n=140
while :; do
  while [ -e "/tmp/.X11-unix/X$n" ] || [ -e "/tmp/.X$n-lock" ]; do n=$((n + 1)); done
  Xvfb ":$n" -screen 0 1280x720x24 -noreset -nolisten tcp >"$work/xvfb.log" 2>&1 &
  xvfb_pid=$!
  export DISPLAY=":$n"
  if wait_for 10 xdpyinfo >/dev/null 2>&1 && kill -0 "$xvfb_pid" 2>/dev/null; then break; fi
  kill "$xvfb_pid" 2>/dev/null || true
  [ "$n" -lt 200 ] || fail "Xvfb did not start"
  n=$((n + 1))
done

start_server
"$bin/marlinax-peer" displays "${target[@]}" --json >"$work/displays.json" || fail "displays failed"
display_id=$(python3 -c 'import json,sys; d=json.load(open(sys.argv[1])); d=d["displays"] if isinstance(d,dict) else d; print(d[0]["identifier"])' "$work/displays.json")

# A stalled client is closed by the deadline (10 s) at the earliest; the
# headset must be served before that, so no deadline line may precede it.
for variant in "stall-tcp" "stall-tcp --half-hello" "stall-handshake"; do
  step "$variant: seven connections that stall"
  expired=$(count 'in time')
  attack stalled $variant --connections 7 --seconds 120
  genuine "$variant"
  [ "$(count 'in time')" = "$expired" ] || fail "$variant: the headset waited for a stalled connection's deadline"
  end_attack
done

step "twenty stalled TCP connections, more than are handshaken at once"
attack stalled stall-tcp --connections 20 --seconds 120
genuine "twenty stalled"
end_attack

step "a second headset replaces the first"
"$bin/marlinax-peer" cast --id "$display_id" --seconds 120 "${target[@]}" --timeout 30 >"$work/first.out" 2>&1 &
holder_pid=$!
before=$(count '^Connected to Marlinax Peer')
wait_for 30 count_above '^Connected to Marlinax Peer' "$before" || fail "the first headset was not served"
stopped_one=$(count 'Headset disconnected; stopped 1 capture stream')
genuine "replacement"
wait_for 30 count_above 'Headset disconnected; stopped 1 capture stream' "$stopped_one" \
  || fail "the first headset's casting was not stopped"
wait_for 30 dead "$holder_pid" || fail "the first headset's connection stayed open"
holder_pid=
grep -q 'the computer ended the connection' "$work/first.out" || fail "the first headset did not see its connection end"

step "1,000,000 display requests, replies never read"
ended=$(count 'Connection ended:')
attack flood flood --request displays --count 1000000 --stall 10
wait_for 120 grep -q '^sent' "$work/flood.out" || fail "the flood did not finish"
end_attack
read -r received peak bound queued queued_bound _ < <(last_costs "$ended")
echo "received $received, peak $peak of $bound in progress, $queued of $queued_bound reply bytes queued"
[ "$peak" = "$bound" ] || fail "requests in progress peaked at $peak, not at the bound $bound"
[ "$queued" -le "$queued_bound" ] || fail "$queued reply bytes were queued, above $queued_bound"
[ "$received" -lt 1000000 ] || fail "the server read every request of a client that never read"
genuine "after the display flood"

step "10,000 preview requests, replies never read"
ended=$(count 'Connection ended:')
attack flood flood --request preview --id "$display_id" --count 10000 --stall 10
wait_for 300 grep -q '^sent' "$work/flood.out" || fail "the flood did not finish"
end_attack
read -r received peak bound queued queued_bound _ < <(last_costs "$ended")
echo "received $received, peak $peak of $bound in progress, $queued of $queued_bound reply bytes queued"
[ "$peak" -le "$bound" ] || fail "requests in progress peaked at $peak, above $bound"
[ "$received" -lt 10000 ] || fail "the server read every preview request of a client that never read"
genuine "after the preview flood"

step "5,000 child-window watchers for invented displays, replies read"
ended=$(count 'Connection ended:')
attack flood flood --request watch --id 100000 --count 5000 --read
wait_for 120 grep -q '^sent 5000 of 5000' "$work/flood.out" || fail "not every watch request was answered"
end_attack
read -r received _ _ _ _ failed refused < <(last_costs "$ended")
[ "$refused" = 5000 ] || fail "$refused of 5000 watchers for invented displays were refused"
genuine "after the watchers"

step "a held handshake and 2,000 connect/close"
attack held stall-handshake --connections 1 --seconds 120
"$bin/marlinax-hostile-client" connect-close --count 2000 "${target[@]}" >"$work/churn.out" 2>&1 || fail "connect-close failed"
grep -q 'connected and closed 2000 of 2000' "$work/churn.out" || fail "the listener refused: $(cat "$work/churn.out")"
genuine "after 2000 connect/close"
fds=$(ls "/proc/$server_pid/fd" | wc -l)
[ "$fds" -lt 200 ] || fail "the server holds $fds descriptors after the churn"
end_attack

step "frame headers above the limit and at it, without a body"
attack header header --length 67108864 --seconds 30
wait_for 30 grep -q 'closed by the server' "$work/header.out" || fail "a 64 MiB header did not close the connection"
end_attack
attack header header --length 1048577 --seconds 30
wait_for 30 grep -q 'closed by the server' "$work/header.out" || fail "a header one byte above 1 MiB was accepted"
end_attack
genuine "after the headers"

step "the X server goes away and comes back"
kill "$xvfb_pid"
wait "$xvfb_pid" 2>/dev/null || true
xvfb_pid=
# Requests that need the X server get no reply; they must not hold up the
# network threads, so a headset is still served meanwhile.
for _ in 1 2 3; do
  if "$bin/marlinax-peer" input move --id "$display_id" --x 0.5 --y 0.5 "${target[@]}" --timeout 3 >/dev/null 2>&1; then
    fail "a pointer move was answered without an X server"
  fi
done
if "$bin/marlinax-peer" displays "${target[@]}" --timeout 3 >/dev/null 2>&1; then
  fail "displays were listed without an X server"
fi
genuine "while the X server is gone"
kill -0 "$server_pid" || fail "the server died with the X server"
Xvfb ":$n" -screen 0 1280x720x24 -noreset -nolisten tcp >"$work/xvfb.log" 2>&1 &
xvfb_pid=$!
wait_for 10 xdpyinfo >/dev/null 2>&1 || fail "Xvfb did not start again"
listed() { "$bin/marlinax-peer" displays "${target[@]}" --timeout 5 --json >"$work/displays.json" 2>/dev/null; }
wait_for 30 listed || fail "the displays are not listed once the X server is back"
display_id=$(python3 -c 'import json,sys; d=json.load(open(sys.argv[1])); d=d["displays"] if isinstance(d,dict) else d; print(d[0]["identifier"])' "$work/displays.json")
"$bin/marlinax-peer" input move --id "$display_id" --x 0.25 --y 0.5 "${target[@]}" --timeout 10 >/dev/null \
  || fail "a pointer move failed once the X server is back"
eval "$(xdotool getmouselocation --shell)"
[ "$X" = 320 ] && [ "$Y" = 360 ] || fail "pointer at $X,$Y instead of 320,360 on the new X server"

step "addresses outside the allowed ranges"
stop_server
start_server --allow-from 10.0.0.0/8,fe80::/10
if "$bin/marlinax-peer" handshake "${target[@]}" --timeout 5 >"$work/refused.out" 2>&1; then
  fail "a loopback headset was served although loopback is not allowed"
fi
wait_for 10 grep -q 'Refused a connection from 127.0.0.1' "$work/server.log" || fail "no refusal line"
stop_server
start_server --allow-from 127.0.0.0/8
genuine "loopback allowed explicitly"
stop_server

echo "hostile clients: all steps passed"
