#!/usr/bin/env bash
# Whole-process benchmark of zucomp/zuuncomp against the classic compress
# (ncompress, 14-bit codes) with gzip -1 as a second reference. Builds a
# Release binary in build-bench/, makes a 128 MiB mixed file (text, binaries
# and already-compressed data from this machine, after the sample files of
# tests/data) and
# prints Markdown tables of medians over repeated runs. See bench/README.md.
#
#   bash bench/run.sh            (or: make bench)
#   RUNS=10 BIG=0 bash bench/run.sh   more runs; skip the 1 GiB size
#   BENCH_CXXFLAGS=...                compiler flags for the Release build
#   KEEP=1                            keep bench/work/ (the mixed files) afterwards
set -euo pipefail
cd "$(dirname "$0")/.."
ROOT=$PWD
RUNS=${RUNS:-5}
BIG=${BIG:-1}
CORPUS=${CORPUS:-$ROOT/tests/data}
WORK=$ROOT/bench/work
MIB=$((1024 * 1024))

# ---- tools -------------------------------------------------------------------
need=()
command -v compress >/dev/null || need+=(ncompress)
command -v hyperfine >/dev/null || need+=(hyperfine)
[ -x /usr/bin/time ] || need+=(time)
command -v cmake >/dev/null || need+=(cmake)
command -v ninja >/dev/null || need+=(ninja-build)
if [ ${#need[@]} -gt 0 ]; then
  echo "installing: ${need[*]}" >&2
  apt-get update -qq && apt-get install -y -qq "${need[@]}" >/dev/null
fi

# ---- build -------------------------------------------------------------------
# The optimiser's maybe-uninitialized guesses at -O3 do not stop a timing
# build; the test builds keep every warning fatal.
cmake -S . -B build-bench -G Ninja -DCMAKE_BUILD_TYPE=Release -DZU_TESTS=OFF \
  -DCMAKE_CXX_FLAGS="${BENCH_CXXFLAGS--Wno-error=maybe-uninitialized}" >/dev/null
if ! cmake --build build-bench --target zucomp > build-bench/build.log 2>&1; then
  cat build-bench/build.log >&2
  exit 1
fi
BIN=$ROOT/build-bench
[ -x "$BIN/zucomp" ] && [ -L "$BIN/zuuncomp" ]

# ---- input -------------------------------------------------------------------
rm -rf "$WORK"
mkdir -p "$WORK"
# Mixed data: the corpus first, then 256 KiB slices taken in turn from text
# files, binaries and already-compressed files found on this machine.
mapfile -t TEXT < <(find /usr/share/doc /usr/include /usr/share/perl5 -type f -size +8k \
  \( -name '*.h' -o -name '*.txt' -o -name '*.html' -o -name '*.pm' -o -name 'copyright' \) \
  2>/dev/null | sort | head -4000)
mapfile -t BINS < <(find /usr/bin /usr/lib/x86_64-linux-gnu -maxdepth 1 -type f -size +64k \
  2>/dev/null | sort | head -2000)
mapfile -t PACKED < <(find /usr/share -type f -size +16k \
  \( -name '*.gz' -o -name '*.png' -o -name '*.jpg' -o -name '*.xz' -o -name '*.zip' \) \
  2>/dev/null | sort | head -2000)
mix() {  # mix FILE SIZE
  local out=$1 size=$2 i=0 f
  find "$CORPUS" -type f ! -name README.md -exec cat {} + > "$out" 2>/dev/null || true
  while [ "$(stat -c %s "$out")" -lt "$size" ]; do
    for list in TEXT BINS PACKED; do
      local -n arr=$list
      [ ${#arr[@]} -gt 0 ] || continue
      f=${arr[$((i % ${#arr[@]}))]}
      head -c 262144 "$f" >> "$out" 2>/dev/null || true
    done
    i=$((i + 1))
  done
  truncate -s "$size" "$out"
}
mix "$WORK/mix128" $((128 * MIB))
head -c $((1 * MIB)) "$WORK/mix128" > "$WORK/mix1"
head -c $((16 * MIB)) "$WORK/mix128" > "$WORK/mix16"
if [ "$BIG" = 1 ]; then
  for _ in 1 2 3 4 5 6 7 8; do cat "$WORK/mix128"; done > "$WORK/mix1024"
fi

# ---- helpers -----------------------------------------------------------------
median() {  # median seconds from a hyperfine JSON export
  grep -m1 '"median"' "$1" | sed 's/.*: *//; s/,.*//' | awk '{ printf "%.3f", $1 }'
}
bench() {  # bench NAME PREPARE COMMAND -> prints median seconds
  hyperfine --style none --runs "$RUNS" --warmup 1 --prepare "$2" \
    --export-json "$WORK/$1.json" "$3" >/dev/null 2>&1
  median "$WORK/$1.json"
}
peakmib() {  # peakmib COMMAND... -> peak resident set in MiB
  /usr/bin/time -f '%M' -o "$WORK/rss" "$@" >/dev/null 2>&1
  awk '{ printf "%.1f", $1 / 1024 }' "$WORK/rss"
}
div() { awk -v a="$1" -v b="$2" 'BEGIN { printf "%.2f", a / b }'; }
ms_per_mib() { awk -v t="$1" -v m="$2" 'BEGIN { printf "%.2f", t * 1000 / m }'; }
size() { stat -c %s "$1"; }

W=$WORK
SRC=$W/mix128
ORIG=$(size "$SRC")

# Reference outputs (also checks that both round-trip).
cp "$SRC" "$W/z" && "$BIN/zucomp" "$W/z" && cp "$W/z_" "$W/z_.ref"
"$BIN/zuuncomp" "$W/z_" && cmp "$W/z" "$SRC"
cp "$SRC" "$W/c" && compress -f -b14 "$W/c" && cp "$W/c.Z" "$W/c.Z.ref"
compress -f -d "$W/c.Z" && cmp "$W/c" "$SRC"
cp "$SRC" "$W/g" && gzip -1 -f "$W/g" && cp "$W/g.gz" "$W/g.gz.ref"
ZSIZE=$(size "$W/z_.ref")
CSIZE=$(size "$W/c.Z.ref")
GSIZE=$(size "$W/g.gz.ref")

# Compression, file to file, the source recreated before each run.
T_ZC=$(bench zc "cp $SRC $W/z; rm -f $W/z_" "$BIN/zucomp $W/z")
T_CC=$(bench cc "cp $SRC $W/c; rm -f $W/c.Z" "compress -f -b14 $W/c")
T_GC=$(bench gc "cp $SRC $W/g; rm -f $W/g.gz" "gzip -1 -f $W/g")
# Decompression of each tool's own output.
T_ZD=$(bench zd "cp $W/z_.ref $W/z_; rm -f $W/z" "$BIN/zuuncomp $W/z_")
T_CD=$(bench cd "cp $W/c.Z.ref $W/c.Z; rm -f $W/c" "compress -f -d $W/c.Z")
T_GD=$(bench gd "cp $W/g.gz.ref $W/g.gz; rm -f $W/g" "gzip -d -f $W/g.gz")

cp "$SRC" "$W/z"; rm -f "$W/z_"; M_ZC=$(peakmib "$BIN/zucomp" "$W/z")
M_ZD=$(peakmib "$BIN/zuuncomp" "$W/z_")
cp "$SRC" "$W/c"; rm -f "$W/c.Z"; M_CC=$(peakmib compress -f -b14 "$W/c")
M_CD=$(peakmib compress -f -d "$W/c.Z")
cp "$SRC" "$W/g"; rm -f "$W/g.gz"; M_GC=$(peakmib gzip -1 -f "$W/g")
M_GD=$(peakmib gzip -d -f "$W/g.gz")

echo
echo "## zucomp vs compress -b14 (128 MiB mixed file, median of $RUNS runs)"
echo
echo "Machine: $(nproc) cores, $(grep -m1 'model name' /proc/cpuinfo | sed 's/.*: //'), $(uname -sr)"
echo
echo "| measure | zucomp | compress -b14 | zucomp / compress | target | gzip -1 |"
echo "|---|---|---|---|---|---|"
echo "| compress time (s) | $T_ZC | $T_CC | $(div "$T_ZC" "$T_CC") | <= 0.50 | $T_GC |"
echo "| decompress time (s) | $T_ZD | $T_CD | $(div "$T_ZD" "$T_CD") | <= 0.33 | $T_GD |"
echo "| peak memory, compress (MiB) | $M_ZC | $M_CC | $(div "$M_ZC" "$M_CC") | <= 1.00 | $M_GC |"
echo "| peak memory, decompress (MiB) | $M_ZD | $M_CD | $(div "$M_ZD" "$M_CD") | <= 1.00 | $M_GD |"
echo "| compressed size / original | $(div "$ZSIZE" "$ORIG") | $(div "$CSIZE" "$ORIG") | $(div "$ZSIZE" "$CSIZE") | | $(div "$GSIZE" "$ORIG") |"

echo
echo "## zucomp cost by size (median of $RUNS runs)"
echo
echo "| size (MiB) | compress (s) | ms/MiB | decompress (s) | ms/MiB | peak MiB c/d |"
echo "|---|---|---|---|---|---|"
SIZES="1 16 128"
[ "$BIG" = 1 ] && SIZES="$SIZES 1024"
for m in $SIZES; do
  f=$W/mix$m
  cp "$f" "$W/s" && rm -f "$W/s_" && "$BIN/zucomp" "$W/s" && cp "$W/s_" "$W/s_.ref"
  tc=$(bench "sc$m" "cp $f $W/s; rm -f $W/s_" "$BIN/zucomp $W/s")
  td=$(bench "sd$m" "cp $W/s_.ref $W/s_; rm -f $W/s" "$BIN/zuuncomp $W/s_")
  cp "$f" "$W/s"; rm -f "$W/s_"; mc=$(peakmib "$BIN/zucomp" "$W/s")
  md=$(peakmib "$BIN/zuuncomp" "$W/s_")
  echo "| $m | $tc | $(ms_per_mib "$tc" "$m") | $td | $(ms_per_mib "$td" "$m") | $mc / $md |"
done
[ "${KEEP:-0}" = 1 ] || rm -rf "$WORK"
