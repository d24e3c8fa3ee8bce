#!/usr/bin/env bash
# Builds bench_copy and bench_listing and runs them offscreen and, when Xvfb is
# installed, under a real X server on a free display; then the rescue from a
# damaged medium (bench_rescue, offscreen, where libfuse3 is built in), from a
# damaged disk against GNU ddrescue (bench_disk, as root), the
# block passes' cost as the bad blocks grow in number (bench_scrape), and the
# rescue map at scale (bench_scattered), and what the copy's read-back costs
# on the disk and a throttled stick (bench_read_back).
# Arguments go to bench_copy and bench_listing, e.g.
#   bench/run.sh --rounds 7 /tmp
# The tmpfs case mounts a tmpfs of its own for each run and needs root;
# without it, that case says it was skipped.
set -uo pipefail
here="$(cd "$(dirname "$0")/.." && pwd)"
build="$here/build-bench"
cmake -S "$here" -B "$build" -DCMAKE_BUILD_TYPE=Release -DBUILD_TESTING=OFF -DDUPLON_BENCH=ON >/dev/null || exit 2
make -C "$build" -j2 bench_copy bench_listing >/dev/null || exit 2
bench="$build/bench/bench_copy"
listing="$build/bench/bench_listing"
export LC_ALL=C.UTF-8

status=0
run_rescue() {
    echo
    echo "=== rescue from a damaged medium (offscreen) ==="
    if make -C "$build" -j2 bench_rescue >/dev/null 2>&1; then
        QT_QPA_PLATFORM=offscreen "$build/bench/bench_rescue" || status=1
    else
        echo "bench_rescue not built (no libfuse3); skipped"
    fi
    echo
    echo "=== rescue from a damaged disk, against GNU ddrescue -d and buffered ==="
    if make -C "$build" -j2 bench_disk >/dev/null 2>&1; then
        "$here/tests/support/private-mounts.sh" "$build/bench/bench_disk" || status=1
    else
        echo "bench_disk not built (no libfuse3); skipped"
    fi
    echo
    echo "=== the rescue map at scale: scattered damage, the window's stall, maps set aside ==="
    if make -C "$build" -j2 bench_scattered >/dev/null 2>&1; then
        "$build/bench/bench_scattered" || status=1
    else
        echo "bench_scattered not built (no libfuse3); skipped"
    fi
    echo
    echo "=== the block passes' cost against the number of bad blocks ==="
    make -C "$build" -j2 bench_scrape >/dev/null && "$build/bench/bench_scrape" || status=1
    echo
    echo "=== the copy's read-back: the disk against cp + sync, the throttled stick against its pace ==="
    make -C "$build" -j2 bench_read_back >/dev/null \
        && "$here/tests/support/private-mounts.sh" "$build/bench/bench_read_back" || status=1
}

echo "=== offscreen ==="
QT_QPA_PLATFORM=offscreen "$bench" --keep "$@" || status=1
QT_QPA_PLATFORM=offscreen "$listing" "$@" || status=1

if command -v Xvfb >/dev/null 2>&1; then
    display=""
    for n in $(seq 90 199); do
        if [ ! -e "/tmp/.X11-unix/X$n" ] && [ ! -e "/tmp/.X$n-lock" ]; then
            display=":$n"
            break
        fi
    done
    if [ -z "$display" ]; then
        echo "no free X display between :90 and :199; skipping the Xvfb run"
        run_rescue
        exit $status
    fi
    Xvfb "$display" -screen 0 1280x1024x24 -nolisten tcp >/dev/null 2>&1 &
    xvfb=$!
    trap 'kill "$xvfb" 2>/dev/null; wait "$xvfb" 2>/dev/null' EXIT
    for _ in $(seq 1 50); do
        [ -e "/tmp/.X11-unix/X${display#:}" ] && break
        sleep 0.1
    done
    echo
    echo "=== Xvfb $display ==="
    DISPLAY="$display" QT_QPA_PLATFORM=xcb "$bench" "$@" || status=1
    DISPLAY="$display" QT_QPA_PLATFORM=xcb "$listing" "$@" || status=1
else
    echo "Xvfb not installed; skipping the X server run"
fi
run_rescue
exit $status
