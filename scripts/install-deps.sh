#!/usr/bin/env bash
# Installs, with apt-get, whatever of the build and test needs is missing.
set -euo pipefail

packages=(
  g++ make cmake            # the build
  qt6-base-dev              # Qt 6 Widgets and QtTest
  fonts-liberation          # a sans-serif face close to the window's metrics
  fonts-dejavu-core
  xvfb                      # the one test that draws under a real X server
  pkg-config libfuse3-dev fuse3  # the damaged medium of the rescue tests
  gddrescue                 # ddrescuelog reads back the rescue map; ddrescue is the measure on the damaged disk
  mount e2fsprogs           # a slow medium for the tests: losetup, mkfs.ext4
  desktop-file-utils        # the install test: the menu entry's validator,
  appstream                 #   the metadata's validator,
  dpkg-dev                  #   and dpkg-shlibdeps for the package's Depends,
  lintian                   #   and the package's checker
  weston qt6-wayland        # the window on a Wayland compositor (headless Weston)
  # The desktop tests: a private session bus for the launcher and the
  # notifications, and the accessibility bus with the Python client through
  # which the screen-reader test listens.
  dbus-daemon dbus-bin xvfb xauth at-spi2-core python3-pyatspi
  # What a blind user hears: the real Orca under a small window manager, its
  # speech through speech-dispatcher's generic module into a log, keys
  # through the X server.
  orca speech-dispatcher openbox xdotool
  # Every kind of disk: libblkid names a volume's file system and label where
  # udev keeps no records; the tests make real file systems on loop devices
  # and reach a network share through sshfs over a local sshd.
  libblkid-dev
  libxxhash-dev             # the hash of what a copy writes, for its read-back
  xfsprogs btrfs-progs exfatprogs exfat-fuse ntfs-3g
  openssh-server sshfs
  clang-14 libclang-rt-14-dev  # the fuzz targets: clang's libFuzzer and sanitizers
)

missing=()
for p in "${packages[@]}"; do
  dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q 'install ok installed' || missing+=("$p")
done
if ((${#missing[@]})); then
  echo "Installing: ${missing[*]}"
  sudo_cmd=()
  [ "$(id -u)" -eq 0 ] || sudo_cmd=(sudo)
  export DEBIAN_FRONTEND=noninteractive
  "${sudo_cmd[@]}" apt-get update -qq
  "${sudo_cmd[@]}" apt-get install -y -qq --no-install-recommends "${missing[@]}"
fi
