#!/usr/bin/env bash
# Builds the codec's fuzz targets with clang (libFuzzer, ASan, UBSan) in
# build-fuzz/ and runs each for the given number of seconds (default 60),
# one job at a time, starting from the seed corpus in fuzz/corpus/<target>/.
# New inputs go to build-fuzz/corpus/<target>/; crashes to build-fuzz/run-<target>/.
set -euo pipefail
SECONDS_EACH=${1:-60}
ROOT=$(cd "$(dirname "$0")/.." && pwd)
OUT=$ROOT/build-fuzz
CXX=${CLANGXX:-clang++}
FLAGS="-std=c++20 -O1 -g -fsanitize=address,undefined -fno-sanitize-recover=all"
FLAGS="$FLAGS -fno-omit-frame-pointer -I$ROOT/include"
mkdir -p "$OUT/obj"
# The library, compiled for fuzzing (but the command's main); the link takes
# only what the targets use.
(cd "$OUT/obj" && rm -f ./*.o &&
  $CXX $FLAGS -fsanitize=fuzzer-no-link -w -c $(find "$ROOT/src" -name '*.cpp' ! -name zucs.cpp))
ar rcs "$OUT/libzu-fuzz.a" "$OUT"/obj/*.o
for target in zulz_decode zulz_roundtrip zulz_parallel; do
  $CXX $FLAGS -fsanitize=fuzzer "$ROOT/fuzz/$target.cpp" "$OUT/libzu-fuzz.a" -o "$OUT/$target"
  mkdir -p "$OUT/corpus/$target" "$OUT/run-$target"
  echo "== $target: ${SECONDS_EACH}s"
  # A finding stops the script (set -e) with libFuzzer's report above.
  (cd "$OUT/run-$target" && "../$target" -max_total_time="$SECONDS_EACH" -max_len=16384 \
     -rss_limit_mb=2048 -print_final_stats=1 "../corpus/$target" "$ROOT/fuzz/corpus/$target")
done
