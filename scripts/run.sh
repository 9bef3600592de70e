#!/usr/bin/env bash
# Installs what is needed, builds the receiver and runs it.
set -euo pipefail
root=$(cd "$(dirname "$0")/.." && pwd)
bash "$root/scripts/install-deps.sh" run
ORVEL_TESTS=OFF bash "$root/scripts/build.sh" "$root/build/release" \
  -DCMAKE_BUILD_TYPE=Release -DORVEL_TESTS=OFF -DORVEL_BENCH=OFF
exec "$root/build/release/orvel"
