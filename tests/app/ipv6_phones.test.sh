#!/usr/bin/env bash
# Phones whose IPv6 addresses lie in one /64, as every phone of a home network
# does, are senders of their own: idle connections that one device holds
# from one address of it keep the others out no more than it would any other
# phone, and three phones offering at once are all asked and saved. The
# addresses are given only to the loopback of a network namespace made here,
# in which receiver and phones run; it is deleted at the end. Runs as root.
set -euo pipefail
source "$(dirname "$0")/../support/own_namespace.sh"
runInOwnNamespace "1 2 3 9" "$0" "$@"
source "$(dirname "$0")/receiver_support.sh"

start_receiver phones
# A device at ::9 holds as many idle connections as one address may.
mkfifo "$work/holder.in"
"$probe" hold "${port[phones]}" 16 --from 2001:db8::9 <"$work/holder.in" >"$work/holder.out" 2>&1 &
holder=$!
exec {holding}>"$work/holder.in"
wait_for "the idle connections" grep -q holding "$work/holder.out"

declare -A phone
for n in 1 2 3; do
  mkdir "$work/files$n"
  head -c $((200000 + n)) /dev/urandom >"$work/files$n/photo$n.jpg"
  "$probe" send "${port[phones]}" "$work/files$n" --from "2001:db8::$n" >"$work/phone$n.out" 2>&1 &
  phone[$n]=$!
done
for n in 1 2 3; do accept phones; done
for n in 1 2 3; do
  wait "${phone[$n]}" || fail "the phone at 2001:db8::$n failed: $(cat "$work/phone$n.out")"
  cmp -s "$work/files$n/photo$n.jpg" "$downloads/photo$n.jpg" || fail "photo$n.jpg was not saved whole"
done
grep -q "already waiting for an answer" "$work/phones.out" && fail "a phone was declined"
exec {holding}>&-
wait "$holder" || fail "the idle connections failed: $(cat "$work/holder.out")"
stop_receiver phones INT || fail "the receiver ended with status $?"
