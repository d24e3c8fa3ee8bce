#!/usr/bin/env bash
# Copy speed across file systems: bench_copy's 1 GiB case with its source on
# the disk (<folder>, default /tmp) and its destination on a file system made
# for the run on a loop device: xfs, btrfs, exFAT (exfat-fuse) and NTFS
# (ntfs-3g). Then within btrfs and within xfs, where the copy shares the
# source's extents as cp's reflink does. Needs root; every mount and loop
# device it makes goes again at the end.
#   bench/cross_fs.sh [--rounds N] [folder]
set -uo pipefail
here="$(cd "$(dirname "$0")/.." && pwd)"
rounds=3
[ "${1:-}" = "--rounds" ] && { rounds="$2"; shift 2; }
folder="${1:-/tmp}"
[ "$(id -u)" -eq 0 ] || { echo "cross_fs.sh needs root (loop devices, mounts)"; exit 2; }
build="$here/build-bench"
cmake -S "$here" -B "$build" -DCMAKE_BUILD_TYPE=Release -DBUILD_TESTING=OFF >/dev/null || exit 2
make -C "$build" -j2 bench_copy >/dev/null || exit 2
bench="$build/bench/bench_copy"
export LC_ALL=C.UTF-8 QT_QPA_PLATFORM=offscreen
work="$(mktemp -d "$folder/duplon-cross-XXXXXX")"
loop="" mnt=""
cleanup() {
    [ -n "$mnt" ] && { umount "$mnt" 2>/dev/null || umount -l "$mnt"; }
    [ -n "$loop" ] && losetup -d "$loop"
    mnt="" loop=""
}
trap 'cleanup; rm -rf "$work"' EXIT
trap 'exit 1' INT TERM

# make_fs TYPE: a 3 GiB file system of that type mounted on $mnt.
make_fs() {
    truncate -s 3G "$work/image" && loop="$(losetup -f --show "$work/image")" || return 1
    case "$1" in
    xfs) mkfs.xfs -q -f "$loop" && mount -t xfs "$loop" "$mnt" ;;
    btrfs) mkfs.btrfs -q -f "$loop" >/dev/null 2>&1 && mount -t btrfs "$loop" "$mnt" ;;
    exfat) mkfs.exfat "$loop" >/dev/null && mount.exfat-fuse "$loop" "$mnt" ;;
    ntfs) mkntfs -F -Q "$loop" >/dev/null 2>&1 && ntfs-3g "$loop" "$mnt" ;;
    esac
}

mkdir -p "$folder/duplon-bench/dst"
for fs in xfs btrfs exfat ntfs; do
    echo "=== ext4 -> $fs ==="
    mnt="$folder/duplon-bench/dst"
    make_fs "$fs" || { echo "cannot make $fs here; skipped"; cleanup; continue; }
    "$bench" --rounds "$rounds" --keep "$folder" | grep -A1 "^1  "
    cleanup
    rm -f "$work/image"
done
for fs in btrfs xfs; do
    echo "=== within $fs (shared extents) ==="
    mnt="$work/m" && mkdir -p "$mnt"
    make_fs "$fs" || { echo "cannot make $fs here; skipped"; cleanup; continue; }
    "$bench" --rounds 1 "$mnt" | grep -A1 "^1  "
    cleanup
    rm -f "$work/image"
done
