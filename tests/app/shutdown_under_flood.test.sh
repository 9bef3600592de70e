#!/usr/bin/env bash
# Stopped with SIGINT in the middle of a flood of connections that fail, and
# with a sender connected that reads nothing of what it is sent, floods
# KEEP_ALIVEs and then closes its sending side, the receiver ends cleanly, ten
# times over: exit status 0, and in the build with AddressSanitizer no report
# of it.
set -euo pipefail
source "$(dirname "$0")/receiver_support.sh"

for round in $(seq 10); do
  name=round$round
  start_receiver "$name"
  mkfifo "$work/$name.stall.in"
  "$probe" stall "${port[$name]}" 20000 <"$work/$name.stall.in" >"$work/$name.stall.out" 2>&1 &
  staller=$!
  exec {stall_input}>"$work/$name.stall.in"
  wait_for "the sender to stall" grep -q stalled "$work/$name.stall.out"
  # Its question goes once the receiver has ended the connection or read to its end.
  wait_for "the stalled sender's question to go" grep -q 'the question is withdrawn' "$work/$name.out"
  "$probe" flood "${port[$name]}" &
  flooder=$!
  sleep "0.$((RANDOM % 7 + 3))"
  kill -0 "${pid[$name]}" || fail "the receiver ended during the flood"
  status=0
  stop_receiver "$name" INT || status=$?
  wait "$flooder" || fail "the flood did not end with the receiver"
  eval "exec ${stall_input}>&-"
  wait "$staller" || fail "round $round: the stalling sender failed: $(cat "$work/$name.stall.out")"
  [ "$status" -eq 0 ] || fail "round $round: exit status $status"
  if grep -q -E 'Sanitizer|runtime error' "$work/$name.out"; then fail "round $round: sanitizer report"; fi
done
