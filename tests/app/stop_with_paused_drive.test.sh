#!/usr/bin/env bash
# A receiver whose download folder is an exFAT drive through FUSE that stops
# answering mid-file ends on SIGTERM within 5 s with exit status 0, while the
# drive is still paused. Once the drive answers again, the receiver started
# anew deletes the unfinished file the first one left, and nothing is left.
set -euo pipefail
# The drive is mounted in a mount namespace of this test's own.
if [ -z "${ORVEL_PRIVATE_MOUNTS:-}" ]; then
  exec env ORVEL_PRIVATE_MOUNTS=1 unshare -m --propagation private bash "$0" "$@"
fi
source "$(dirname "$0")/receiver_support.sh"

if ! command -v mkfs.exfat >/dev/null || ! command -v mount.exfat-fuse >/dev/null; then
  DEBIAN_FRONTEND=noninteractive apt-get install -y -qq --no-install-recommends exfatprogs exfat-fuse >/dev/null ||
    fail "cannot install exfatprogs and exfat-fuse"
fi
[ -c /dev/fuse ] || fail "this machine cannot mount through FUSE: no /dev/fuse"

drive=$(mktemp -d)
loop=
fuse_pid=
# mount_exfat_fuse IMAGE FOLDER: a fresh exFAT image of 128 MiB on a loop
# device, mounted on FOLDER through FUSE; sets loop and fuse_pid.
mount_exfat_fuse() {
  truncate -s 128M "$1"
  mkfs.exfat "$1" >/dev/null || fail "mkfs.exfat failed"
  loop=$(losetup --find --show "$1") || fail "this machine cannot mount: no free loop device"
  mkdir -p "$2"
  mount.exfat-fuse "$loop" "$2" || fail "mount.exfat-fuse failed"
  fuse_pid=$(pgrep -x -f "mount.exfat-fuse $loop $2") || fail "no FUSE daemon for $2"
}
sender=
unmount_drive() {
  if [ -n "$fuse_pid" ]; then kill -CONT "$fuse_pid" 2>/dev/null || true; fi
  if [ -n "$sender" ]; then kill "$sender" 2>/dev/null || true; fi
  cleanup
  if mountpoint -q "$drive/mnt"; then umount "$drive/mnt" || umount -l "$drive/mnt"; fi
  if [ -n "$loop" ]; then losetup -d "$loop" || true; fi
  rm -rf "$drive"
}
trap unmount_drive EXIT
# Stopped from outside (a test timeout), it still resumes the drive and unmounts it.
trap 'exit 1' TERM INT HUP

mount_exfat_fuse "$drive/exfat.img" "$drive/mnt"
downloads=$drive/mnt/Downloads
mkdir "$downloads"
printf '{"Orvel.downloadPath": "%s"}\n' "$downloads" >"$XDG_CONFIG_HOME/orvel/defaults.json"

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
mkfifo "$work/sender.in"
"$probe" send "${port[first]}" "$work/files" --pause <"$work/sender.in" >"$work/sender.out" 2>&1 &
sender=$!
exec {sender_input}>"$work/sender.in"
accept first
wait_for "the first chunk" grep -q paused "$work/sender.out"
wait_for "the temporary file to grow" part_grown

# The drive stops answering between two writes; the rest of the file comes.
kill -STOP "$fuse_pid"
echo >&"$sender_input"
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
eval "exec ${sender_input}>&-"
wait "$sender" || true
wait_for "the ended receiver's files to close" eval '! held'
start_receiver restarted
left=$(ls -A "$downloads")
[ -z "$left" ] || fail "left in the download folder after the restart: $left"
stop_receiver restarted INT || fail "the restarted receiver ended with status $?"
