#!/usr/bin/env bash
# A private DNS-SD responder for tests: a D-Bus bus of the system type in a
# directory of its own and an avahi-daemon on it that only uses loopback.
#
#   avahi-env.sh start DIR       start both; print the environment to export
#   avahi-env.sh stop DIR        stop both (by the PIDs recorded in DIR)
#   avahi-env.sh stop-avahi DIR  stop only avahi-daemon (the bus stays)
#   avahi-env.sh start-avahi DIR start avahi-daemon again on the same bus
#
# `start` prints lines of the form
#   export DBUS_SYSTEM_BUS_ADDRESS=unix:path=DIR/bus.socket
#   DBUS_PID=1234
#   AVAHI_PID=1235
# Only one avahi-daemon can run on a host (it keeps /run/avahi-daemon/pid), so
# `start` refuses when one is running already, and tests using this script must
# not run at the same time as each other.
set -euo pipefail

usage() {
  echo "usage: $0 start|stop|stop-avahi|start-avahi DIR" >&2
  exit 2
}

[[ $# -eq 2 ]] || usage
command=$1
dir=$2
host_name=marlinax-test

bus_address() { echo "unix:path=$dir/bus.socket"; }

write_configs() {
  cat >"$dir/bus.conf" <<CONF
<!DOCTYPE busconfig PUBLIC "-//freedesktop//DTD D-Bus Bus Configuration 1.0//EN"
 "http://www.freedesktop.org/standards/dbus/1.0/busconfig.dtd">
<busconfig>
  <type>system</type>
  <listen>$(bus_address)</listen>
  <auth>EXTERNAL</auth>
  <policy context="default">
    <allow user="*"/>
    <allow own="*"/>
    <allow send_type="method_call"/>
    <allow send_type="signal"/>
    <allow send_type="method_return"/>
    <allow send_type="error"/>
    <allow receive_type="method_call"/>
    <allow receive_type="signal"/>
    <allow receive_type="method_return"/>
    <allow receive_type="error"/>
  </policy>
</busconfig>
CONF
  cat >"$dir/avahi.conf" <<CONF
[server]
host-name=$host_name
use-ipv4=yes
use-ipv6=no
allow-interfaces=lo
disallow-other-stacks=no
enable-dbus=yes
ratelimit-interval-usec=1000000
ratelimit-burst=1000

[wide-area]
enable-wide-area=no

[publish]
publish-addresses=yes
publish-hinfo=no
publish-workstation=no
publish-domain=no
publish-aaaa-on-ipv4=no
publish-a-on-ipv6=no

[reflector]
enable-reflector=no

[rlimits]
CONF
}

# Polls up to ~20 s until avahi-daemon answers on the bus with state 2 (running).
wait_for_avahi() {
  local pid=$1
  for _ in $(seq 1 200); do
    if ! kill -0 "$pid" 2>/dev/null; then
      echo "avahi-daemon exited; its log:" >&2
      cat "$dir/avahi.log" >&2
      return 1
    fi
    if DBUS_SYSTEM_BUS_ADDRESS=$(bus_address) dbus-send --system --print-reply=literal \
        --dest=org.freedesktop.Avahi / org.freedesktop.Avahi.Server.GetState 2>/dev/null |
        grep -q 'int32 2'; then
      return 0
    fi
    sleep 0.1
  done
  echo "avahi-daemon did not become ready; its log:" >&2
  cat "$dir/avahi.log" >&2
  return 1
}

start_avahi() {
  if avahi-daemon -c 2>/dev/null; then
    echo "refusing: an avahi-daemon is already running on this host (see /run/avahi-daemon/pid);" \
      "only one can run at a time" >&2
    exit 1
  fi
  # A stale pid file from a killed daemon would make the new one refuse to start.
  rm -f /run/avahi-daemon/pid
  DBUS_SYSTEM_BUS_ADDRESS=$(bus_address) avahi-daemon -f "$dir/avahi.conf" --no-drop-root \
    --no-chroot --no-rlimits --no-proc-title >>"$dir/avahi.log" 2>&1 &
  local pid=$!
  echo "$pid" >"$dir/avahi.pid"
  wait_for_avahi "$pid" || { kill "$pid" 2>/dev/null || true; rm -f "$dir/avahi.pid"; exit 1; }
}

stop_pid_file() {
  local file=$1
  [[ -f $file ]] || return 0
  local pid
  pid=$(cat "$file")
  if kill "$pid" 2>/dev/null; then
    for _ in $(seq 1 100); do
      kill -0 "$pid" 2>/dev/null || break
      sleep 0.1
    done
    kill -9 "$pid" 2>/dev/null || true
  fi
  rm -f "$file"
}

case $command in
  start)
    if avahi-daemon -c 2>/dev/null; then
      echo "refusing: an avahi-daemon is already running on this host (see /run/avahi-daemon/pid);" \
        "only one can run at a time" >&2
      exit 1
    fi
    mkdir -p "$dir"
    write_configs
    dbus-daemon --config-file="$dir/bus.conf" --fork --print-pid=3 3>"$dir/dbus.pid" \
      >>"$dir/dbus.log" 2>&1
    for _ in $(seq 1 100); do
      [[ -S $dir/bus.socket ]] && break
      sleep 0.05
    done
    start_avahi
    echo "export DBUS_SYSTEM_BUS_ADDRESS=$(bus_address)"
    echo "DBUS_PID=$(cat "$dir/dbus.pid")"
    echo "AVAHI_PID=$(cat "$dir/avahi.pid")"
    ;;
  stop)
    stop_pid_file "$dir/avahi.pid"
    stop_pid_file "$dir/dbus.pid"
    ;;
  stop-avahi)
    stop_pid_file "$dir/avahi.pid"
    ;;
  start-avahi)
    start_avahi
    echo "AVAHI_PID=$(cat "$dir/avahi.pid")"
    ;;
  *)
    usage
    ;;
esac
