#!/usr/bin/env bash
# bench/small.sh: small inputs, where start-up and memory set-up are most
# of a run. Prints peak RSS and wall time (medians) of dupcut on 1 MB and
# 16 MB inputs beside zstd --long=30 -1 and gzip -1, then, with
# SMALL_RATIO=1, the stream size of a table sized to the input against the
# 256 MiB table on inputs from 1 MB to 1 GiB.
#
# Environment:
#   BUILD         build directory, relative to the source tree (build)
#   SMALL_RUNS    runs of each command, the median counts (11)
#   SMALL_KIND    generated kind for the timings (versions)
#   SMALL_RATIO   1: also the ratio sweep over every kind (0; takes minutes
#                 and about 4 GiB of disk in $BUILD/bench-data)
#   SMALL_SIZES   sizes of the sweep in MB (1 4 16 64 256 1074 = 1 GiB)
set -euo pipefail

root=$(cd "$(dirname "$0")/.." && pwd)
BUILD=${BUILD:-build}
case $BUILD in /*) ;; *) BUILD=$root/$BUILD ;; esac
RUNS=${SMALL_RUNS:-11}
KIND=${SMALL_KIND:-versions}
RATIO=${SMALL_RATIO:-0}
SIZES=${SMALL_SIZES:-1 4 16 64 256 1074}
bin=$BUILD/dupcut gen=$BUILD/bench/dupcut_gen
data=$BUILD/bench-data/small
[ -x "$bin" ] && [ -x "$gen" ] || { echo "small.sh: build $bin and $gen first (make build)" >&2; exit 1; }
[ -x /usr/bin/time ] || { echo "small.sh: /usr/bin/time is needed (apt-get install time)" >&2; exit 1; }
mkdir -p "$data"
tmp=$(mktemp -d)
trap 'rm -rf "$tmp"' EXIT

# An input of N MB (10^6 bytes; 1074 MB stands for 1 GiB), made once.
input() {
  local kind=$1 mb=$2 f=$data/$1.$2
  local bytes=$((mb * 1000000))
  [ "$mb" = 1074 ] && bytes=$((1 << 30))
  [ -s "$f" ] || "$gen" "$kind" "$(awk -v b="$bytes" 'BEGIN { printf "%.10f", b / 1048576 }')" > "$f"
  echo "$f"
}

median() { sort -n | awk '{ v[NR] = $1 } END { print v[int((NR + 1) / 2)] }'; }

# Median wall milliseconds and median peak RSS in MiB of a shell command.
measure() {
  local cmd=$1 i t0 t1
  : > "$tmp/wall"
  : > "$tmp/rss"
  for ((i = 0; i < RUNS; i++)); do
    t0=$(date +%s%N)
    /usr/bin/time -f %M -o "$tmp/one" bash -c "$cmd"
    t1=$(date +%s%N)
    echo $(((t1 - t0) / 1000)) >> "$tmp/wall"
    cat "$tmp/one" >> "$tmp/rss"
  done
  printf '%8.1f ms %8.1f MiB' "$(median < "$tmp/wall" | awk '{ print $1 / 1000 }')" \
    "$(median < "$tmp/rss" | awk '{ print $1 / 1024 }')"
}

tier=$(grep -o -w 'avx512bw\|gfni\|avx2' /proc/cpuinfo | sort -u | paste -sd' ' || true)
echo "small inputs: $KIND, medians of $RUNS runs, $(nproc) cores (${tier:-no avx2}), $(uname -m)"
echo "wall time includes starting the program under /usr/bin/time; inputs come from the page cache"
for mb in 1 16; do
  f=$(input "$KIND" "$mb")
  "$bin" -zcf "$f" > "$tmp/s.dc"
  echo "-- $mb MB"
  for row in "true (the harness alone)@@true" \
    "dupcut -zc FILE@@'$bin' -zc '$f' > /dev/null" \
    "dupcut -zc --table=256M FILE@@'$bin' -zc --table=256M '$f' > /dev/null" \
    "cat FILE | dupcut -z@@cat '$f' | '$bin' -z > /dev/null" \
    "dupcut -dc FILE.dc@@'$bin' -dc '$tmp/s.dc' > /dev/null" \
    "zstd --long=30 -1 -c FILE@@zstd -q --long=30 -1 -c '$f' > /dev/null" \
    "gzip -1 -c FILE@@gzip -1 -c '$f' > /dev/null"; do
    name=${row%%@@*}
    cmd=${row#*@@}
    case $cmd in zstd*) command -v zstd >/dev/null || continue ;; esac
    printf '  %-30s %s\n' "$name" "$(measure "$cmd")"
  done
done

[ "$RATIO" = 1 ] || exit 0
echo
echo "stream bytes, table sized to the input (dupcut -zc FILE) against --table=256M"
printf '%-9s %6s %14s %14s %9s\n' kind MB sized 256M change
for kind in versions backup random disk; do
  for mb in $SIZES; do
    f=$(input "$kind" "$mb")
    a=$("$bin" -zcf "$f" | wc -c)
    b=$("$bin" -zcf --table=256M "$f" | wc -c)
    printf '%-9s %6s %14s %14s %8.4f%%\n' "$kind" "$mb" "$a" "$b" "$(awk -v a="$a" -v b="$b" 'BEGIN { print 100 * (a - b) / b }')"
  done
done
