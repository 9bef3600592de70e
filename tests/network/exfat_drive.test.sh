#!/usr/bin/env bash
# The real receiver with its download folder on an exFAT drive mounted through
# exfat-fuse, as many systems mount a USB stick: names the drive refuses are
# saved whole under portable ones; four senders of one name finishing together
# lose nothing, round after round, there as on ext4 and tmpfs; a folder
# renamed mid-file, an empty one put in its place, keeps no temporary file; a
# receiver stopped while the drive hangs at the move over its reservation
# leaves nothing once started again, also when the drive was unmounted and
# mounted again in between.
set -euo pipefail
source "$(dirname "$0")/../support/drives.sh"
enter_mount_namespace "$0" "$@"
source "$(dirname "$0")/../app/receiver_support.sh"
trap 'cleanup; release_drives' EXIT
# Stopped from outside (a test timeout), it still resumes the drive and unmounts it.
trap 'exit 1' TERM INT HUP

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

# The move over the reservation: the preloaded shim holds the receiver there
# while the drive is paused, then lets it go on to hang on the drive.
waits_on_drive() { grep -q fuse /proc/"$1"/task/*/stack 2>/dev/null; }
# ended PID: gone, or a zombie not yet waited for.
ended() { [[ $(ps -o stat= -p "$1") == Z* ]] || ! kill -0 "$1" 2>/dev/null; }
holds_files() { find /proc/[0-9]*/fd -lname "$1/*" 2>/dev/null | grep -q .; }
mkdir "$work/held"
head -c 300000 /dev/urandom >"$work/held/held.jpg"
for remount in no yes; do
  folder=$stick/held-$remount
  receive_into "$folder"
  mkfifo "$work/at-rename-$remount"
  LD_PRELOAD=$ORVEL_BUILD_DIR/tests/libfile_system_shim.so ORVEL_TEST_PAUSE_AT_RENAME=$work/at-rename-$remount \
    start_receiver "held-$remount"
  "$probe" send "${port[held-$remount]}" "$work/held" >"$work/held-sender.out" 2>&1 &
  held_sender=$!
  accept "held-$remount"
  wait_for "the move over the reservation" test -e "$work/at-rename-$remount.reached"
  [ -f "$folder/held.jpg" ] && [ ! -s "$folder/held.jpg" ] || fail "no empty reservation: $(ls -lA "$folder")"
  pause_drive
  echo >"$work/at-rename-$remount"
  wait_for "the move to wait for the drive" waits_on_drive "${pid[held-$remount]}"
  kill -TERM "${pid[held-$remount]}"
  wait_for "the receiver to end while the drive hangs" ended "${script_pid[held-$remount]}"
  status=0
  wait "${script_pid[held-$remount]}" || status=$?
  unset "script_pid[held-$remount]"
  eval "exec ${input[held-$remount]}>&-"
  [ "$status" -eq 0 ] || fail "the receiver stopped at the move ended with status $status"
  kill -CONT "$fuse_pid"
  wait "$held_sender" || true
  wait_for "the stopped receiver's files to close" eval '! holds_files "$folder"'
  [ "$remount" = no ] || remount_drive "$stick"
  [ -f "$folder/held.jpg" ] && [ ! -s "$folder/held.jpg" ] && [ -n "$(find "$folder" -name '.orvel-*.reserved')" ] ||
    fail "not the reservation and its note, stopped before the move: $(ls -lA "$folder")"
  start_receiver "restarted-$remount"
  left=$(ls -A "$folder")
  [ -z "$left" ] || fail "left in $folder after the restart: $left"
  stop_receiver "restarted-$remount" INT || fail "the restarted receiver ended with status $?"
done
