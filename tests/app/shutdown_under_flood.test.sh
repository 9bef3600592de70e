#!/usr/bin/env bash
# Stopped with SIGINT in the middle of a flood of connections that fail, the
# receiver ends cleanly, ten times over: exit status 0, and in the build with
# AddressSanitizer no report of it.
set -euo pipefail
source "$(dirname "$0")/receiver_support.sh"

for round in $(seq 10); do
  name=round$round
  start_receiver "$name"
  "$probe" flood "${port[$name]}" &
  flooder=$!
  sleep "0.$((RANDOM % 7 + 3))"
  kill -0 "${pid[$name]}" || fail "the receiver ended during the flood"
  status=0
  stop_receiver "$name" INT || status=$?
  wait "$flooder" || fail "the flood did not end with the receiver"
  [ "$status" -eq 0 ] || fail "round $round: exit status $status"
  if grep -q -E 'Sanitizer|runtime error' "$work/$name.out"; then fail "round $round: sanitizer report"; fi
done
