#!/usr/bin/env bash
# Phones offering at once, answered as a person answers: only when the
# screen's last line is a prompt. Lines about other transfers (a phone
# declined at once, files saved) come while questions wait, and each is
# followed by the prompt again, so every phone is asked and saved but the
# third from one address, which is declined at once.
set -euo pipefail
source "$(dirname "$0")/receiver_support.sh"

start_receiver room
out=$work/room.out

# The screen's last line, as far as it goes.
last_line() { tail -c 400 "$out" | tr -d '\r' | sed -n '$p'; }

addresses=(127.0.0.2 127.0.0.2 127.0.0.2 127.0.0.3 127.0.0.4 127.0.0.5)
phones=()
for n in "${!addresses[@]}"; do
  mkdir "$work/files$n"
  head -c $((65536 + n)) /dev/urandom >"$work/files$n/photo$n.jpg"
  "$probe" send "${port[room]}" "$work/files$n" --from "${addresses[$n]}" --name "Phone $n" \
    >"$work/phone$n.out" 2>&1 &
  phones+=($!)
done

answered_at=-1
deadline=$((SECONDS + 30))
while :; do
  running=0
  for phone in "${phones[@]}"; do kill -0 "$phone" 2>/dev/null && running=1; done
  [ "$running" = 1 ] || break
  [ "$SECONDS" -lt "$deadline" ] || fail "phones still wait; the screen's last line: '$(last_line)'"
  if [[ "$(last_line)" == *"[y/n] " ]] && [ "$(stat -c %s "$out")" != "$answered_at" ]; then
    sleep 1.1  # reading it
    if [[ "$(last_line)" == *"[y/n] " ]]; then
      answered_at=$(stat -c %s "$out")
      echo y >&"${input[room]}"
    fi
    continue
  fi
  sleep 0.05
done

saved=0
for n in "${!addresses[@]}"; do
  wait "${phones[$n]}" || true
  cmp -s "$work/files$n/photo$n.jpg" "$downloads/photo$n.jpg" && saved=$((saved + 1))
done
[ "$saved" = 5 ] || fail "$saved of 5 phones saved"
[ "$(grep -c 'from its address are already waiting for an answer' "$out")" = 1 ] || fail "not one phone declined"
grep -q '^Accepted the transfer from Phone [0-9]; receiving\.\.\.' "$out" || fail "the answer's line names no sender"
stop_receiver room INT || fail "the receiver ended with status $?"
