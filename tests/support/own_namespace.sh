#!/usr/bin/env bash
# Sourced by scripts that must run in a network namespace of their own, with
# only its loopback up and addresses of 2001:db8::/64 on it (never on this
# machine's own interfaces). The first call makes the namespace, runs the
# script again inside it and deletes the namespace when that run ends; inside
# it, the call returns at once.
#   runInOwnNamespace "1 2 3" "$0" "$@"   gives 2001:db8::1, ::2 and ::3
runInOwnNamespace() {
  [ -n "${ORVEL_OWN_NAMESPACE:-}" ] && return 0
  local hosts=$1 script=$2 host
  shift 2
  [ "$(id -u)" = 0 ] || { echo "FAIL: needs root (network namespaces)"; exit 1; }
  namespace=orvel-room-$$
  ip netns add "$namespace"
  removeOwnNamespace() {
    local held
    for held in $(ip netns pids "$namespace" 2>/dev/null); do kill -KILL "$held" 2>/dev/null || true; done
    ip netns del "$namespace"
  }
  trap removeOwnNamespace EXIT
  ip -n "$namespace" link set lo up
  for host in $hosts; do ip -n "$namespace" addr add "2001:db8::$host/128" dev lo; done
  ORVEL_OWN_NAMESPACE=$namespace ip netns exec "$namespace" bash "$script" "$@"
  exit
}
