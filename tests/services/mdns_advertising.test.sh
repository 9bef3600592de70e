#!/bin/bash
# The receiver's mDNS advertisement as another device on the network sees it,
# also when the avahi-daemon restarts under it, starts after it or does not
# answer for a while, and when the system bus does the same; and the receiver
# stops within seconds while the daemon does not answer.
#
#   ns A (10.231.0.1, veth-a) <==== veth pair ====> ns B (10.231.0.2, veth-b)
#   private /run, dbus-daemon, avahi-daemon,         python3-zeroconf browser
#   advertise_probe (DiscoveryService), orvel
#
# Both namespaces and the veth pair are made here (the pair is created inside
# them, never in the namespace the test runs in), so multicast never reaches
# this machine's real interfaces. The test runs in a network namespace of its
# own, whose multicast counters are checked at the end: they count only what
# the test sent, whatever else on the machine (an avahi-daemon, say) sends on
# the real network meanwhile. Runs as root: bash mdns_advertising.test.sh TESTS_BUILD_DIR
set -euo pipefail

PROBE=$(cd "${1:?usage: mdns_advertising.test.sh TESTS_BUILD_DIR}" && pwd)/advertise_probe
RECEIVER=${ORVEL_BUILD_DIR:-$(dirname "$PROBE")/..}/orvel
PY=/usr/bin/python3  # Debian's interpreter, where python3-zeroconf lives
NS_A=orvel-mdns-a-$$
NS_B=orvel-mdns-b-$$
IP_A=10.231.0.1
IP_B=10.231.0.2
PORT=8686
SERVICE_TYPE=_FC9F5ED42C8A._tcp.local.
# Non-ASCII on purpose: a ZWJ family and a flag are one character each.
DEVICE_NAME='Orvel-Küche 👨‍👩‍👧‍👦🇫🇷 test'
TIMEOUT=15

fail() { echo "FAIL: $*" >&2; exit 1; }
[ "$(id -u)" = 0 ] || fail "needs root (network namespaces)"
[ -n "${ORVEL_MDNS_OWN_NAMESPACE:-}" ] || exec unshare --net env ORVEL_MDNS_OWN_NAMESPACE=1 bash "$0" "$@"
[ -x "$PROBE" ] || fail "no advertise_probe at $PROBE"
[ -x "$RECEIVER" ] || fail "no receiver at $RECEIVER"
for command in ip nsenter dbus-daemon avahi-daemon; do
  command -v "$command" >/dev/null || fail "missing $command"
done
$PY -c 'import zeroconf' 2>/dev/null || fail "python3-zeroconf not importable by $PY"

STATE=$(mktemp -d /tmp/orvel-mdns.XXXXXX)
NAMESPACES=()
HOST_PIDS=()
PROBE_PIDS=()
DAEMON_PIDS=()

cleanup() {
  local status=$?
  set +e
  [ -n "${AVAHI_PID:-}" ] && kill -CONT "$AVAHI_PID" 2>/dev/null
  for pid in "${PROBE_PIDS[@]}" "${DAEMON_PIDS[@]}"; do kill "$pid" 2>/dev/null; wait "$pid" 2>/dev/null; done
  for file in "$STATE"/*/avahi.pid "$STATE"/*/dbus.pid; do
    [ -s "$file" ] && kill "$(cat "$file")" 2>/dev/null
  done
  for pid in "${HOST_PIDS[@]}"; do
    for _ in $(seq 1 40); do kill -0 "$pid" 2>/dev/null || break; sleep 0.05; done
    kill "$pid" 2>/dev/null; wait "$pid" 2>/dev/null
  done
  for ns in "${NAMESPACES[@]}"; do
    for pid in $(ip netns pids "$ns" 2>/dev/null); do kill -9 "$pid" 2>/dev/null; done
    ip netns del "$ns"
  done
  for log in "$STATE"/*.log; do [ -s "$log" ] && { echo "--- ${log##*/}"; cat "$log"; }; done
  if [ "$status" != 0 ]; then
    for log in "$STATE"/*/*.log; do [ -s "$log" ] && { echo "--- $log"; cat "$log"; }; done
  fi
  rm -rf "$STATE"
  exit "$status"
}
trap cleanup EXIT
trap 'exit 130' INT TERM

multicastOut() {
  awk '/^IpExt:/{if(!h){split($0,k);h=1}else{for(i in k)if(k[i]=="OutMcastPkts")print $i}}' /proc/net/netstat
}
MULTICAST_BEFORE=$(multicastOut)

# Waits until the file holds a line matching the pattern (while the process lives).
waitFor() {  # file pattern what [pid]
  local tries=0
  until grep -qE "$2" "$1" 2>/dev/null; do
    tries=$((tries + 1))
    [ $tries -le $((TIMEOUT * 20)) ] || fail "timed out waiting for $3"
    [ -z "${4:-}" ] || kill -0 "$4" 2>/dev/null || fail "process $4 ended while waiting for $3"
    sleep 0.05
  done
}

# Waits until the file holds the exact line `count` times.
waitForCount() {  # file line count what pid
  local tries=0
  until [ "$(grep -cxF "$2" "$1" 2>/dev/null)" -ge "$3" ]; do
    tries=$((tries + 1))
    [ $tries -le $((TIMEOUT * 20)) ] || fail "timed out waiting for $4"
    kill -0 "$5" 2>/dev/null || fail "process $5 ended while waiting for $4"
    sleep 0.05
  done
}

# ---- two namespaces joined by a veth pair
ip netns add "$NS_A" || fail "cannot create network namespace $NS_A"
NAMESPACES+=("$NS_A")
ip netns add "$NS_B" || fail "cannot create network namespace $NS_B"
NAMESPACES+=("$NS_B")
ip -n "$NS_A" link add veth-a type veth peer name veth-b netns "$NS_B" || fail "cannot create the veth pair"
ip -n "$NS_A" addr add $IP_A/24 dev veth-a
ip -n "$NS_B" addr add $IP_B/24 dev veth-b
for pair in "$NS_A:veth-a" "$NS_B:veth-b"; do
  ns=${pair%%:*}; device=${pair##*:}
  ip -n "$ns" link set lo up
  ip -n "$ns" link set "$device" multicast on up
  ip -n "$ns" route add 224.0.0.0/4 dev "$device"
done
! ip link show veth-a >/dev/null 2>&1 || fail "veth-a is in the test's own namespace"

# ---- ns A: its own /run with a system bus and avahi-daemon on veth-a only
mkdir -p "$STATE/a"
cat > "$STATE/a/avahi-daemon.conf" <<CONF
[server]
host-name=orvel-mdns-a
domain-name=local
use-ipv4=yes
use-ipv6=no
allow-interfaces=veth-a
enable-dbus=yes
ratelimit-interval-usec=1000000
ratelimit-burst=1000
[wide-area]
enable-wide-area=no
[publish]
publish-hinfo=no
publish-workstation=no
[reflector]
enable-reflector=no
CONF
# `ip netns exec` gives the shell a mount namespace of its own: the tmpfs over
# /run (bus socket, avahi's pid and socket) is private to it and its children.
ip netns exec "$NS_A" sh -c '
  dir=$1
  mount -n -t tmpfs -o mode=755 orvel-mdns-run /run
  mkdir -p /run/dbus /run/avahi-daemon
  dbus-daemon --system --nofork --nopidfile --nosyslog --print-pid=3 3>"$dir/dbus.pid" >"$dir/dbus.log" 2>&1 &
  i=0; while [ ! -S /run/dbus/system_bus_socket ] && [ $i -lt 200 ]; do sleep 0.05; i=$((i + 1)); done
  avahi-daemon -f "$dir/avahi-daemon.conf" --no-drop-root --no-chroot --no-rlimits --no-proc-title >"$dir/avahi.log" 2>&1 &
  echo $! > "$dir/avahi.pid"
  wait' sh "$STATE/a" >"$STATE/a/host.log" 2>&1 &
HOST_PIDS+=($!)
waitFor "$STATE/a/avahi.log" 'Server startup complete' "avahi-daemon in $NS_A"
AVAHI_PID=$(cat "$STATE/a/avahi.pid")
DBUS_PID=$(cat "$STATE/a/dbus.pid")
# Keeps ns A's mount namespace, with its /run, while the bus is stopped.
nsenter -t "$DBUS_PID" -m -n sleep infinity &
HOLDER=$!
DAEMON_PIDS+=($HOLDER)

# Ends a daemon and waits until it is gone.
stopDaemon() {  # pid name
  local tries=0
  kill -TERM "$1"
  while kill -0 "$1" 2>/dev/null; do
    tries=$((tries + 1))
    [ $tries -le $((TIMEOUT * 20)) ] || fail "$2 $1 did not stop"
    sleep 0.05
  done
}

# Stops ns A's avahi-daemon; its bus stays.
stopAvahi() { stopDaemon "$AVAHI_PID" avahi-daemon; }

# Starts ns A's avahi-daemon again beside its bus (log file name as argument).
startAvahi() {
  nsenter -t "$HOLDER" -m -n avahi-daemon -f "$STATE/a/avahi-daemon.conf" --no-drop-root --no-chroot \
    --no-rlimits --no-proc-title >"$STATE/a/$1" 2>&1 &
  AVAHI_PID=$!
  DAEMON_PIDS+=($AVAHI_PID)
  echo "$AVAHI_PID" >"$STATE/a/avahi.pid"
}

# Stops ns A's system bus, and its socket goes with it.
stopBus() {
  stopDaemon "$DBUS_PID" dbus-daemon
  nsenter -t "$HOLDER" -m rm -f /run/dbus/system_bus_socket
}

# Starts ns A's system bus again, and waits for its socket.
startBus() {
  nsenter -t "$HOLDER" -m -n dbus-daemon --system --nofork --nopidfile --nosyslog >"$STATE/a/dbus-$1" 2>&1 &
  DBUS_PID=$!
  DAEMON_PIDS+=($DBUS_PID)
  echo "$DBUS_PID" >"$STATE/a/dbus.pid"
  local tries=0
  until nsenter -t "$HOLDER" -m test -S /run/dbus/system_bus_socket; do
    tries=$((tries + 1))
    [ $tries -le $((TIMEOUT * 20)) ] || fail "dbus-daemon $DBUS_PID made no socket"
    sleep 0.05
  done
}

mkdir -p "$STATE/config/orvel" "$STATE/downloads"
export DEVICE_NAME DOWNLOADS=$STATE/downloads
$PY -c 'import json, os, sys
settings = {"Orvel.deviceName": os.environ["DEVICE_NAME"], "Orvel.downloadPath": os.environ["DOWNLOADS"]}
json.dump(settings, open(sys.argv[1], "w"), ensure_ascii=False)' "$STATE/config/orvel/defaults.json"

startProbe() {  # log file, then how to enter the namespace
  local log=$1; shift
  "$@" env XDG_CONFIG_HOME="$STATE/config" "$PROBE" $PORT >"$log" 2>&1 &
  PROBE_PID=$!
  PROBE_PIDS+=($PROBE_PID)
}

stopProbe() {  # pid: SIGTERM, and it must exit 0
  kill -TERM "$1"
  wait "$1" || fail "advertise_probe exited with status $?"
}

# ---- the receiver advertises in ns A ...
startProbe "$STATE/probe.log" nsenter -t "$AVAHI_PID" -m -n
waitFor "$STATE/probe.log" 'mDNS service published successfully|Failed' "the publication" "$PROBE_PID"
grep -qxF '[DiscoveryService] mDNS service published successfully' "$STATE/probe.log" || fail "not published"
grep -qxF "[DiscoveryService] Started advertising as '$DEVICE_NAME' on port $PORT" "$STATE/probe.log" \
  || fail "no start line for '$DEVICE_NAME'"
INSTANCE=$(sed -n 's/^\[DiscoveryService\] Service name: //p' "$STATE/probe.log")

# ---- ... and a browser in ns B finds it and reads it back
cat > "$STATE/browse.py" <<'PYTHON'
import base64, os, sys, threading, time
from zeroconf import IPVersion, ServiceBrowser, ServiceStateChange, Zeroconf

service_type, interface, instance, port, timeout = sys.argv[1], sys.argv[2], sys.argv[3], int(sys.argv[4]), float(sys.argv[5])
device_name = os.environb[b"DEVICE_NAME"].decode("utf-8")

def unbase64(text):
    return base64.urlsafe_b64decode(text + "=" * (-len(text) % 4))

def check(condition, what):
    if not condition:
        print("browser: " + what, file=sys.stderr)
        sys.exit(1)

zc = Zeroconf(interfaces=[interface], ip_version=IPVersion.V4Only)
names, seen = [], threading.Event()
def on_change(zeroconf, service_type, name, state_change):
    if state_change is not ServiceStateChange.Removed:
        names.append(name)
        seen.set()
browser = ServiceBrowser(zc, service_type, handlers=[on_change])
start, info = time.monotonic(), None
while info is None and time.monotonic() - start < timeout:
    seen.wait(0.2)
    seen.clear()
    if instance + "." + service_type in names:
        info = zc.get_service_info(service_type, instance + "." + service_type, timeout=3000)
browser.cancel()
zc.close()
check(info is not None, "did not find %r among %r" % (instance, names))

name = unbase64(instance)
check(len(instance) == 14 and len(name) == 10, "instance name %r is not 10 bytes" % instance)
check(name[0] == 0x23 and name[5:] == bytes.fromhex("fc9f5e0000"), "instance bytes %s" % name.hex())
check(name[1:5].decode("ascii").isalnum(), "endpoint id %r" % name[1:5])
check(info.port == port, "port %d" % info.port)
check(info.text[0] == len(info.text) - 1, "TXT record is not exactly one string: %r" % info.text)
check(list(info.properties) == [b"n"], "TXT keys %r" % list(info.properties))
endpoint = unbase64(info.properties[b"n"].decode("ascii"))
check(endpoint[0] == 0x06, "endpoint information starts with %02x" % endpoint[0])
check(len(endpoint) == 18 + endpoint[17], "endpoint information of %d bytes, name length %d" % (len(endpoint), endpoint[17]))
check(endpoint[18:].decode("utf-8") == device_name, "device name %r" % endpoint[18:])
print("endpoint " + endpoint.hex())
print("browser: %s port %d endpoint id %s device name %r" % (instance, info.port, name[1:5].decode(), device_name))
PYTHON
browse() {  # output file
  ip netns exec "$NS_B" env PYTHONDONTWRITEBYTECODE=1 $PY "$STATE/browse.py" \
    "$SERVICE_TYPE" "$IP_B" "$INSTANCE" $PORT $TIMEOUT >"$1" || fail "the browser in $NS_B did not read the advertisement"
  cat "$1"
}
browse "$STATE/browse-first.out"

# ---- hidden, its name taken meanwhile, shown again: the collision is reported
# and the next start publishes the same name with new random bytes
RUNNING=$PROBE_PID
kill -USR1 "$RUNNING"
waitForCount "$STATE/probe.log" '[DiscoveryService] mDNS service stopped' 1 "the stop report" "$RUNNING"
nsenter -t "$AVAHI_PID" -m -n avahi-publish -s "$INSTANCE" _FC9F5ED42C8A._tcp 9999 >"$STATE/squatter.log" 2>&1 &
SQUATTER=$!
PROBE_PIDS+=($SQUATTER)
waitFor "$STATE/squatter.log" 'Established under name' "the service holding the name" "$SQUATTER"
kill -USR2 "$RUNNING"
waitFor "$STATE/probe.log" 'Failed to publish mDNS service' "the collision report" "$RUNNING"
grep -qxF '[DiscoveryService] Failed to publish mDNS service: ["AvahiErrorCode": -8]' "$STATE/probe.log" \
  || fail "the collision was not reported as one"
kill "$SQUATTER"
wait "$SQUATTER" || true
kill -USR2 "$RUNNING"
waitForCount "$STATE/probe.log" '[DiscoveryService] mDNS service published successfully' 2 "the new publication" "$RUNNING"
[ "$(sed -n 's/^\[DiscoveryService\] Service name: //p' "$STATE/probe.log" | sort -u)" = "$INSTANCE" ] \
  || fail "the instance name changed"
browse "$STATE/browse-second.out"
first=$(sed -n 's/^endpoint //p' "$STATE/browse-first.out")
second=$(sed -n 's/^endpoint //p' "$STATE/browse-second.out")
[ "${first:2:32}" != "${second:2:32}" ] || fail "the random bytes did not change"
[ "${first:34}" = "${second:34}" ] || fail "the name changed"

stopProbe "$RUNNING"
[ "$(grep -cxF '[DiscoveryService] Stopped advertising' "$STATE/probe.log")" = 2 ] || fail "no stop line"
[ "$(grep -cxF '[DiscoveryService] mDNS service stopped' "$STATE/probe.log")" = 2 ] || fail "no stop report"

# ---- (a) the daemon restarts under a published service: the user hears it
# once each way, and the browser finds the same name and TXT record again
startProbe "$STATE/probe-restart.log" nsenter -t "$AVAHI_PID" -m -n
waitFor "$STATE/probe-restart.log" 'mDNS service published successfully' "the second publication" "$PROBE_PID"
INSTANCE=$(sed -n 's/^\[DiscoveryService\] Service name: //p' "$STATE/probe-restart.log")
browse "$STATE/browse-before-restart.out"
HIDDEN='Phones cannot see this computer: the mDNS daemon stopped; waiting for it to come back.'
AGAIN="Phones can see this computer again as '$DEVICE_NAME'."
stopAvahi
waitForCount "$STATE/probe-restart.log" "$HIDDEN" 1 "the report of the lost daemon" "$PROBE_PID"
started=$(date +%s%N)
startAvahi avahi-restarted.log
waitForCount "$STATE/probe-restart.log" "$AGAIN" 1 "the report of the daemon's return" "$PROBE_PID"
echo "mdns_advertising: published again $(( ($(date +%s%N) - started) / 1000000 )) ms after the daemon was started again"
browse "$STATE/browse-restart.out"
[ "$(sed -n 's/^endpoint //p' "$STATE/browse-before-restart.out")" = "$(sed -n 's/^endpoint //p' "$STATE/browse-restart.out")" ] \
  || fail "the TXT record changed over the daemon's restart"
# Stopping while the daemon is away still ends the probe cleanly.
stopAvahi
waitForCount "$STATE/probe-restart.log" "$HIDDEN" 2 "the second report of the lost daemon" "$PROBE_PID"
stopProbe "$PROBE_PID"
grep -qxF '[DiscoveryService] mDNS service stopped' "$STATE/probe-restart.log" || fail "no stop report without a daemon"
[ "$(grep -c 'Failed\|Advertising failed' "$STATE/probe-restart.log")" = 0 ] || fail "a restart was taken as a failure"

# ---- (b) the daemon, stopped at the end of (a), starts after the receiver: found once it runs
startProbe "$STATE/probe-late.log" nsenter -t "$HOLDER" -m -n
waitForCount "$STATE/probe-late.log" \
  'Phones cannot see this computer yet: waiting for the mDNS daemon (avahi-daemon) to start.' 1 \
  "the report of the missing daemon" "$PROBE_PID"
INSTANCE=$(sed -n 's/^\[DiscoveryService\] Service name: //p' "$STATE/probe-late.log")
startAvahi avahi-late.log
waitForCount "$STATE/probe-late.log" "Phones can see this computer now as '$DEVICE_NAME'." 1 \
  "the report of the daemon's start" "$PROBE_PID"
browse "$STATE/browse-late.out"
stopProbe "$PROBE_PID"
[ "$(grep -c '^Phones can\|^Advertising failed' "$STATE/probe-late.log")" = 2 ] || fail "expected one line each way"

NO_ANSWER='Phones cannot see this computer yet: the mDNS daemon (avahi-daemon) does not answer; waiting for it.'
# ---- (c) the daemon does not answer at the receiver's start (its first call
# waits on it): the user hears so within seconds, and it is found once the
# daemon answers
kill -STOP "$AVAHI_PID"
startProbe "$STATE/probe-paused.log" nsenter -t "$HOLDER" -m -n
waitForCount "$STATE/probe-paused.log" "$NO_ANSWER" 1 "the report of the daemon that does not answer" "$PROBE_PID"
kill -CONT "$AVAHI_PID"
waitForCount "$STATE/probe-paused.log" "Phones can see this computer now as '$DEVICE_NAME'." 1 \
  "the report of the daemon's answer" "$PROBE_PID"
INSTANCE=$(sed -n 's/^\[DiscoveryService\] Service name: //p' "$STATE/probe-paused.log")
browse "$STATE/browse-paused.out"
stopProbe "$PROBE_PID"

# ---- (d) the receiver itself, stopped while the daemon does not answer:
# SIGTERM ends it within 5 s with status 0
kill -STOP "$AVAHI_PID"
nsenter -t "$HOLDER" -m -n env XDG_CONFIG_HOME="$STATE/config" HOME="$STATE" "$RECEIVER" </dev/null \
  >"$STATE/receiver-paused.log" 2>&1 &
RECEIVER_PID=$!
PROBE_PIDS+=($RECEIVER_PID)
waitForCount "$STATE/receiver-paused.log" "$NO_ANSWER" 1 "the receiver's report of the daemon" "$RECEIVER_PID"
kill -TERM "$RECEIVER_PID"
started=$(date +%s%N)
tries=0
until ! state=$(ps -o stat= -p "$RECEIVER_PID") || [[ $state == Z* ]]; do
  tries=$((tries + 1))
  [ $tries -le 100 ] || fail "the receiver still runs 5 s after SIGTERM while the daemon does not answer"
  sleep 0.05
done
status=0
wait "$RECEIVER_PID" || status=$?
echo "mdns_advertising: the receiver ended $(( ($(date +%s%N) - started) / 1000000 )) ms after SIGTERM" \
  "with the daemon paused"
[ "$status" = 0 ] || fail "the receiver exited with status $status"
kill -CONT "$AVAHI_PID"

# ---- (e) the daemon and the system bus both restart under a published
# service: told once each way, and found again with the same TXT record
startProbe "$STATE/probe-bus.log" nsenter -t "$HOLDER" -m -n
waitFor "$STATE/probe-bus.log" 'mDNS service published successfully' "the publication before the bus restart" \
  "$PROBE_PID"
INSTANCE=$(sed -n 's/^\[DiscoveryService\] Service name: //p' "$STATE/probe-bus.log")
browse "$STATE/browse-before-bus.out"
stopAvahi
waitForCount "$STATE/probe-bus.log" "$HIDDEN" 1 "the report of the lost daemon" "$PROBE_PID"
stopBus
startBus restarted.log
startAvahi avahi-bus.log
waitForCount "$STATE/probe-bus.log" "$AGAIN" 1 "the report of the return of the bus and the daemon" "$PROBE_PID"
browse "$STATE/browse-bus.out"
[ "$(sed -n 's/^endpoint //p' "$STATE/browse-before-bus.out")" = \
  "$(sed -n 's/^endpoint //p' "$STATE/browse-bus.out")" ] || fail "the TXT record changed over the bus's restart"
stopProbe "$PROBE_PID"
[ "$(grep -c '^Phones can\|^Advertising failed' "$STATE/probe-bus.log")" = 2 ] || fail "expected one line each way"

# ---- (f) the receiver starts before the bus: one line saying so, and found
# once the bus and the daemon run
stopAvahi
stopBus
startProbe "$STATE/probe-nobus.log" nsenter -t "$HOLDER" -m -n
waitForCount "$STATE/probe-nobus.log" \
  'Phones cannot see this computer yet: waiting for the mDNS daemon (avahi-daemon) to start.' 1 \
  "the report of the missing bus" "$PROBE_PID"
startBus late.log
startAvahi avahi-nobus.log
waitForCount "$STATE/probe-nobus.log" "Phones can see this computer now as '$DEVICE_NAME'." 1 \
  "the report of the bus's start" "$PROBE_PID"
INSTANCE=$(sed -n 's/^\[DiscoveryService\] Service name: //p' "$STATE/probe-nobus.log")
browse "$STATE/browse-nobus.out"
stopProbe "$PROBE_PID"
[ "$(grep -c '^Phones can\|^Advertising failed' "$STATE/probe-nobus.log")" = 2 ] || fail "expected one line each way"

MULTICAST_AFTER=$(multicastOut)
[ "$MULTICAST_BEFORE" = "$MULTICAST_AFTER" ] \
  || fail "the test's own namespace sent IPv4 multicast ($MULTICAST_BEFORE -> $MULTICAST_AFTER)"
echo "mdns_advertising: published, browsed and decoded; found again after a daemon restart, a late daemon start," \
  "a daemon that did not answer, a bus restart and a late bus start; stopped within seconds while the daemon did" \
  "not answer; no multicast outside its namespaces"
