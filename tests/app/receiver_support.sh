#!/usr/bin/env bash
# Sourced by the script tests that run the real receiver. Each receiver runs
# under a terminal of its own (script(1)), so that it asks its user as on a
# real terminal and is answered there; all it prints goes to $work/NAME.out.
program=${ORVEL_BUILD_DIR:?}/orvel
probe=$ORVEL_BUILD_DIR/tests/send_probe
work=$(mktemp -d)
declare -A script_pid pid port input answered

cleanup() {
  local name
  for name in "${!script_pid[@]}"; do kill -KILL "${pid[$name]:-}" 2>/dev/null || true; done
  for name in "${!script_pid[@]}"; do wait "${script_pid[$name]}" 2>/dev/null || true; done
  rm -rf "$work"
}
trap cleanup EXIT

export HOME=$work/home XDG_CONFIG_HOME=$work/home/.config
# No system bus: the advertisement cannot reach an avahi-daemon on real interfaces.
export DBUS_SYSTEM_BUS_ADDRESS="unix:path=$work/no-bus"
downloads=$HOME/Downloads
mkdir -p "$downloads" "$XDG_CONFIG_HOME/orvel"
printf '{"Orvel.downloadPath": "%s"}\n' "$downloads" >"$XDG_CONFIG_HOME/orvel/defaults.json"

fail() {
  echo "FAIL: $*"
  local output
  for output in "$work"/*.out; do
    [ -f "$output" ] && { echo "--- $(basename "$output")"; tail -n 20 "$output"; }
  done
  exit 1
}

# wait_for WHAT COMMAND...: retries COMMAND for up to a minute.
wait_for() {
  local what=$1
  shift
  for _ in $(seq 600); do
    "$@" && return 0
    sleep 0.1
  done
  fail "timed out waiting for $what"
}

# start_receiver NAME [ulimit options...]: a receiver with those limits, once it listens.
start_receiver() {
  local name=$1 fd
  shift
  mkfifo "$work/$name.in"
  (
    [ $# -eq 0 ] || ulimit "$@"
    exec script -qfec "exec '$program'" /dev/null <"$work/$name.in" >"$work/$name.out" 2>&1
  ) &
  script_pid[$name]=$!
  exec {fd}>"$work/$name.in"
  input[$name]=$fd
  answered[$name]=0
  local receiving='^\(Port 8686 is in use; r\|R\)eceiving on port \([0-9]*\)\.'
  wait_for "$name to listen" grep -q "$receiving" "$work/$name.out"
  port[$name]=$(sed -n "s/$receiving.*/\2/p" "$work/$name.out")
  pid[$name]=$(pgrep -P "${script_pid[$name]}")
}

asked() { [ "$(grep -c 'Accept? \[y/n\]' "$work/$1.out")" -ge "$2" ]; }

# accept NAME: answers yes to the receiver's next question, once it takes
# answers (a second after the question appeared).
accept() {
  answered[$1]=$((answered[$1] + 1))
  wait_for "a question from $1" asked "$1" "${answered[$1]}"
  sleep 1.1
  echo y >&"${input[$1]}"
}

# start_paused_sender NAME FOLDER: a transfer to receiver NAME that stops after
# its first chunk until a line comes on ${sender_input[NAME]}.
declare -A sender sender_input
start_paused_sender() {
  local fd
  mkfifo "$work/$1-sender.in"
  "$probe" send "${port[$1]}" "$2" --pause <"$work/$1-sender.in" >"$work/$1-sender.out" 2>&1 &
  sender[$1]=$!
  exec {fd}>"$work/$1-sender.in"
  sender_input[$1]=$fd
  accept "$1"
  wait_for "the first chunk to $1" grep -q paused "$work/$1-sender.out"
}

# stop_receiver NAME SIGNAL: returns the receiver's exit status.
stop_receiver() {
  local status=0
  kill -"$2" "${pid[$1]}"
  wait "${script_pid[$1]}" || status=$?
  eval "exec ${input[$1]}>&-"
  unset "script_pid[$1]"
  return $status
}
