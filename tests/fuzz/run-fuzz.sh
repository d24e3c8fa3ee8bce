#!/usr/bin/env bash
# Builds the fuzz targets with clang's libFuzzer and runs each for a while on
# a copy of its seed corpus. Usage: run-fuzz.sh BUILD_DIR SECONDS [TARGET...]
# Exit 77 (skipped) where clang or its libFuzzer is not installed.
set -uo pipefail
here=$(cd "$(dirname "$0")" && pwd)
build=$1 seconds=$2
shift 2
targets=("$@")
((${#targets[@]})) || targets=(fuzz_mapfile fuzz_map_comments fuzz_escaped_bytes)

clang=""
for c in clang++-14 clang++; do
  command -v "$c" >/dev/null && { clang=$(command -v "$c"); break; }
done
if [ -z "$clang" ]; then
  echo "SKIP: clang is not installed (clang-14 and libclang-rt-14-dev), so the fuzz targets are not built"
  exit 77
fi
probe=$(mktemp -d)
trap 'rm -rf "$probe"' EXIT
echo 'extern "C" int LLVMFuzzerTestOneInput(const unsigned char *, unsigned long) { return 0; }' >"$probe/p.cpp"
if ! "$clang" -fsanitize=fuzzer,address,undefined "$probe/p.cpp" -o "$probe/p" 2>"$probe/err"; then
  echo "SKIP: $clang has no libFuzzer here (libclang-rt-14-dev): $(head -c 300 "$probe/err")"
  exit 77
fi

# The sanitizer build's ASan runtime must not reach in here: the targets carry their own.
unset ASAN_OPTIONS LSAN_OPTIONS UBSAN_OPTIONS
launcher=()
command -v ccache >/dev/null && launcher=(-DCMAKE_CXX_COMPILER_LAUNCHER=ccache)
mkdir -p "$build"
log=$build/build.log
cmake -S "$here" -B "$build" -DCMAKE_CXX_COMPILER="$clang" -DCMAKE_BUILD_TYPE=Debug "${launcher[@]}" >"$log" 2>&1 \
  && cmake --build "$build" -j2 --target "${targets[@]}" >>"$log" 2>&1 \
  || { cat "$log"; echo "FAIL: the fuzz targets did not build"; exit 1; }

status=0
for t in "${targets[@]}"; do
  corpus=$build/corpus/$t
  mkdir -p "$corpus" "$build/crashes/$t"
  cp -n "$here/corpus/$t"/* "$corpus/" 2>/dev/null
  # New inputs go to the working corpus, never into the seeds.
  if "$build/$t" -max_total_time="$seconds" -timeout=10 -rss_limit_mb=2048 -max_len=65536 -print_final_stats=1 \
       -artifact_prefix="$build/crashes/$t/" "$corpus" >"$build/$t.log" 2>&1; then
    runs=$(grep -o 'Done [0-9]* runs in [0-9]* second' "$build/$t.log" | tail -1)
    echo "$t: ${runs:-?}, no crash, hang or leak"
  else
    status=1
    echo "FAIL: $t found an input that fails (kept in $build/crashes/$t):"
    tail -40 "$build/$t.log"
  fi
done
exit $status
