#!/usr/bin/env bash
# Installs what is missing, builds, and starts Duplon.
set -euo pipefail
cd "$(dirname "$0")"
scripts/install-deps.sh
cmake -S . -B build-release -DCMAKE_BUILD_TYPE=Release -DBUILD_TESTING=OFF >/dev/null
cmake --build build-release --target duplon -j"$(nproc)"
exec ./build-release/duplon
