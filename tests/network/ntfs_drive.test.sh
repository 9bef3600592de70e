#!/usr/bin/env bash
# The real receiver with its download folder on an NTFS drive mounted through
# ntfs-3g with windows_names, as a drive shared with Windows often is: one
# transfer of ordinary names, Windows' device names and names ending in a dot
# or a space saves every file whole, under a name the drive takes.
set -euo pipefail
source "$(dirname "$0")/../support/drives.sh"
enter_mount_namespace "$0" "$@"
source "$(dirname "$0")/../app/receiver_support.sh"
trap 'cleanup; release_drives' EXIT

declare -A saved_as=(
  ['before.txt']='before.txt' ['CON.txt']='CON_.txt' ['aux']='aux_' ['nul.pdf']='nul_.pdf' ['COM1.jpg']='COM1_.jpg'
  ['lpt1.txt']='lpt1_.txt' ['PRN']='PRN_' ['Aux.Notes.txt']='Aux_.Notes.txt' ['con.tar.gz']='con_.tar.gz'
  ['notes ']='notes' ['notes.']='notes (1)' ['after-reserved.txt']='after-reserved.txt'
)
mkdir "$work/files"
for name in "${!saved_as[@]}"; do head -c 100000 /dev/urandom >"$work/files/$name"; done

mount_drive shared ntfs
receive_into "$mounted/Downloads"
start_receiver drive
"$probe" send "${port[drive]}" "$work/files" >"$work/sender.out" 2>&1 &
sender=$!
accept drive
wait "$sender" || fail "the transfer failed: $(cat "$work/sender.out")"
for name in "${!saved_as[@]}"; do
  cmp -s "$work/files/$name" "$mounted/Downloads/${saved_as[$name]}" ||
    fail "'$name' is not saved whole as '${saved_as[$name]}': $(ls -A "$mounted/Downloads")"
done
[ "$(ls -A "$mounted/Downloads" | wc -l)" -eq "${#saved_as[@]}" ] || fail "other files: $(ls -A "$mounted/Downloads")"
stop_receiver drive INT || fail "the receiver ended with status $?"
