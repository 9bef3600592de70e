#!/usr/bin/env bash
# A phone briefly out of reach, against the real program: the receiver and the
# phone each in a network namespace of their own, joined by a bridge in a
# third (10.77.0.1 and 10.77.0.2, none of it on this machine's interfaces).
# An outage drops everything on the bridge, both ways, while every link stays
# up, as a phone out of Wi-Fi range would be.
#   1. a phone silent at its question; 55 s after the question a 90 s outage,
#      then y: saved whole?
#   2. the same with a 130 s outage: how long after the phone left is its
#      question withdrawn?
#   3. a phone silent after its first chunk; a 90 s outage, then the rest:
#      saved whole?
# Also prints what the system's probes cost on the idle connection of case 1,
# counted on the receiver's interface before the outage. Runs as root:
#   bash bench/vanished_phone.sh BUILD_DIR   (a Release tree: its orvel and tests/send_probe)
# Not run in CI: it takes about eight minutes.
set -euo pipefail
here=$(cd "$(dirname "$0")" && pwd)
if [ -z "${ORVEL_PHONE_NAMESPACE:-}" ]; then
  [ "$(id -u)" = 0 ] || { echo "FAIL: needs root (network namespaces)"; exit 1; }
  ORVEL_BUILD_DIR=$(cd "${1:?usage: vanished_phone.sh BUILD_DIR}" && pwd)
  export ORVEL_BUILD_DIR
  receiver=orvel-rx-$$ phone=orvel-phone-$$ bridge=orvel-bridge-$$
  removeNamespaces() {
    local space held
    for space in "$receiver" "$phone" "$bridge"; do
      for held in $(ip netns pids "$space" 2>/dev/null); do kill -KILL "$held" 2>/dev/null || true; done
      ip netns del "$space" 2>/dev/null || true
    done
  }
  trap removeNamespaces EXIT
  for space in "$receiver" "$phone" "$bridge"; do
    ip netns add "$space"
    ip -n "$space" link set lo up
  done
  ip -n "$bridge" link add br0 type bridge
  ip -n "$bridge" link set br0 up
  for end in rx:"$receiver":10.77.0.1 ph:"$phone":10.77.0.2; do
    IFS=: read -r name space address <<<"$end"
    ip -n "$bridge" link add "br-$name" type veth peer name eth0 netns "$space"
    ip -n "$bridge" link set "br-$name" master br0 up
    ip -n "$space" addr add "$address/24" dev eth0
    ip -n "$space" link set eth0 up
  done
  ORVEL_PHONE_NAMESPACE=$phone ORVEL_BRIDGE_NAMESPACE=$bridge ip netns exec "$receiver" bash "$0" "$@"
  exit
fi
source "$here/../tests/app/receiver_support.sh"

in_phone() { ip netns exec "$ORVEL_PHONE_NAMESPACE" "$@"; }
outage() {  # outage on|off: the bridge's ports stop forwarding, their links stay up
  local port
  for port in br-rx br-ph; do
    bridge -n "$ORVEL_BRIDGE_NAMESPACE" link set dev "$port" state "$([ "$1" = on ] && echo 0 || echo 3)"
  done
}
questions() { grep -c 'Accept? \[y/n\]' "$work/main.out" || true; }
asked_at_least() { [ "$(questions)" -ge "$1" ]; }
withdrawn() { grep -c 'ended before an answer' "$work/main.out" || true; }
# TCP segments received and sent, and keep-alive probes sent, by the receiver's namespace.
tcp_counters() {
  local in out probes
  read -r in out < <(awk '$1 == "Tcp:" && $2 ~ /^[0-9]/ {print $11, $12}' /proc/net/snmp)
  probes=$(awk '$1 == "TcpExt:" {if (!k) {for (i = 2; i <= NF; i++) if ($i == "TCPKeepAlive") k = i} else print $k}' \
    /proc/net/netstat)
  echo "$in $out $probes"
}
now() { echo "${EPOCHREALTIME}"; }

# send_probe talks to loopback: in the phone's namespace a relay takes its
# connection to the receiver, and the relay's socket is the phone's side.
cat >"$work/relay.py" <<'EOF'
import socket, sys, threading
listener = socket.create_server(("127.0.0.1", int(sys.argv[1])))
while True:
    near, _ = listener.accept()
    far = socket.create_connection(("10.77.0.1", int(sys.argv[1])))
    def pump(source, sink):
        try:
            while data := source.recv(65536):
                sink.sendall(data)
        except OSError:
            pass
        for end in (source, sink):
            try:
                end.shutdown(socket.SHUT_RDWR)
            except OSError:
                pass
    threading.Thread(target=pump, args=(near, far), daemon=True).start()
    threading.Thread(target=pump, args=(far, near), daemon=True).start()
EOF

start_receiver main
in_phone python3 "$work/relay.py" "${port[main]}" &
relay=$!
sleep 1

# offer NAME [--pause]: a phone offering one 8 MiB file; waits for its question.
offer() {
  local name=$1
  shift
  mkdir -p "$work/$name"
  head -c $((8 * 1024 * 1024)) /dev/urandom >"$work/$name/$name.bin"
  mkfifo "$work/$name.in"
  local asked=$(($(questions) + 1))
  in_phone "$probe" send "${port[main]}" "$work/$name" "$@" <"$work/$name.in" >"$work/$name.phone" 2>&1 &
  phone_pid=$!
  exec {phone_input}>"$work/$name.in"
  wait_for "the question of $name" asked_at_least "$asked"
  asked_at=$SECONDS
}
answer_y() {
  sleep 1.1
  echo y >&"${input[main]}"
}
# finish NAME: gives the phone a minute to end (one whose connection the
# receiver dropped waits for ever), then says whether its file was saved.
finish() {
  for _ in $(seq 600); do
    kill -0 "$phone_pid" 2>/dev/null || break
    sleep 0.1
  done
  kill "$phone_pid" 2>/dev/null || true
  wait "$phone_pid" 2>/dev/null || true
  cmp -s "$work/$1/$1.bin" "$downloads/$1.bin" && echo "saved whole" || echo "NOT saved"
}

echo "1. silent at its question, 90 s outage 55 s after it, then y"
offer silent90
sleep 5
before=($(tcp_counters))
sleep 50
after=($(tcp_counters))
echo "   on the idle connection over 50 s: $((after[2] - before[2])) keep-alive probes;" \
  "TCP segments received $((after[0] - before[0])), sent $((after[1] - before[1]))" \
  "(empty segments: 52 bytes each over IPv4, 66 on Ethernet)"
outage on
sleep 90
outage off
withdrawn_during=$(withdrawn)
answer_y
echo "   question withdrawn during the outage: $withdrawn_during; after y: $(finish silent90)"

echo "2. silent at its question, 130 s outage 55 s after it"
offer silent130
sleep 55
outage on
left=$SECONDS
left_at=$(now)
gone=""
while [ $((SECONDS - left)) -lt 130 ]; do
  if [ "$(withdrawn)" -gt "$withdrawn_during" ]; then
    gone=$(printf "%.1f" "$(echo "$(now) - $left_at" | bc)")
    break
  fi
  sleep 0.2
done
echo "   withdrawn ${gone:-not within the 130 s} s after the phone left"
while [ $((SECONDS - left)) -lt 130 ]; do sleep 0.5; done
outage off
kill "$phone_pid" 2>/dev/null || true
wait "$phone_pid" 2>/dev/null || true

echo "3. silent after its first chunk, 90 s outage, then the rest"
offer paused90 --pause
answer_y
wait_for "the first chunk" grep -q paused "$work/paused90.phone"
outage on
sleep 90
outage off
echo >&"$phone_input"
echo "   $(finish paused90)"

kill "$relay" 2>/dev/null || true
stop_receiver main INT || true
