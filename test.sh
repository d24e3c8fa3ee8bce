#!/usr/bin/env bash
# Installs what is missing, builds, and runs every test through ctest: once in
# the normal build and once built with AddressSanitizer and UBSan.
set -euo pipefail
cd "$(dirname "$0")"
scripts/install-deps.sh
jobs="$(nproc)"

# At the end, whatever the outcome, the cases each run skipped and why.
status=0
skipped=()
report_skips() {
  for run in "${skipped[@]}"; do
    tests/support/skipped-cases.sh "${run%%:*}" "${run#*:}"
  done
}
trap report_skips EXIT

cmake -S . -B build -DCMAKE_BUILD_TYPE=RelWithDebInfo -DBUILD_TESTING=ON >/dev/null
cmake --build build -j"$jobs"
skipped+=("build:normal build")
ctest --test-dir build --output-on-failure -j"$jobs" || status=$?

if [ "$status" = 0 ] && [ "${DUPLON_SKIP_SANITIZERS:-0}" != 1 ]; then
  cmake -S . -B build-asan -DCMAKE_BUILD_TYPE=Debug -DDUPLON_SANITIZE=ON -DBUILD_TESTING=ON >/dev/null
  cmake --build build-asan -j"$jobs"
  skipped+=("build-asan:sanitizer build")
  ctest --test-dir build-asan --output-on-failure -j"$jobs" || status=$?
fi
exit "$status"
