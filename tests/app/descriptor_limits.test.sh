#!/usr/bin/env bash
# The receiver under the usual limit of 1,024 open files: one transfer of
# 10,000 small files arrives whole (the hard limit at 1,024 too, so nothing
# but the writers' own thrift carries it), and with 1,100 idle connections
# held by other devices (other loopback addresses) under a soft limit of 1,024
# (the hard one higher) a new sender still gets its transfer through.
set -euo pipefail
source "$(dirname "$0")/receiver_support.sh"

# send_folder NAME FOLDER: one transfer of the folder's files to receiver NAME.
send_folder() {
  "$probe" send "${port[$1]}" "$2" >"$work/$1-sender.out" 2>&1 &
  local sender=$!
  accept "$1"
  wait "$sender" || fail "the transfer to $1 failed: $(cat "$work/$1-sender.out")"
  diff -r "$2" "$downloads" >/dev/null || fail "the files received by $1 differ from those sent"
}

many=$work/many
mkdir "$many"
for i in $(seq -w 1 10000); do printf 'file %s%*s\n' "$i" $((10#$i % 97)) '' >"$many/f$i.txt"; done
start_receiver many -n 1024
send_folder many "$many"
stop_receiver many INT || fail "the receiver of many files ended with status $?"
rm -rf "${downloads:?}"/*

[ "$(ulimit -H -n)" = unlimited ] || [ "$(ulimit -H -n)" -ge 2048 ] || {
  echo "the hard limit on open files is below 2,048; the idle senders are skipped"
  exit 0
}
few=$work/few
mkdir "$few"
head -c 700000 /dev/urandom >"$few/photo.jpg"
start_receiver busy -S -n 1024
mkfifo "$work/holder.in"
"$probe" hold "${port[busy]}" 1100 <"$work/holder.in" >"$work/holder.out" 2>&1 &
holder=$!
exec {holding}>"$work/holder.in"
wait_for "1,100 idle senders" grep -q holding "$work/holder.out"
send_folder busy "$few"
exec {holding}>&-
wait "$holder" || fail "the idle senders failed: $(cat "$work/holder.out")"
stop_receiver busy INT || fail "the busy receiver ended with status $?"
