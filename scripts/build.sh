#!/usr/bin/env bash
# Configures and builds one build tree: scripts/build.sh DIR [cmake options...]
set -euo pipefail
root=$(cd "$(dirname "$0")/.." && pwd)
dir=$1; shift
cmake -S "$root" -B "$dir" -G Ninja -Wno-dev "$@" >/dev/null
jobs=${ORVEL_JOBS:-$(nproc)}
# Progress lines are dropped; with pipefail the status is ninja's.
ninja -C "$dir" -j "$jobs" ${ORVEL_TARGETS:-} | { grep -v -E '^\[[0-9]+/[0-9]+\] ' || true; }
