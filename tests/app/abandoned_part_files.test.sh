#!/usr/bin/env bash
# A receiver killed with SIGKILL mid-transfer leaves its hidden temporary file
# behind; a second receiver started meanwhile on the same download folder
# leaves it alone while it runs, and keeps its own; the first one, started
# again, deletes the abandoned file but not the running one's, whose transfer
# then completes. A receiver ended with SIGHUP mid-transfer, as when its
# terminal window is closed, exits as on SIGINT and leaves no temporary file.
set -euo pipefail
source "$(dirname "$0")/receiver_support.sh"

parts() { find "$downloads" -maxdepth 1 -name '.orvel-*.part' -printf '%f\n' | sort; }
part_count() { [ "$(parts | wc -l)" -eq "$1" ]; }

for name in first second restarted; do
  mkdir "$work/$name-files"
  head -c 1500000 /dev/urandom >"$work/$name-files/$name.bin"
done

start_receiver first
start_paused_sender first "$work/first-files"
wait_for "the first temporary file" part_count 1
abandoned=$(parts)
start_receiver second
start_paused_sender second "$work/second-files"
wait_for "the second temporary file" part_count 2
[ -e "$downloads/$abandoned" ] || fail "the second receiver deleted the first one's temporary file"
running=$(parts | grep -v -x "$abandoned")

kill -KILL "${pid[first]}"
wait "${script_pid[first]}" || true
unset "script_pid[first]"
[ -e "$downloads/$abandoned" ] || fail "the killed receiver left no temporary file"
start_receiver restarted
[ ! -e "$downloads/$abandoned" ] || fail "the abandoned temporary file is still there after the restart"
[ -e "$downloads/$running" ] || fail "the running receiver's temporary file was deleted"

echo >&"${sender_input[second]}"
wait "${sender[second]}" || fail "the second transfer failed: $(cat "$work/second-sender.out")"
cmp "$work/second-files/second.bin" "$downloads/second.bin" || fail "the second file differs"
part_count 0 || fail "temporary files left: $(parts)"
stop_receiver second INT || fail "the second receiver ended with status $?"

start_paused_sender restarted "$work/restarted-files"
wait_for "the restarted receiver's temporary file" part_count 1
stop_receiver restarted HUP || fail "the restarted receiver ended with status $? on SIGHUP"
part_count 0 || fail "temporary files left after SIGHUP: $(parts)"
echo >&"${sender_input[restarted]}"
wait "${sender[restarted]}" || true
