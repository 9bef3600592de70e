#!/usr/bin/env bash
# Runs the file writer's failure cases against a full tmpfs and a read-only
# mount, inside a private mount namespace so nothing leaks to the host; then
# every file writer test with a preloaded shim that makes folders act as FAT
# and exFAT drives and as NFS (a lost write reported at close, locks that need a
# descriptor open for writing), and as a full folder on a FUSE drive.
set -euo pipefail
tests_dir=$1
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT

mkdir "$work/fat" "$work/exfat" "$work/close-fails" "$work/full-fuse"
ORVEL_TEST_FAT_FOLDER="$work/fat" ORVEL_TEST_EXFAT_FOLDER="$work/exfat" \
  ORVEL_TEST_CLOSE_FAILS_FOLDER="$work/close-fails" ORVEL_TEST_LOCKS_NEED_WRITE=1 \
  ORVEL_TEST_FULL_FUSE_FOLDER="$work/full-fuse" LD_PRELOAD="$tests_dir/libfile_system_shim.so" \
  "$tests_dir/orvel_tests" --gtest_filter='FileWriter*' 2>&1 | tee "$work/shimmed"
for test in NamesTheDriveRefusesAreSavedUnderPortableOnes AWriteErrorReportedAtCloseLeavesNothingUnderTheFinalName \
  AFileThatCannotBeDeletedWhileOpenGoesOnceClosed \
  AnEmptyFileANoteNamesGoesAtTheNextStartOnlyWhenItIsTheReservation; do
  grep -q "OK \] FileWriterTest.$test " "$work/shimmed" || { echo "FileWriterTest.$test did not pass"; exit 1; }
done

if [ "$(id -u)" -ne 0 ]; then
  echo "needs root for mounts; the full and read-only folders are skipped"
  exit 0
fi
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
