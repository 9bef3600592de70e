#!/usr/bin/env bash
# Runs the receiver as a user would, with no terminal to answer on: it says
# where it listens and that phones cannot see it without an mDNS daemon,
# accepts a connection, and ends cleanly on SIGINT and SIGTERM.
set -euo pipefail
program=${ORVEL_BUILD_DIR:?}/orvel
work=$(mktemp -d)
trap 'kill "$pid" 2>/dev/null || true; rm -rf "$work"' EXIT
# No system bus: the advertisement cannot reach an avahi-daemon on real interfaces.
export DBUS_SYSTEM_BUS_ADDRESS="unix:path=$work/no-bus"

# Waits up to a minute for a line of the program's output that matches.
said() {
  for _ in $(seq 600); do
    grep -q "$1" "$work/out" && return 0
    sleep 0.1
  done
  return 1
}

for signal in INT TERM; do
  "$program" </dev/null >"$work/out" 2>&1 &
  pid=$!
  receiving='^\(Port 8686 is in use; r\|R\)eceiving on port \([0-9]*\)\.'
  said "$receiving" || { echo "no port announced:"; cat "$work/out"; exit 1; }
  port=$(sed -n "s/$receiving.*/\2/p" "$work/out")
  said '^Phones cannot see this computer yet: waiting for the mDNS daemon (avahi-daemon) to start\.$' \
    || { echo "the missing mDNS daemon was not told:"; cat "$work/out"; exit 1; }

  # A sender that connects and goes away again must not disturb the receiver.
  exec 3<>"/dev/tcp/127.0.0.1/$port"
  exec 3>&-
  kill -0 "$pid"

  kill -"$signal" "$pid"
  status=0
  wait "$pid" || status=$?
  [ "$status" -eq 0 ] || { echo "exit status $status after SIG$signal"; cat "$work/out"; exit 1; }
done
