#!/usr/bin/env bash
# The real receiver with its download folder on an exFAT drive mounted through
# exfat-fuse, as many systems mount a USB stick: names the drive refuses are
# saved whole under portable ones; four senders of one name finishing together
# lose nothing, round after round, there as on ext4 and tmpfs; a folder
# renamed mid-file, an empty one put in its place, keeps no temporary file.
set -euo pipefail
source "$(dirname "$0")/../support/drives.sh"
enter_mount_namespace "$0" "$@"
source "$(dirname "$0")/../app/receiver_support.sh"
trap 'cleanup; release_drives' EXIT

# send_files NAME FOLDER: one transfer of FOLDER's files, accepted, to receiver NAME.
send_files() {
  "$probe" send "${port[$1]}" "$2" >"$work/sender.out" 2>&1 &
  local sender=$!
  accept "$1"
  wait "$sender" || fail "the transfer of $2 failed: $(cat "$work/sender.out")"
}

# same_name_rounds FOLDER ROUNDS: in each round four senders of a file of one
# name, four phones at four addresses, hold their last chunk until all four
# are ready, then send it together; every one is acknowledged, and all four
# files are there.
same_name_rounds() {
  local folder=$1 round i
  receive_into "$folder"
  for ((round = 0; round < $2; round++)); do
    local batch=$work/$(basename "$(dirname "$folder")")-$round
    local senders=() inputs=() fd
    for i in 1 2 3 4; do
      mkdir -p "$batch-$i"
      head -c $((20000 + i)) /dev/urandom >"$batch-$i/same-r$round.jpg"
      mkfifo "$batch-$i.in"
      "$probe" send "${port[drive]}" "$batch-$i" --hold-last --from "127.0.1.$i" <"$batch-$i.in" \
        >"$batch-$i.out" 2>&1 &
      senders+=($!)
      exec {fd}>"$batch-$i.in"
      inputs+=("$fd")
    done
    for i in 1 2 3 4; do accept drive; done
    for i in 1 2 3 4; do wait_for "sender $i of round $round" grep -q ready "$batch-$i.out"; done
    for fd in "${inputs[@]}"; do echo >&"$fd"; done
    for i in 0 1 2 3; do
      wait "${senders[$i]}" || fail "sender $((i + 1)) of round $round was not acknowledged: $(cat "$batch-$((i + 1)).out")"
      eval "exec ${inputs[$i]}>&-"
    done
    [ "$(sums "$folder" | grep -c .)" -eq $((4 * (round + 1))) ] || fail "round $round in $folder lost files: $(ls "$folder")"
    for i in 1 2 3 4; do
      sums "$folder" | grep -qx "$(sums "$batch-$i")" || fail "round $round in $folder lost sender $i's file"
    done
  done
  [ -z "$(parts_in "$folder")" ] || fail "temporary files left in $folder"
}

mount_drive stick exfat
stick=$mounted
start_receiver drive

# Names exFAT refuses.
mkdir "$work/refused"
for name in 'meeting 10:30.pdf' 'what?.txt' 'a*b"c.txt' 'a:b.txt'; do
  head -c 300000 /dev/urandom >"$work/refused/$name"
done
receive_into "$stick/Downloads"
send_files drive "$work/refused"
declare -A portable=(['meeting 10:30.pdf']='meeting 10_30.pdf' ['what?.txt']='what_.txt' ['a*b"c.txt']='a_b_c.txt'
  ['a:b.txt']='a_b.txt')
for name in "${!portable[@]}"; do
  [ -f "$stick/Downloads/${portable[$name]}" ] || fail "$name is not saved as ${portable[$name]}: $(ls "$stick/Downloads")"
  cmp -s "$work/refused/$name" "$stick/Downloads/${portable[$name]}" || fail "${portable[$name]} differs from $name"
done
[ "$(ls -A "$stick/Downloads" | wc -l)" -eq 4 ] || fail "more than the four files: $(ls -A "$stick/Downloads")"

same_name_rounds "$stick/same" 6
same_name_rounds "$work/plain-same" 2  # ext4, or whatever holds the test's folder
mount_drive ram tmpfs
same_name_rounds "$mounted/same" 2

# A folder renamed mid-file, an empty one put in its place.
mkdir "$work/big"
head -c 1500000 /dev/urandom >"$work/big/big.bin"
receive_into "$stick/moving"
start_paused_sender drive "$work/big"
[ -n "$(parts_in "$stick/moving")" ] || fail "no temporary file while the file arrives"
mv "$stick/moving" "$stick/moved"
mkdir "$stick/moving"
echo >&"${sender_input[drive]}"
wait "${sender[drive]}" && fail "the transfer into a folder moved away succeeded"
wait_for "the failure line" grep -q "Could not save big.bin in $stick/moving: " "$work/drive.out"
[ -z "$(parts_in "$stick")" ] || fail "temporary files left: $(parts_in "$stick")"
[ -z "$(ls -A "$stick/moving")" ] && [ -z "$(ls -A "$stick/moved")" ] || fail "a file was saved from a moved folder"

stop_receiver drive INT || fail "the receiver ended with status $?"
