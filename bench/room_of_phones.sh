#!/usr/bin/env bash
# Honest phones against the real program, answered on its terminal, in a
# network namespace made here (loopback only, deleted at the end):
#   1. five phones at 2001:db8::1 to ::5, one IPv6 /64, offering at once;
#   2. a device holding 16 idle connections from 2001:db8::33, reopening each
#      one the receiver closes, for 40 s, while a phone at 2001:db8::5 sends
#      one transfer after another;
#   3. 32 phones at 127.0.0.2 to 127.0.0.33 offering at once.
# Every question is answered y. Prints how many were asked, saved whole and
# declined. Runs as root:
#   bash bench/room_of_phones.sh BUILD_DIR   (a Release tree: its orvel and tests/send_probe)
# Not run in CI: it takes about two minutes.
set -euo pipefail
if [ -z "${ORVEL_OWN_NAMESPACE:-}" ]; then
  ORVEL_BUILD_DIR=$(cd "${1:?usage: room_of_phones.sh BUILD_DIR}" && pwd)
  export ORVEL_BUILD_DIR
fi
source "$(dirname "$0")/../tests/support/own_namespace.sh"
runInOwnNamespace "1 2 3 4 5 33" "$0" "$@"
source "$(dirname "$0")/../tests/app/receiver_support.sh"

questions() { grep -c 'Accept? \[y/n\]' "$work/$1.out" || true; }
declined() { grep -c 'Declined the transfer from .*: ' "$work/$1.out" || true; }  # at once, not answered n

# answer_until NAME PIDS...: answers y to each question of receiver NAME
# while any of the phones PIDS still runs.
answer_until() {
  local name=$1 running
  shift
  for _ in $(seq 3000); do
    if [ "$(questions "$name")" -gt "${answered[$name]}" ]; then
      answered[$name]=$((answered[$name] + 1))
      sleep 1.1
      echo y >&"${input[$name]}"
      continue
    fi
    running=0
    for phone in "$@"; do kill -0 "$phone" 2>/dev/null && running=1; done
    [ "$running" = 1 ] || return 0
    sleep 0.05
  done
}

# phones NAME ADDRESS...: one phone at each address offering a file of its own
# at once; prints asked, saved whole and declined.
phones() {
  local name=$1 n=0 saved=0 address
  shift
  local pids=()
  for address in "$@"; do
    n=$((n + 1))
    mkdir -p "$work/$name-files$n"
    head -c $((1024 * 1024 + n)) /dev/urandom >"$work/$name-files$n/$name-$n.bin"
    "$probe" send "${port[$name]}" "$work/$name-files$n" --from "$address" >"$work/$name-phone$n.out" 2>&1 &
    pids+=($!)
  done
  answer_until "$name" "${pids[@]}"
  for n in $(seq "$#"); do
    wait "${pids[$((n - 1))]}" || true
    cmp -s "$work/$name-files$n/$name-$n.bin" "$downloads/$name-$n.bin" && saved=$((saved + 1))
  done
  echo "$name: $# phones, $(questions "$name") asked, $saved saved whole, $(declined "$name") declined at once"
}

start_receiver slash64
phones slash64 2001:db8::1 2001:db8::2 2001:db8::3 2001:db8::4 2001:db8::5
stop_receiver slash64 INT || true

start_receiver idle
mkfifo "$work/holder.in"
"$probe" hold "${port[idle]}" 16 --from 2001:db8::33 --reopen <"$work/holder.in" >"$work/holder.out" 2>&1 &
holder=$!
exec {holding}>"$work/holder.in"
wait_for "the idle connections" grep -q holding "$work/holder.out"
attempts=0 completed=0 refused=0
mkdir -p "$work/idle-files"
head -c 1048576 /dev/urandom >"$work/idle-files/idle.bin"
end=$((SECONDS + 40))
while [ "$SECONDS" -lt "$end" ]; do
  attempts=$((attempts + 1))
  asked_before=$(questions idle)
  rm -f "$downloads/idle.bin"
  "$probe" send "${port[idle]}" "$work/idle-files" --from 2001:db8::5 >"$work/idle-phone.out" 2>&1 &
  phone=$!
  answer_until idle "$phone"
  wait "$phone" && cmp -s "$work/idle-files/idle.bin" "$downloads/idle.bin" && completed=$((completed + 1))
  if [ "$(questions idle)" = "$asked_before" ]; then  # never asked: refused at once
    refused=$((refused + 1))
    sleep 1
  fi
done
exec {holding}>&-
wait "$holder" || true
echo "idle: 16 idle connections from 2001:db8::33 for 40 s ($(tail -n 1 "$work/holder.out"));" \
  "the phone at 2001:db8::5 completed $completed of $attempts attempts, $refused never asked"
stop_receiver idle INT || true

start_receiver room
addresses=()
for n in $(seq 2 33); do addresses+=("127.0.0.$n"); done
phones room "${addresses[@]}"
stop_receiver room INT || true
