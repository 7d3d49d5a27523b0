#!/usr/bin/env bash
# The real server under scripted attacks on loopback, each followed by a
# genuine headset's handshake. Needs no DNS-SD: the server listens without
# advertising and every client is given the port.
bin=$1
source "$(dirname "$0")/lib.sh"

ready() { grep -q '^ready' "$1"; }
dead() { ! kill -0 "$1" 2>/dev/null; }

# A genuine headset's handshake; it must be served.
genuine() {
  local before
  before=$(count '^Connected to Marlinax Peer')
  "$bin/marlinax-peer" handshake "${target[@]}" --timeout 30 >"$work/genuine.out" 2>&1 ||
    fail "the genuine headset's handshake failed ($1)"
  wait_for 20 count_above '^Connected to Marlinax Peer' "$before" || fail "the server did not serve the headset ($1)"
}

# Starts an attack in the background and waits until it is in place; end_attack stops it.
attack() {
  local name=$1
  shift
  # Emptied here, not by the child's redirection: that happens after the fork, and
  # until then the waits below would read the previous attack's lines.
  : >"$work/$name.out"
  "$bin/marlinax-hostile-client" "$@" "${target[@]}" >"$work/$name.out" 2>&1 &
  attack_pid=$!
  track $attack_pid
  wait_for 30 ready "$work/$name.out" || fail "attack $name did not get ready"
}
end_attack() {
  kill "$attack_pid" 2>/dev/null || true
  wait "$attack_pid" 2>/dev/null || true
}

# The cost line the server logs when a served connection ends, for the last
# connection: "Connection ended: M messages received, at most K requests in
# progress (bound B), at most Q reply bytes queued (bound QB), F sends failed,
# W child-window watchers refused."
last_costs() {
  wait_for 30 count_above 'Connection ended:' "$1" || fail "no cost line for the connection"
  grep 'Connection ended:' "$work/server.log" | tail -1 | sed 's/[^0-9 ]//g' | awk '{print $1, $2, $3, $4, $5, $6, $7}'
}
first_display() { list_displays "${target[@]}" "$@" && display_id=$(head -1 "$work/displays.out" | cut -f1); }
# Floods with these attack arguments until the client prints $1 within $2 seconds; then reads the costs.
flood() {
  local done_line=$1 seconds=$2 ended
  shift 2
  ended=$(count 'Connection ended:')
  attack flood flood "$@"
  wait_for "$seconds" grep -q "$done_line" "$work/flood.out" || fail "the flood $* did not finish"
  end_attack
  read -r received peak bound queued queued_bound failed refused < <(last_costs "$ended")
  echo "received $received, peak $peak of $bound in progress, $queued of $queued_bound reply bytes queued"
}

step "private X server"
start_xvfb 1280x720 140
start_server --no-advertise
first_display || fail "displays failed"

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
track $holder_pid
before=$(count '^Connected to Marlinax Peer')
wait_for 30 count_above '^Connected to Marlinax Peer' "$before" || fail "the first headset was not served"
stopped_one=$(count 'Headset disconnected; stopped 1 capture stream')
genuine "replacement"
wait_for 30 count_above 'Headset disconnected; stopped 1 capture stream' "$stopped_one" ||
  fail "the first headset's casting was not stopped"
wait_for 30 dead "$holder_pid" || fail "the first headset's connection stayed open"
grep -q 'the computer ended the connection' "$work/first.out" || fail "the first headset did not see its connection end"

step "1,000,000 display requests, replies never read"
flood '^sent' 120 --request displays --count 1000000 --stall 10
[ "$peak" = "$bound" ] || fail "requests in progress peaked at $peak, not at the bound $bound"
[ "$queued" -le "$queued_bound" ] || fail "$queued reply bytes were queued, above $queued_bound"
[ "$received" -lt 1000000 ] || fail "the server read every request of a client that never read"
genuine "after the display flood"

step "10,000 preview requests, replies never read"
flood '^sent' 300 --request preview --id "$display_id" --count 10000 --stall 10
[ "$peak" -le "$bound" ] || fail "requests in progress peaked at $peak, above $bound"
[ "$received" -lt 10000 ] || fail "the server read every preview request of a client that never read"
genuine "after the preview flood"

step "5,000 child-window watchers for invented displays, replies read"
flood '^sent 5000 of 5000' 120 --request watch --id 100000 --count 5000 --read
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
for length in 67108864 1048577; do
  attack header header --length $length --seconds 30
  wait_for 30 grep -q 'closed by the server' "$work/header.out" || fail "a header announcing $length bytes was accepted"
  end_attack
done
genuine "after the headers"

step "the X server goes away and comes back"
kill "$xvfb_pid"
wait "$xvfb_pid" 2>/dev/null || true
# Until it comes back the display number stays ours: a lock file naming this script
# keeps other X servers (other tests' too) off it, so none answers in its place.
reserved="/tmp/.X$display_number-lock"
(set -o noclobber && printf '%10d\n' $$ >"$reserved") || fail "another X server took display :$display_number"
on_exit+=('[ -z "$reserved" ] || rm -f "$reserved"')
# Requests that need the X server get no reply; they must not hold up the
# network threads, so a headset is still served meanwhile.
for _ in 1 2 3; do
  if "$bin/marlinax-peer" input move --id "$display_id" --x 0.5 --y 0.5 "${target[@]}" --timeout 3 >/dev/null 2>&1; then
    fail "a pointer move was answered without an X server"
  fi
done
! list_displays "${target[@]}" --timeout 3 2>/dev/null || fail "displays were listed without an X server"
genuine "while the X server is gone"
kill -0 "$server_pid" || fail "the server died with the X server"
rm -f "$reserved"
reserved=
start_xvfb 1280x720 "$display_number"
[ "$DISPLAY" = ":$display_number" ] || fail "Xvfb came back on another display number"
wait_for 30 first_display --timeout 5 2>/dev/null || fail "the displays are not listed once the X server is back"
"$bin/marlinax-peer" input move --id "$display_id" --x 0.25 --y 0.5 "${target[@]}" --timeout 10 >/dev/null ||
  fail "a pointer move failed once the X server is back"
eval "$(xdotool getmouselocation --shell)"
[ "$X" = 320 ] && [ "$Y" = 360 ] || fail "pointer at $X,$Y instead of 320,360 on the new X server"

step "addresses outside the allowed ranges"
stop_server
start_server --no-advertise --allow-from 10.0.0.0/8,fe80::/10
if "$bin/marlinax-peer" handshake "${target[@]}" --timeout 5 >"$work/refused.out" 2>&1; then
  fail "a loopback headset was served although loopback is not allowed"
fi
wait_for 10 grep -q 'Refused a connection from 127.0.0.1' "$work/server.log" || fail "no refusal line"
stop_server
start_server --no-advertise --allow-from 127.0.0.0/8
genuine "loopback allowed explicitly"
stop_server
echo "hostile clients: all steps passed"
