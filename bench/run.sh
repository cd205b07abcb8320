#!/usr/bin/env bash
# Whole-process benchmark of zucomp/zuuncomp, serial and with two threads,
# against the classic compress (ncompress, 14-bit codes) with gzip -1 as a
# second reference. Builds a Release binary in build-bench/, makes a 128 MiB
# mixed file (text, binaries and already-compressed data from this machine,
# after the sample files of tests/data), its first 1 and 16 MiB and (BIG=1)
# eight copies of it, and prints one Markdown table of medians over runs in
# which every command takes its turn (round after round, so that a busy
# spell of the machine hits all of them alike). See bench/README.md.
#
#   bash bench/run.sh            (or: make bench)
#   RUNS=10 BIG=0 bash bench/run.sh   more runs; skip the 1 GiB size
#   BIGRUNS=5                         runs at 1 GiB (default 3)
#   BENCH_CXXFLAGS=...                compiler flags for the Release build
#   KEEP=1                            keep bench/work/ (the mixed files) afterwards
#   REUSE=1                           use the 128 MiB file KEEP=1 left, if any
set -euo pipefail
cd "$(dirname "$0")/.."
ROOT=$PWD
RUNS=${RUNS:-5}
BIGRUNS=${BIGRUNS:-3}
BIG=${BIG:-1}
CORPUS=${CORPUS:-$ROOT/tests/data}
WORK=$ROOT/bench/work
MIB=$((1024 * 1024))

# ---- tools -------------------------------------------------------------------
need=()
command -v compress >/dev/null || need+=(ncompress)
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
if ! cmake --build build-bench --target zucomp peak_rss > build-bench/build.log 2>&1; then
  cat build-bench/build.log >&2
  exit 1
fi
BIN=$ROOT/build-bench
[ -x "$BIN/zucomp" ] && [ -L "$BIN/zuuncomp" ]

# ---- input -------------------------------------------------------------------
if [ "${REUSE:-0}" = 1 ] && [ -s "$WORK/mix128" ]; then
  echo "reusing $WORK/mix128" >&2
else
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
fi
head -c $((1 * MIB)) "$WORK/mix128" > "$WORK/mix1"
head -c $((16 * MIB)) "$WORK/mix128" > "$WORK/mix16"
if [ "$BIG" = 1 ]; then
  for _ in 1 2 3 4 5 6 7 8; do cat "$WORK/mix128"; done > "$WORK/mix1024"
fi

# ---- helpers -----------------------------------------------------------------
W=$WORK
median() { sort -g | awk '{ v[NR] = $1 } END { print (NR % 2) ? v[(NR + 1) / 2] : (v[NR / 2] + v[NR / 2 + 1]) / 2 }'; }
div() { awk -v a="$1" -v b="$2" 'BEGIN { printf "%.2f", a / b }'; }
size() { stat -c %s "$1"; }
now() { date +%s%N; }

# The commands: name, environment, program and arguments, file it works on,
# what to put there first, what it makes.
#   zc/zc2  zucomp serial / ZU_THREADS=2      cc compress -b14   gc gzip -1
#   zd/zd2  zuuncomp ZU_THREADS=1 / 2          cd compress -d     gd gzip -d
#   zp      zuuncomp ZU_THREADS=2 on the ZU_THREADS=2 stream
NAMES="zc zc2 cc gc zd zd2 zp cd gd"
declare -A LABEL=(
  [zc]="zucomp (serial)" [zc2]="ZU_THREADS=2 zucomp" [cc]="compress -b14" [gc]="gzip -1"
  [zd]="ZU_THREADS=1 zuuncomp" [zd2]="ZU_THREADS=2 zuuncomp" [zp]="ZU_THREADS=2 zuuncomp, parallel stream"
  [cd]="compress -d" [gd]="gzip -d")
declare -A PEER=([zc]=cc [zc2]=cc [zd]=cd [zd2]=cd [zp]=cd)
declare -A TARGET=([zc]="<= 0.80" [zc2]="<= 0.50" [zd]="serial" [zd2]="<= 0.30" [zp]="<= 0.30")
# setup NAME SRC: prepare the input of NAME; prints ZU_THREADS for the run ("-"
# for a peer, which ignores it), then the command line.
setup() {
  local n=$1 src=$2
  case $n in
    zc)  cp "$src" "$W/a"; rm -f "$W/a_"; echo "1 $BIN/zucomp $W/a" ;;
    zc2) cp "$src" "$W/b"; rm -f "$W/b_"; echo "2 $BIN/zucomp $W/b" ;;
    cc)  cp "$src" "$W/c"; rm -f "$W/c.Z"; echo "- compress -f -b14 $W/c" ;;
    gc)  cp "$src" "$W/g"; rm -f "$W/g.gz"; echo "- gzip -1 -f $W/g" ;;
    zd)  cp "$W/ref.z_" "$W/d_"; rm -f "$W/d"; echo "1 $BIN/zuuncomp $W/d_" ;;
    zd2) cp "$W/ref.z_" "$W/e_"; rm -f "$W/e"; echo "2 $BIN/zuuncomp $W/e_" ;;
    zp)  cp "$W/ref.p_" "$W/p_"; rm -f "$W/p"; echo "2 $BIN/zuuncomp $W/p_" ;;
    cd)  cp "$W/ref.c.Z" "$W/f.Z"; rm -f "$W/f"; echo "- compress -f -d $W/f.Z" ;;
    gd)  cp "$W/ref.g.gz" "$W/h.gz"; rm -f "$W/h"; echo "- gzip -d -f $W/h.gz" ;;
  esac
}
# What each command leaves behind (compressed size, or the restored file).
declare -A RESULT=([zc]=a_ [zc2]=b_ [cc]=c.Z [gc]=g.gz [zd]=d [zd2]=e [zp]=p [cd]=f [gd]=h)

# measure SIZE-MIB SRC RUNS: every command RUNS times, in turns; writes
# $W/t.NAME.SIZE (seconds, one a line), $W/m.NAME.SIZE (peak KiB), $W/o.NAME.SIZE.
measure() {
  local m=$1 src=$2 runs=$3 r n cmd t0 t1
  # Reference streams to decompress, each checked to restore the input.
  cp "$src" "$W/r"; rm -f "$W/r_"; env ZU_THREADS=1 "$BIN/zucomp" "$W/r"; mv "$W/r_" "$W/ref.z_"
  cp "$src" "$W/r"; rm -f "$W/r_"; env ZU_THREADS=2 "$BIN/zucomp" "$W/r"; mv "$W/r_" "$W/ref.p_"
  cp "$src" "$W/r"; compress -f -b14 "$W/r"; mv "$W/r.Z" "$W/ref.c.Z"
  cp "$src" "$W/r"; gzip -1 -f "$W/r"; mv "$W/r.gz" "$W/ref.g.gz"
  for n in $NAMES; do rm -f "$W/t.$n.$m" "$W/m.$n.$m" "$W/s.$n.$m"; done
  for r in $(seq 0 "$runs"); do  # round 0 warms up and checks the outputs
    for n in $NAMES; do
      cmd=$(setup "$n" "$src")
      t0=$(now)
      # The environment goes to time itself, not through env(1) under it:
      # the peak RSS of a process counts what ran in it before an exec.
      # shellcheck disable=SC2086
      env ZU_THREADS="${cmd%% *}" /usr/bin/time -f %M -o "$W/rss" ${cmd#* }
      t1=$(now)
      if [ "$r" = 0 ]; then
        case $n in
          z[dp]*|cd|gd) cmp -s "$W/${RESULT[$n]}" "$src" || { echo "$n: output differs" >&2; exit 1; } ;;
        esac
        size "$W/${RESULT[$n]}" > "$W/o.$n.$m"
        continue
      fi
      awk -v a="$t0" -v b="$t1" 'BEGIN { printf "%.4f\n", (b - a) / 1e9 }' >> "$W/t.$n.$m"
      cat "$W/rss" >> "$W/m.$n.$m"
    done
  done
  # The kernel's high-water mark can lag (see bench/peak_rss.cpp): three
  # more rounds, not timed, with the resident set sampled while each runs.
  if [ "$m" = 128 ]; then
    for r in 1 2 3; do
      for n in $NAMES; do
        cmd=$(setup "$n" "$src")
        # shellcheck disable=SC2086
        env ZU_THREADS="${cmd%% *}" "$BIN/bench/peak_rss" ${cmd#* } >> "$W/s.$n.$m"
      done
    done
  fi
  rm -f "$W"/[a-hpr] "$W"/[a-hpr]_ "$W"/*.Z "$W"/*.gz "$W/ref.z_" "$W/ref.p_"
}

SIZES="1 16 128"
[ "$BIG" = 1 ] && SIZES="$SIZES 1024"
LOAD0=$(cut -d' ' -f1-3 /proc/loadavg)
for m in $SIZES; do
  runs=$RUNS
  [ "$m" = 1024 ] && runs=$BIGRUNS
  measure "$m" "$W/mix$m" "$runs"
done
LOAD1=$(cut -d' ' -f1-3 /proc/loadavg)

# ---- table -------------------------------------------------------------------
med() { median < "$W/t.$1.$2"; }
echo
echo "## zucomp / zuuncomp against compress and gzip, file to file"
echo
echo "Machine: $(nproc) cores, $(grep -m1 'model name' /proc/cpuinfo | sed 's/.*: //'), $(uname -sr);" \
  "load average $LOAD0 before, $LOAD1 after."
echo "Medians of $RUNS runs in turns (1 GiB: $BIGRUNS), one warm-up round; time per MiB of the original, in ms," \
  "with the ratio to the peer (compress -b14 / compress -d) in brackets. Input: mixed files (text," \
  "binaries, compressed data); 1 GiB is the 128 MiB file eight times. Peak RSS (median; GNU time, and sampled in 3 more runs) and output at 128 MiB."
echo
hdr="| command |"; sep="|---|"
for m in $SIZES; do
  [ "$m" = 1024 ] && hdr="$hdr 1 GiB |" || hdr="$hdr $m MiB |"
  sep="$sep---|"
done
echo "$hdr 128 MiB (s) | ratio to peer | target | peak RSS (MiB) | sampled peak (MiB) | output (bytes) | output / input |"
echo "$sep---|---|---|---|---|---|---|"
ORIG=$(size "$W/mix128")
# rsscell KIND NAME: median peak at 128 MiB in MiB, with the ratio to the
# peer; KIND m is GNU time's figure, s the sampled one.
rsscell() {
  local kib
  kib=$(median < "$W/$1.$2.128")
  awk -v k="$kib" 'BEGIN { printf "%.2f", k / 1024 }'
  if [ -n "${PEER[$2]:-}" ]; then echo " ($(div "$kib" "$(median < "$W/$1.${PEER[$2]}.128")"))"; fi
}
for n in $NAMES; do
  row="| ${LABEL[$n]} |"
  for m in $SIZES; do
    t=$(med "$n" "$m")
    cell=$(awk -v t="$t" -v m="$m" 'BEGIN { printf "%.2f", t * 1000 / m }')
    if [ -n "${PEER[$n]:-}" ]; then cell="$cell ($(div "$t" "$(med "${PEER[$n]}" "$m")"))"; fi
    row="$row $cell |"
  done
  t=$(med "$n" 128)
  ratio=""
  [ -n "${PEER[$n]:-}" ] && ratio=$(div "$t" "$(med "${PEER[$n]}" 128)")
  rss=$(rsscell m "$n")
  srss=$(rsscell s "$n")
  out=$(cat "$W/o.$n.128")
  case $n in z[dp]*|cd|gd) frac="" ;; *) frac=$(div "$out" "$ORIG") ;; esac
  echo "$row $(awk -v t="$t" 'BEGIN { printf "%.3f", t }') | $ratio | ${TARGET[$n]:-} | $rss | $srss | $out | $frac |"
done

# ---- by kind of input ---------------------------------------------------------
# The mix above interleaves kinds every 256 KiB; how each kind alone fares
# says what the mix's ratio is made of. 32 MiB each, serial zucomp against
# compress -b14, in turns as above. "pieces" is the 128 MiB mix cut into
# eight files of 16 MiB, compressed one after the other: compress keeps a
# full table for as long as its ratio does not fall, and on the whole mix
# it keeps one that no longer fits the data and writes more than it reads,
# which costs it no additions; a fresh file makes it start again.
KINDS="text binaries random pieces"
kind() {  # kind NAME: 32 MiB of one kind in $W/k.NAME (pieces: $W/k.pieces.00 to 07)
  if [ "$1" = pieces ]; then
    split -b $((16 * MIB)) -d "$W/mix128" "$W/k.pieces."
    return
  fi
  case $1 in
    text) find /usr/share/doc /usr/include /usr/share/perl5 -type f -size +8k \
            \( -name '*.h' -o -name '*.txt' -o -name '*.html' -o -name '*.pm' -o -name 'copyright' \) |
            sort | head -4000 | xargs cat ;;
    binaries) find /usr/bin /usr/lib/x86_64-linux-gnu -maxdepth 1 -type f -size +64k |
            sort | xargs cat ;;
    random) cat /dev/urandom ;;
  esac 2>/dev/null | head -c $((32 * MIB)) > "$W/k.$1" || true
}
# The files of a kind, and their total size.
kfiles() { if [ "$1" = pieces ]; then echo "$W"/k.pieces.??; else echo "$W/k.$1"; fi; }
ksize() { local f t=0; for f in $(kfiles "$1"); do t=$((t + $(size "$f"))); done; echo $t; }
for k in $KINDS; do kind "$k"; rm -f "$W/kt.$k.zc" "$W/kt.$k.cc"; done
for r in $(seq 0 "$RUNS"); do
  for k in $KINDS; do
    for n in zc cc; do
      rm -f "$W"/a.*
      i=0
      for f in $(kfiles "$k"); do cp "$f" "$W/a.$i"; i=$((i + 1)); done
      t0=$(now)
      for f in "$W"/a.?; do
        if [ $n = zc ]; then env ZU_THREADS=1 "$BIN/zucomp" "$f"; else compress -f -b14 "$f"; fi
      done
      t1=$(now)
      if [ "$r" = 0 ]; then
        o=0
        for f in "$W"/a.?_ "$W"/a.?.Z; do [ -e "$f" ] && o=$((o + $(size "$f"))); done
        echo $o > "$W/ko.$k.$n"
        continue
      fi
      awk -v a="$t0" -v b="$t1" 'BEGIN { printf "%.4f\n", (b - a) / 1e9 }' >> "$W/kt.$k.$n"
    done
  done
done
echo
echo "By kind of input, 32 MiB each (random stands for already-compressed data; pieces: the 128 MiB mix as eight 16 MiB files), serial, medians of $RUNS runs:"
echo
echo "| input | zucomp (ms/MiB) | compress -b14 (ms/MiB) | ratio | zucomp output / input | compress output / input |"
echo "|---|---|---|---|---|---|"
for k in $KINDS; do
  in=$(ksize "$k")
  tz=$(median < "$W/kt.$k.zc"); tc=$(median < "$W/kt.$k.cc")
  echo "| $k | $(awk -v t="$tz" -v n="$in" 'BEGIN { printf "%.2f", t * 1000 * 1048576 / n }') |" \
    "$(awk -v t="$tc" -v n="$in" 'BEGIN { printf "%.2f", t * 1000 * 1048576 / n }') | $(div "$tz" "$tc") |" \
    "$(div "$(cat "$W/ko.$k.zc")" "$in") | $(div "$(cat "$W/ko.$k.cc")" "$in") |"
done
rm -f "$W"/k.* "$W"/a.*
[ "${KEEP:-0}" = 1 ] || rm -rf "$WORK"
