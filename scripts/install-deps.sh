#!/usr/bin/env bash
# Installs the Debian packages that Orvel needs: scripts/install-deps.sh run|test
#   run:  what building and running the receiver needs;
#   test: that, plus what the tests, benchmarks and fuzz targets need.
# Quick and quiet when everything is already there.
set -euo pipefail
profile=${1:-test}

packages=(
  build-essential cmake ninja-build pkg-config
  libasio-dev libavahi-client-dev libssl-dev protobuf-compiler libprotobuf-dev
  nlohmann-json3-dev libutf8proc-dev
)
if [ "$profile" = test ]; then
  packages+=(
    clang libclang-rt-14-dev libgtest-dev libgmock-dev googletest libbenchmark-dev
    python3 python3-cryptography-vectors python3-zeroconf
    iproute2 util-linux dbus avahi-daemon avahi-utils
    exfatprogs exfat-fuse
  )
fi

missing=()
for p in "${packages[@]}"; do
  dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q 'install ok installed' || missing+=("$p")
done
[ ${#missing[@]} -eq 0 ] && exit 0

if [ "$(id -u)" -ne 0 ]; then
  echo "install-deps: missing packages: ${missing[*]}; run this script as root" >&2
  exit 1
fi
echo "install-deps: installing ${missing[*]}"
export DEBIAN_FRONTEND=noninteractive
apt-get update -qq
if [ "$profile" = test ]; then
  # The tests start their own avahi-daemon inside network namespaces; the
  # packages must not start daemons on this machine's real interfaces.
  policy=/usr/sbin/policy-rc.d
  if [ ! -e "$policy" ]; then
    printf '#!/bin/sh\nexit 101\n' > "$policy"; chmod +x "$policy"
    trap 'rm -f "$policy"' EXIT
  fi
fi
apt-get install -y -qq --no-install-recommends "${missing[@]}" >/dev/null
