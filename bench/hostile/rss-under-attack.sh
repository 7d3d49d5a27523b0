#!/usr/bin/env bash
# The server's memory and availability under each scripted attack, on loopback
# with a private Xvfb. A fresh server per attack; prints one table row each:
# peak RSS (VmHWM) and its growth over the idle server, RSS once the attacker
# has gone, and the figures that row is about (a genuine headset's handshake
# time during the attack, CPU time, log lines after the disconnect, time to
# shut down, descriptors).
#
# usage: bench/hostile/rss-under-attack.sh [BUILD_BIN]   (default build/bin)
set -euo pipefail

bin=${1:-build/bin}
work=$(mktemp -d /tmp/marlinax-rss.XXXXXX)
server_pid=
xvfb_pid=
attack_pid=

cleanup() {
  set +e
  [ -n "$attack_pid" ] && kill "$attack_pid" 2>/dev/null
  [ -n "$server_pid" ] && kill "$server_pid" 2>/dev/null && wait "$server_pid" 2>/dev/null
  [ -n "$xvfb_pid" ] && kill "$xvfb_pid" 2>/dev/null
  rm -rf "$work"
}
trap cleanup EXIT

wait_for() {
  local seconds=$1; shift
  local deadline=$((SECONDS + seconds))
  until "$@"; do
    [ $SECONDS -lt $deadline ] || return 1
    sleep 0.1
  done
}
kib() { awk -v key="$2:" '$1 == key {print $2}' "/proc/$1/status"; }
mib() { awk -v k="$1" 'BEGIN {printf "%.1f", k / 1024}'; }
cpu_seconds() { awk -v hz="$(getconf CLK_TCK)" '{printf "%.1f", ($14 + $15) / hz}' "/proc/$1/stat"; }
now() { date +%s.%N; }
since() { awk -v a="$1" -v b="$(now)" 'BEGIN {printf "%.2f", b - a}'; }
ready() { grep -q '^ready' "$1"; }
count_above() { [ "$(grep -c -- "$1" "$work/server.log" || true)" -gt "$2" ]; }

n=160
while [ -e "/tmp/.X11-unix/X$n" ] || [ -e "/tmp/.X$n-lock" ]; do n=$((n + 1)); done
Xvfb ":$n" -screen 0 1920x1080x24 -noreset -nolisten tcp >"$work/xvfb.log" 2>&1 &
xvfb_pid=$!
export DISPLAY=":$n"
wait_for 10 xdpyinfo >/dev/null 2>&1

start_server() {
  : >"$work/server.log"
  "$bin/marlinax-server" --no-advertise >"$work/server.log" 2>&1 &
  server_pid=$!
  wait_for 20 grep -q 'Awaiting connection on port' "$work/server.log"
  port=$(grep -o 'Awaiting connection on port [0-9]*' "$work/server.log" | head -1 | awk '{print $NF}')
  target=(--host 127.0.0.1 --port "$port")
  "$bin/marlinax-peer" displays "${target[@]}" --json >"$work/displays.json"
  display_id=$(python3 -c 'import json,sys; d=json.load(open(sys.argv[1])); d=d["displays"] if isinstance(d,dict) else d; print(d[0]["identifier"])' "$work/displays.json")
  wait_for 20 count_above 'Headset disconnected' 0
  base=$(kib "$server_pid" VmHWM)
}

# Stops the server; sets `shutdown` to the seconds SIGTERM took.
stop_server() {
  local start
  start=$(now)
  kill "$server_pid"
  wait "$server_pid" || true
  shutdown=$(since "$start")
  server_pid=
}

attack() {
  local name=$1; shift
  "$bin/marlinax-hostile-client" "$@" "${target[@]}" >"$work/$name.out" 2>&1 &
  attack_pid=$!
  wait_for 60 ready "$work/$name.out"
}
end_attack() {
  kill "$attack_pid" 2>/dev/null || true
  wait "$attack_pid" 2>/dev/null || true
  attack_pid=
}

# Seconds one genuine handshake takes now.
genuine() {
  local start
  start=$(now)
  if "$bin/marlinax-peer" handshake "${target[@]}" --timeout 60 >/dev/null 2>&1; then since "$start"; else echo failed; fi
}

row() {
  local name=$1 extra=$2 peak after
  peak=$(kib "$server_pid" VmHWM)
  after=$(kib "$server_pid" VmRSS)
  printf '| %s | %s MiB (+%s) | %s MiB | %s |\n' "$name" "$(mib "$peak")" "$(mib $((peak - base)))" "$(mib "$after")" "$extra"
}

echo "| attack | peak RSS (growth) | RSS after | other figures |"
echo "|---|---|---|---|"

start_server
attack stall stall-tcp --connections 8 --seconds 300
times=()
for _ in 1 2 3 4 5 6 7 8 9; do times+=("$(genuine)"); done
end_attack
row "8 TCP connections sending nothing, 9 genuine handshakes" "handshake s: ${times[*]}"
stop_server

start_server
attack stall stall-tcp --connections 8 --half-hello --seconds 300
t=$(genuine)
end_attack
row "8 TCP connections with half a ClientHello" "genuine handshake ${t} s"
stop_server

start_server
attack stall stall-handshake --connections 8 --seconds 300
t=$(genuine)
end_attack
row "8 TLS connections never answering the handshake" "genuine handshake ${t} s"
stop_server

start_server
cpu0=$(cpu_seconds "$server_pid")
attack flood flood --request displays --count 1000000
wait_for 600 grep -q '^sent' "$work/flood.out"
end_attack
wait_for 60 count_above 'Connection ended:' 1
lines_before=$(wc -l <"$work/server.log")
sleep 2
lines_after=$(($(wc -l <"$work/server.log") - lines_before))
sent=$(grep '^sent' "$work/flood.out")
costs=$(grep 'Connection ended:' "$work/server.log" | tail -1 | sed 's/.*Connection ended: //')
cpu=$(awk -v a="$cpu0" -v b="$(cpu_seconds "$server_pid")" 'BEGIN {printf "%.1f", b - a}')
r=$(row "1,000,000 displays requests, never reading" "$sent; $costs; CPU ${cpu} s; ${lines_after} log lines after the end line")
stop_server
echo "$r; shutdown ${shutdown} s"

start_server
cpu0=$(cpu_seconds "$server_pid")
attack flood flood --request preview --id "$display_id" --count 10000
wait_for 900 grep -q '^sent' "$work/flood.out"
end_attack
wait_for 120 count_above 'Connection ended:' 1
sent=$(grep '^sent' "$work/flood.out")
cpu=$(awk -v a="$cpu0" -v b="$(cpu_seconds "$server_pid")" 'BEGIN {printf "%.1f", b - a}')
r=$(row "10,000 windowPreview requests, never reading" "$sent; CPU ${cpu} s")
stop_server
echo "$r; shutdown ${shutdown} s"

start_server
attack flood flood --request watch --id 100000 --count 200000 --read
wait_for 900 grep -q '^sent' "$work/flood.out"
end_attack
wait_for 60 count_above 'Connection ended:' 1
refused=$(grep 'Connection ended:' "$work/server.log" | tail -1 | grep -o '[0-9]* child-window watchers refused')
row "200,000 startWatchingForChildWindows, invented ids, replies read" "$(grep '^sent' "$work/flood.out"); $refused"
stop_server

start_server
attack held stall-handshake --connections 1 --seconds 300
"$bin/marlinax-hostile-client" connect-close --count 2000 "${target[@]}" >"$work/churn.out" 2>&1
fds=$(ls "/proc/$server_pid/fd" | wc -l)
t=$(genuine)
end_attack
row "a held handshake plus 2,000 TCP connect/close" "$(cat "$work/churn.out"); ${fds} descriptors open; genuine handshake ${t} s"
stop_server

start_server
attack header header --length 67108864 --seconds 30
wait_for 30 grep -q 'closed by the server\|still open' "$work/header.out"
end_attack
row "a 64 MiB length header and no body" "$(tail -1 "$work/header.out")"
stop_server
