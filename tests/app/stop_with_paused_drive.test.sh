#!/usr/bin/env bash
# A receiver whose download folder is an exFAT drive through FUSE that stops
# answering mid-file ends on SIGTERM within 5 s with exit status 0, while the
# drive is still paused. Once the drive answers again, the receiver started
# anew deletes the unfinished file the first one left, and nothing is left.
# Started while the drive does not answer, a receiver says that it waits for
# its download folder, ends on SIGTERM within 5 s with status 0, and listens
# once the drive answers.
set -euo pipefail
source "$(dirname "$0")/../support/drives.sh"
enter_mount_namespace "$0" "$@"
source "$(dirname "$0")/receiver_support.sh"
stop_all() {
  if [ -n "${sender[first]:-}" ]; then kill "${sender[first]}" 2>/dev/null || true; fi
  cleanup
  release_drives
}
trap stop_all EXIT
# Stopped from outside (a test timeout), it still resumes the drive and unmounts it.
trap 'exit 1' TERM INT HUP

mount_drive stick exfat 128M
downloads=$mounted/Downloads
receive_into "$downloads"

# ended PID: the process is gone or a zombie; for a receiver, the script(1)
# around it, which ends once the receiver's last thread has.
ended() {
  local state
  state=$(ps -o stat= -p "$1") || return 0
  [[ $state == Z* ]]
}
# waits_on_drive PID: one of its threads waits for the FUSE daemon.
waits_on_drive() { grep -q fuse /proc/"$1"/task/*/stack 2>/dev/null; }
# Whoever still holds a file in the download folder, such as what the ended
# receiver left to close once the drive answers.
held() { find /proc/[0-9]*/fd -lname "$downloads/*" 2>/dev/null | grep -q .; }
part_grown() { [ "$(find "$downloads" -maxdepth 1 -name '.orvel-*.part' -size +0 | wc -l)" -eq 1 ]; }

mkdir "$work/files"
head -c 40000000 /dev/urandom >"$work/files/large.bin"
start_receiver first
start_paused_sender first "$work/files"
wait_for "the temporary file to grow" part_grown

# The drive stops answering between two writes; the rest of the file comes.
kill -STOP "$fuse_pid"
echo >&"${sender_input[first]}"
wait_for "a write to the paused drive" waits_on_drive "${pid[first]}"

kill -TERM "${pid[first]}"
deadline=$(($(date +%s%N) + 5000000000))
until ended "${script_pid[first]}" || [ "$(date +%s%N)" -ge "$deadline" ]; do sleep 0.05; done
ended "${script_pid[first]}" || fail "the receiver still runs 5 s after SIGTERM"
[[ $(ps -o stat= -p "$fuse_pid") == T* ]] || fail "the drive answered before the receiver ended"
status=0
wait "${script_pid[first]}" || status=$?
unset "script_pid[first]"
[ "$status" -eq 0 ] || fail "the receiver ended with status $status"

kill -CONT "$fuse_pid"
eval "exec ${sender_input[first]}>&-"
wait "${sender[first]}" || true
wait_for "the ended receiver's files to close" eval '! held'
start_receiver restarted
left=$(ls -A "$downloads")
[ -z "$left" ] || fail "left in the download folder after the restart: $left"
stop_receiver restarted INT || fail "the restarted receiver ended with status $?"

has_child() { pgrep -P "$1" >/dev/null; }
# start_on_paused_drive NAME: a receiver whose start-up sweep waits on the
# paused drive, once it says so.
start_on_paused_drive() {
  local fd
  mkfifo "$work/$1.in"
  script -qfec "exec '$program'" /dev/null <"$work/$1.in" >"$work/$1.out" 2>&1 &
  script_pid[$1]=$!
  exec {fd}>"$work/$1.in"
  input[$1]=$fd
  wait_for "$1 to start" has_child "${script_pid[$1]}"
  pid[$1]=$(pgrep -P "${script_pid[$1]}")
  wait_for "$1 to wait for its download folder" \
    grep -q '^Waiting for the download folder to answer; receiving once it does\.' "$work/$1.out"
}

kill -STOP "$fuse_pid"
start_on_paused_drive early
kill -TERM "${pid[early]}"
signalled=$(date +%s%N)
deadline=$((signalled + 5000000000))
until ended "${script_pid[early]}" || [ "$(date +%s%N)" -ge "$deadline" ]; do sleep 0.05; done
ended "${script_pid[early]}" || fail "the receiver started on the paused drive still runs 5 s after SIGTERM"
echo "stop_with_paused_drive: started on the paused drive, ended" \
  "$(( ($(date +%s%N) - signalled) / 1000000 )) ms after SIGTERM"
status=0
wait "${script_pid[early]}" || status=$?
unset "script_pid[early]"
[ "$status" -eq 0 ] || fail "the receiver started on the paused drive ended with status $status"

start_on_paused_drive late
! grep -q 'eceiving on port' "$work/late.out" || fail "listening before the sweep of the paused drive ended"
kill -CONT "$fuse_pid"
resumed=$(date +%s%N)
wait_for "the receiver to listen once its drive answers" grep -q '^Receiving on port' "$work/late.out"
echo "stop_with_paused_drive: listening $(( ($(date +%s%N) - resumed) / 1000000 )) ms after the drive answered again"
stop_receiver late INT || fail "the receiver started on the paused drive ended with status $? once it answered"
