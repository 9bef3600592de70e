#!/usr/bin/env bash
# Runs the file writer's failure cases against a full tmpfs and a read-only
# mount, inside a private mount namespace so nothing leaks to the host.
set -euo pipefail
tests_dir=$1
if [ "$(id -u)" -ne 0 ]; then
  echo "needs root for mounts; skipped"
  exit 0
fi
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT
mkdir "$work/full" "$work/readonly"
unshare --mount --propagation private bash -euo pipefail -c '
  work=$1 tests_dir=$2
  mount -t tmpfs -o size=64k tmpfs "$work/full"
  mount --bind "$work/readonly" "$work/readonly"
  mount -o remount,bind,ro "$work/readonly"
  ORVEL_TEST_FULL_FOLDER="$work/full" ORVEL_TEST_READ_ONLY_FOLDER="$work/readonly" \
    "$tests_dir/orvel_tests" --gtest_filter="FileWriterTest.FullFolder*:FileWriterTest.ReadOnlyFolder*" 2>&1 | tee "$work/output"
  grep -q "PASSED  \] 2 tests" "$work/output"
' _ "$work" "$tests_dir"
