#!/usr/bin/env bash
# Installs what is missing, builds what changed, and starts Duplon in your home
# folder.
set -euo pipefail
here="$(cd "$(dirname "$0")" && pwd)"
build="$here/build-release"
"$here/scripts/install-deps.sh"
# Configured once; a build re-runs cmake by itself when a CMakeLists.txt changed.
if [ ! -f "$build/CMakeCache.txt" ]; then
  cmake -S "$here" -B "$build" -DCMAKE_BUILD_TYPE=Release -DBUILD_TESTING=OFF >/dev/null
fi
cmake --build "$build" --target duplon -j"$(nproc)"
cd "$HOME"
exec "$build/duplon"
