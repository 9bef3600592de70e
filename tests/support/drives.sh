#!/usr/bin/env bash
# Sourced, before receiver_support.sh, by the script tests that receive onto
# drives of their own: it runs the test again inside a mount namespace of its
# own (so no mount is ever seen by the machine), installs the tools it names,
# and makes, mounts and releases small drive images on loop devices.

drive_failure() {
  echo "FAIL: $*"
  exit 1
}

# enter_mount_namespace "$0" "$@": from here on the test runs in a private
# mount namespace; a machine that cannot mount fails the test, never passes it.
enter_mount_namespace() {
  if [ -z "${ORVEL_DRIVES_NAMESPACE:-}" ]; then
    [ "$(id -u)" -eq 0 ] || drive_failure "mounting a drive image needs root"
    [ -c /dev/fuse ] || drive_failure "no /dev/fuse: this machine cannot mount FUSE drives"
    [ -e /dev/loop-control ] || drive_failure "no /dev/loop-control: this machine has no loop devices"
    ORVEL_DRIVES_NAMESPACE=1 exec unshare --mount --propagation private bash "$@"
  fi
  drives=$(mktemp -d /tmp/orvel-drives-$$.XXXXXX)
}

# need_command COMMAND PACKAGE: installs PACKAGE when COMMAND is missing.
need_command() {
  command -v "$1" >/dev/null && return 0
  DEBIAN_FRONTEND=noninteractive apt-get install -y -qq --no-install-recommends "$2" >/dev/null ||
    drive_failure "cannot install $2"
  command -v "$1" >/dev/null || drive_failure "$2 gives no $1"
}

drive_mounts=()
drive_loops=()

# Unmounting a FUSE drive ends its daemon, which would otherwise keep the namespace.
release_drives() {
  local index
  # A drive paused by its test answers again, so that it can be unmounted.
  [ -z "${fuse_pid:-}" ] || kill -CONT "$fuse_pid" 2>/dev/null || true
  for ((index = ${#drive_mounts[@]} - 1; index >= 0; index--)); do
    umount "${drive_mounts[$index]}" 2>/dev/null || umount -l "${drive_mounts[$index]}" 2>/dev/null || true
  done
  for loop in "${drive_loops[@]}"; do losetup -d "$loop" 2>/dev/null || true; done
  [ -z "${drives:-}" ] || rm -rf "$drives"
}

# attach_image NAME SIZE MKFS...: an image of SIZE made by MKFS on a new loop
# device, which becomes $attached.
attach_image() {
  local image=$drives/$1.img
  truncate -s "$2" "$image"
  "${@:3}" "$image" >/dev/null 2>&1 || drive_failure "$3 failed on $image"
  attached=$(losetup -f --show "$image") || drive_failure "no free loop device for $image"
  drive_loops+=("$attached")
}

# mount_drive NAME KIND [SIZE]: a drive of KIND (16 MiB unless SIZE says
# otherwise) mounted as the folder $drives/NAME, which becomes $mounted. KIND
# is exfat (through exfat-fuse, whose daemon becomes $fuse_pid), ntfs
# (through ntfs-3g, taking only names Windows takes) or tmpfs.
mount_drive() {
  local size=${3:-16M}
  mounted=$drives/$1
  mkdir "$mounted"
  case $2 in
    exfat)
      need_command mkfs.exfat exfatprogs
      need_command mount.exfat-fuse exfat-fuse
      attach_image "$1" "$size" mkfs.exfat
      mount.exfat-fuse "$attached" "$mounted" >/dev/null 2>&1 || drive_failure "exfat-fuse cannot mount $attached"
      fuse_pid=$(pgrep -x -f "mount.exfat-fuse $attached $mounted") || drive_failure "no FUSE daemon for $mounted"
      ;;
    ntfs)
      need_command mkntfs ntfs-3g
      attach_image "$1" "$size" mkntfs -F -Q
      ntfs-3g -o windows_names "$attached" "$mounted" >/dev/null 2>&1 || drive_failure "ntfs-3g cannot mount $attached"
      ;;
    tmpfs) mount -t tmpfs -o "size=$size" tmpfs "$mounted" || drive_failure "cannot mount a tmpfs" ;;
  esac
  drive_mounts+=("$mounted")
}

# pause_drive: the exFAT drive's daemon stops answering, every thread of it
# stopped; a thread that had not stopped yet could still take a request.
pause_drive() {
  kill -STOP "$fuse_pid"
  for _ in $(seq 100); do
    ! ps -L -o stat= -p "$fuse_pid" | grep -qv '^T' && return 0
    sleep 0.05
  done
  drive_failure "the FUSE daemon $fuse_pid does not stop"
}

# remount_drive FOLDER: the exFAT drive mounted there is unmounted, as a stick
# pulled out, and mounted again; its new daemon becomes $fuse_pid.
remount_drive() {
  local device daemon
  device=$(findmnt -n -o SOURCE --mountpoint "$1") || drive_failure "nothing is mounted on $1"
  daemon=$(pgrep -x -f "mount.exfat-fuse $device $1") || drive_failure "no FUSE daemon for $1"
  umount "$1" || drive_failure "cannot unmount $1"
  for _ in $(seq 100); do kill -0 "$daemon" 2>/dev/null && sleep 0.1; done
  ! kill -0 "$daemon" 2>/dev/null || drive_failure "the daemon of $1 still runs after the unmount"
  mount.exfat-fuse "$device" "$1" >/dev/null 2>&1 || drive_failure "exfat-fuse cannot mount $device again"
  fuse_pid=$(pgrep -x -f "mount.exfat-fuse $device $1") || drive_failure "no FUSE daemon for $1"
}

# receive_into FOLDER: the receiver's next files go there (it reads the
# setting for each file).
receive_into() {
  mkdir -p "$1"
  printf '{"Orvel.downloadPath": "%s"}\n' "$1" >"$XDG_CONFIG_HOME/orvel/defaults.json"
}

# sums FOLDER: the sha256 of every file in it, sorted, without names.
sums() { find "$1" -maxdepth 1 -type f -exec sha256sum {} + | cut -d' ' -f1 | sort; }

parts_in() { find "$1" -name '.orvel-*.part' -printf '%p\n'; }
