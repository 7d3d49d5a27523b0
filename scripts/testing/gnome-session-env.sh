#!/usr/bin/env bash
# A private headless GNOME session for tests: a session bus, PipeWire with
# WirePlumber (without a session manager no stream ever starts) and a headless
# mutter with one 1920x1080 virtual monitor, all in a directory of their own.
#
#   gnome-session-env.sh start DIR   start everything; print the environment to export
#   gnome-session-env.sh stop DIR    stop everything started for DIR, by PID
#
# `start` prints lines of the form
#   export XDG_RUNTIME_DIR=DIR/run
#   export HOME=DIR/home
#   export DBUS_SESSION_BUS_ADDRESS=unix:path=DIR/run/bus
#   export WAYLAND_DISPLAY=marlinax-wayland
#   export XDG_SESSION_TYPE=wayland
#   export XDG_CURRENT_DESKTOP=GNOME
#   unset DISPLAY
# Helpers the bus starts on demand (portals, the permission store) are not our
# children and outlive the bus: `stop` asks the bus for their PIDs first and
# stops them too.
set -euo pipefail

usage() {
  echo "usage: $0 start|stop DIR" >&2
  exit 2
}

[[ $# -eq 2 ]] || usage
command=$1
dir=$2
run=$dir/run
wayland_name=marlinax-wayland

bus_address() { echo "unix:path=$run/bus"; }

session_vars() {
  echo -u DISPLAY XDG_RUNTIME_DIR="$run" HOME="$dir/home" DBUS_SESSION_BUS_ADDRESS="$(bus_address)" \
    XDG_SESSION_TYPE=wayland XDG_CURRENT_DESKTOP=GNOME XDG_CONFIG_HOME="$dir/home/.config" \
    XDG_STATE_HOME="$dir/home/.local/state" XDG_DATA_HOME="$dir/home/.local/share"
}

session_env() {
  # shellcheck disable=SC2046 # the variables hold no spaces (mktemp directories)
  env $(session_vars) "$@"
}

# Starts a program in the session's environment, records its PID in DIR/NAME.pid
# (env executes the program, so the PID is the program's own).
spawn() {
  local name=$1; shift
  # shellcheck disable=SC2046
  env $(session_vars) "$@" >>"$dir/$name.log" 2>&1 &
  echo $! >"$dir/$name.pid"
}

# Whether a process runs; a zombie does not (our daemons are reparented when the
# starting shell exits, and where nothing reaps orphans they stay zombies).
running() {
  local state
  state=$(sed -n 's/^[0-9]* (.*) \([A-Z]\).*/\1/p' "/proc/$1/stat" 2>/dev/null) || return 1
  [[ -n $state && $state != Z && $state != X ]]
}

alive() { running "$(cat "$dir/$1.pid")"; }

fail_start() {
  echo "$1; the logs:" >&2
  for log in "$dir"/*.log; do
    echo "--- $log" >&2
    tail -20 "$log" >&2
  done
  "$0" stop "$dir" || true
  exit 1
}

# Waits up to ~20 s for a condition, failing when the process named dies first.
wait_for() {
  local name=$1; shift
  for _ in $(seq 1 200); do
    "$@" && return 0
    alive "$name" || fail_start "$name exited"
    sleep 0.1
  done
  fail_start "$name did not become ready"
}

has_name() {
  session_env gdbus call --session --dest org.freedesktop.DBus --object-path /org/freedesktop/DBus \
    --method org.freedesktop.DBus.NameHasOwner "$1" 2>/dev/null | grep -q true
}

stop_pid() {
  local pid=$1
  kill "$pid" 2>/dev/null || return 0
  for _ in $(seq 1 50); do
    running "$pid" || return 0
    sleep 0.1
  done
  kill -9 "$pid" 2>/dev/null || true
}

stop_pid_file() {
  local file=$1
  [[ -f $file ]] || return 0
  stop_pid "$(cat "$file")"
  rm -f "$file"
}

# The PIDs of every connection on the bus that none of our own processes holds.
bus_helpers() {
  [[ -S $run/bus ]] || return 0
  local names
  names=$(session_env gdbus call --session --dest org.freedesktop.DBus --object-path /org/freedesktop/DBus \
    --method org.freedesktop.DBus.ListNames 2>/dev/null | grep -o "':[0-9.]*'" | tr -d "'") || return 0
  for name in $names; do
    session_env gdbus call --session --dest org.freedesktop.DBus --object-path /org/freedesktop/DBus \
      --method org.freedesktop.DBus.GetConnectionUnixProcessID "$name" 2>/dev/null |
      sed -n 's/^(uint32 \([0-9]*\),)$/\1/p' || true
  done | sort -u
}

case $command in
  start)
    mkdir -p "$run" "$dir/home"
    chmod 700 "$run"
    # Services the bus starts (the portals) inherit its environment: they find
    # the compositor through it.
    # shellcheck disable=SC2046
    env $(session_vars) WAYLAND_DISPLAY="$wayland_name" \
      dbus-daemon --session --address="$(bus_address)" --nofork --nopidfile --print-address=3 \
      3>"$dir/bus.address" >>"$dir/dbus.log" 2>&1 &
    echo $! >"$dir/dbus.pid"
    wait_for dbus test -S "$run/bus"
    spawn pipewire pipewire
    wait_for pipewire test -S "$run/pipewire-0"
    spawn wireplumber wireplumber
    spawn mutter mutter --headless --wayland --no-x11 --wayland-display="$wayland_name" \
      --virtual-monitor 1920x1080
    wait_for mutter test -S "$run/$wayland_name"
    wait_for mutter has_name org.gnome.Mutter.ScreenCast
    wait_for mutter has_name org.gnome.Mutter.RemoteDesktop
    wait_for mutter has_name org.gnome.Mutter.DisplayConfig
    echo "export XDG_RUNTIME_DIR=$run"
    echo "export HOME=$dir/home"
    echo "export XDG_CONFIG_HOME=$dir/home/.config"
    echo "export XDG_STATE_HOME=$dir/home/.local/state"
    echo "export XDG_DATA_HOME=$dir/home/.local/share"
    echo "export DBUS_SESSION_BUS_ADDRESS=$(bus_address)"
    echo "export WAYLAND_DISPLAY=$wayland_name"
    echo "export XDG_SESSION_TYPE=wayland"
    echo "export XDG_CURRENT_DESKTOP=GNOME"
    echo "unset DISPLAY"
    ;;
  stop)
    ours=" "
    for file in "$dir"/*.pid; do
      [[ -f $file ]] && ours+="$(cat "$file") "
    done
    helpers=()
    for pid in $(bus_helpers); do
      [[ $ours == *" $pid "* || $pid == "$$" ]] && continue
      # Only processes of this session: the bus started them with its address.
      tr '\0' '\n' <"/proc/$pid/environ" 2>/dev/null | grep -q "^DBUS_STARTER_ADDRESS=$(bus_address)\(,.*\)\?$" &&
        helpers+=("$pid")
    done
    stop_pid_file "$dir/mutter.pid"
    stop_pid_file "$dir/wireplumber.pid"
    stop_pid_file "$dir/pipewire.pid"
    for pid in "${helpers[@]}"; do stop_pid "$pid"; done
    stop_pid_file "$dir/dbus.pid"
    # The document portal leaves a FUSE mount behind.
    if mountpoint -q "$run/doc" 2>/dev/null; then
      fusermount -u "$run/doc" 2>/dev/null || umount -l "$run/doc" 2>/dev/null || true
    fi
    ;;
  *)
    usage
    ;;
esac
