#!/usr/bin/env bash
# Runs the receiver as a user would, with no terminal to answer on: it says
# where it listens, accepts a connection, and ends cleanly on SIGINT and SIGTERM.
set -euo pipefail
program=${ORVEL_BUILD_DIR:?}/orvel
work=$(mktemp -d)
trap 'kill "$pid" 2>/dev/null || true; rm -rf "$work"' EXIT
# No system bus: the advertisement cannot reach an avahi-daemon on real interfaces.
export DBUS_SYSTEM_BUS_ADDRESS="unix:path=$work/no-bus"

for signal in INT TERM; do
  "$program" </dev/null >"$work/out" 2>&1 &
  pid=$!
  port=
  for _ in $(seq 100); do
    port=$(sed -n 's/^Receiving on port \([0-9]*\)\..*/\1/p' "$work/out")
    [ -n "$port" ] && break
    sleep 0.1
  done
  [ -n "$port" ] || { echo "no port announced:"; cat "$work/out"; exit 1; }

  # A sender that connects and goes away again must not disturb the receiver.
  exec 3<>"/dev/tcp/127.0.0.1/$port"
  exec 3>&-
  kill -0 "$pid"

  kill -"$signal" "$pid"
  status=0
  wait "$pid" || status=$?
  [ "$status" -eq 0 ] || { echo "exit status $status after SIG$signal"; cat "$work/out"; exit 1; }
done
