#!/usr/bin/env bash
# Builds the codec's fuzz targets with clang (libFuzzer, ASan, UBSan) in
# build-fuzz/ and runs each for the given number of seconds (default 60),
# one job at a time, starting from the seed corpus in fuzz/corpus/<target>/.
# New inputs go to build-fuzz/corpus/<target>/; crashes to build-fuzz/.
set -euo pipefail
SECONDS_EACH=${1:-60}
ROOT=$(cd "$(dirname "$0")/.." && pwd)
OUT=$ROOT/build-fuzz
CXX=${CLANGXX:-clang++}
SAN="-fsanitize=address,undefined -fno-sanitize-recover=all -fno-omit-frame-pointer"
FLAGS="-std=c++20 -O1 -g $SAN -I$ROOT/include"
mkdir -p "$OUT/obj"

# The library, compiled for fuzzing; the link takes only what the targets use.
objs=()
while IFS= read -r src; do
  rel=${src#"$ROOT/src/"}
  obj=$OUT/obj/${rel//\//_}.o
  if [[ ! -f $obj || $src -nt $obj || $ROOT/include/zulz.h -nt $obj ]]; then
    if ! $CXX $FLAGS -fsanitize=fuzzer-no-link -w -c "$src" -o "$obj"; then
      echo "fuzz/run.sh: skipping $rel (does not compile with $CXX)" >&2
      continue
    fi
  fi
  objs+=("$obj")
done < <(find "$ROOT/src" -name '*.cpp' ! -path "$ROOT/src/zucs.cpp" | sort)
rm -f "$OUT/libzu-fuzz.a"
ar rcs "$OUT/libzu-fuzz.a" "${objs[@]}"

for target in zulz_decode zulz_roundtrip zulz_parallel; do
  $CXX $FLAGS -fsanitize=fuzzer "$ROOT/fuzz/$target.cpp" "$OUT/libzu-fuzz.a" -o "$OUT/$target"
  mkdir -p "$OUT/corpus/$target"
  echo "== $target: ${SECONDS_EACH}s"
  mkdir -p "$OUT/run-$target"
  (cd "$OUT/run-$target" && "../$target" -jobs=1 -workers=1 -max_total_time="$SECONDS_EACH" \
     -max_len=16384 -rss_limit_mb=2048 -print_final_stats=1 \
     "../corpus/$target" "$ROOT/fuzz/corpus/$target") || status=$?
  # With -jobs the run's own output is in fuzz-0.log.
  grep -E "stat::number_of_executed_units|Done [0-9]+ runs|ERROR|SUMMARY" "$OUT/run-$target/fuzz-0.log" || true
  if [[ ${status:-0} -ne 0 ]]; then echo "$target: finding (see $OUT/run-$target/fuzz-0.log)"; exit 1; fi
done
