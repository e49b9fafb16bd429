#!/usr/bin/env bash
# bench/zstd.sh: dupcut --zstd against zstd alone and against the pipeline
# dupcut -z | zstd, with its targets PASS or MISS. In rounds: each round
# runs every command once, ratios are taken within a round (same machine
# load), and their median over the rounds counts. Speeds are MB/s of wall
# time over the unencoded bytes; sizes in bytes; peak RSS in MiB.
#
#   dupcut --zstd=1          vs zstd -1 --long=30 -T0, and vs dupcut -z | zstd -1
#   dupcut --zstd=19         vs zstd -19 --long=30 -T0 (on a prefix of the
#                            kinds that repeat: zstd -19 takes long)
#   dupcut -d x.dc.zst       vs zstd -d --long=30
#
# Environment:
#   BUILD          build directory, relative to the source tree (build)
#   ZSTD_MIB       size of each generated input in MiB (256; shared with run.sh's)
#   ZSTD_SLOW_MIB  prefix for the -19 rows in MiB (64)
#   ZSTD_RUNS      rounds, at least 3 (3)
#   ZSTD_KINDS     kinds for the level-1 and decoding rows (versions backup random disk)
#   ZSTD_SLOW_KINDS  kinds for the -19 rows (versions backup)
set -euo pipefail

root=$(cd "$(dirname "$0")/.." && pwd)
BUILD=${BUILD:-build}
case $BUILD in /*) ;; *) BUILD=$root/$BUILD ;; esac
MIB=${ZSTD_MIB:-256}
SLOW_MIB=${ZSTD_SLOW_MIB:-64}
RUNS=${ZSTD_RUNS:-3}
KINDS=${ZSTD_KINDS-versions backup random disk}
SLOW_KINDS=${ZSTD_SLOW_KINDS-versions backup}
bin=$BUILD/dupcut gen=$BUILD/bench/dupcut_gen
[ -x "$bin" ] && [ -x "$gen" ] || { echo "zstd.sh: build $bin and $gen first (make build)" >&2; exit 1; }
[ -x /usr/bin/time ] || { echo "zstd.sh: /usr/bin/time is needed (apt-get install time)" >&2; exit 1; }
command -v zstd >/dev/null || { echo "zstd.sh: the zstd program is needed (apt-get install zstd)" >&2; exit 1; }
[ "$RUNS" -ge 3 ] 2>/dev/null || { echo "zstd.sh: ZSTD_RUNS must be 3 or more" >&2; exit 2; }
data=$BUILD/bench-data
mkdir -p "$data"
tmp=$(mktemp -d)
trap 'rm -rf "$tmp"' EXIT

input() {  # kind MiB -> path, generated once (run.sh's name at its size)
  local f=$data/$1-$2M.bin
  if [ ! -f "$f" ] || [ "$(stat -c %s "$f")" -ne $(($2 << 20)) ]; then
    if [ -f "$data/$1-${MIB}M.bin" ] && [ "$2" -lt "$MIB" ]; then
      head -c $(($2 << 20)) "$data/$1-${MIB}M.bin" > "$f.part"
    else
      "$gen" "$1" "$2" > "$f.part"
    fi
    mv "$f.part" "$f"
  fi
  echo "$f"
}

# One run: "wall user sys rss_kib" appended to $tmp/KEY.
measure() {
  local key=$1 cmd=$2
  /usr/bin/time -f "%e %U %S %M" -o "$tmp/one" bash -c "$cmd" > /dev/null
  cat "$tmp/one" >> "$tmp/$key"
}

median() { sort -g | awk '{ v[NR] = $1 } END { print v[int((NR + 1) / 2)] }'; }
col() { awk -v c="$2" '{ print $c }' "$tmp/$1"; }
med() { col "$1" "$2" | median; }
# Median over the rounds of (bytes / wall of A) / (bytes / wall of B): B's wall over A's.
ratio() { paste -d' ' <(col "$2" 1) <(col "$1" 1) | awk '{ print ($2 > 0 ? $1 / $2 : 0) }' | median; }
mbs() { awk -v b="$2" -v t="$(med "$1" 1)" 'BEGIN { v = t > 0 ? b / 1e6 / t : 0; printf (v < 10 ? "%.2f" : "%.0f"), v }'; }
rss() { awk -v k="$(med "$1" 4)" 'BEGIN { printf "%.0f", k / 1024 }'; }
verdict() { awk -v r="$1" -v t="$2" 'BEGIN { printf "%.2f %s", r, (r >= t ? "PASS" : "MISS") }'; }

tier=$(grep -o -w 'avx512bw\|gfni\|avx2' /proc/cpuinfo | sort -u | paste -sd' ' || true)
echo "dupcut --zstd against zstd $(zstd --version | grep -o 'v[0-9.]*' | head -1): $(nproc) cores (${tier:-no avx2}),"
echo "load average $(cut -d' ' -f1-3 /proc/loadavg) before the runs; medians of $RUNS rounds; MB/s of wall time"
echo "over the unencoded bytes; inputs from the page cache, outputs to files under /tmp (decoders: /dev/null)."

fast=() slow=()
for k in $KINDS; do fast+=("$k"); done
for k in $SLOW_KINDS; do slow+=("$k"); done
for ((r = 1; r <= RUNS; r++)); do
  for k in "${fast[@]}"; do
    f=$(input "$k" "$MIB")
    measure "$k.dz1" "'$bin' --zstd=1 -c '$f' > $tmp/$k.dc.zst"
    measure "$k.z1" "zstd -q -1 --long=30 -T0 -c '$f' > $tmp/$k.zst"
    measure "$k.pipe" "'$bin' -z -c '$f' | zstd -q -1 > $tmp/$k.p.zst"
    measure "$k.dd" "'$bin' -dc $tmp/$k.dc.zst"
    measure "$k.zd" "zstd -q -d --long=30 -c $tmp/$k.zst"
    if [ "$r" = 1 ]; then
      "$bin" -dc "$tmp/$k.dc.zst" | cmp -s - "$f" || { echo "zstd.sh: $k: --zstd=1 does not round-trip" >&2; exit 1; }
      zstd -q -dc "$tmp/$k.dc.zst" | "$bin" -d | cmp -s - "$f" || { echo "zstd.sh: $k: zstd -d | dupcut -d differs" >&2; exit 1; }
    fi
  done
  for k in "${slow[@]}"; do
    f=$(input "$k" "$SLOW_MIB")
    measure "$k.dz19" "'$bin' --zstd=19 -c '$f' > $tmp/$k.19.dc.zst"
    measure "$k.z19" "zstd -q -19 --long=30 -T0 -c '$f' > $tmp/$k.19.zst"
  done
done

echo
echo "| input | dupcut --zstd=1 | zstd -1 --long=30 -T0 | dupcut -z \\| zstd -1 | dupcut -d x.dc.zst | zstd -d --long=30 | size --zstd=1 / zstd / pipeline | peak RSS MiB: --zstd=1 / zstd -1 / pipeline / -d x.dc.zst / zstd -d |"
echo "|---|---:|---:|---:|---:|---:|---:|---:|"
bytes=$((MIB << 20))
for k in "${fast[@]}"; do
  echo "| $k | $(mbs "$k.dz1" $bytes) | $(mbs "$k.z1" $bytes) | $(mbs "$k.pipe" $bytes) | $(mbs "$k.dd" $bytes) | $(mbs "$k.zd" $bytes) |" \
    "$(stat -c %s "$tmp/$k.dc.zst") / $(stat -c %s "$tmp/$k.zst") / $(stat -c %s "$tmp/$k.p.zst") |" \
    "$(rss "$k.dz1") / $(rss "$k.z1") / $(rss "$k.pipe") / $(rss "$k.dd") / $(rss "$k.zd") |"
done
if [ ${#slow[@]} -gt 0 ]; then
  echo
  echo "| $SLOW_MIB MiB prefix | dupcut --zstd=19 | zstd -19 --long=30 -T0 | size --zstd=19 / zstd | peak RSS MiB |"
  echo "|---|---:|---:|---:|---:|"
  for k in "${slow[@]}"; do
    echo "| $k | $(mbs "$k.dz19" $((SLOW_MIB << 20))) | $(mbs "$k.z19" $((SLOW_MIB << 20))) |" \
      "$(stat -c %s "$tmp/$k.19.dc.zst") / $(stat -c %s "$tmp/$k.19.zst") | $(rss "$k.dz19") / $(rss "$k.z19") |"
  done
fi

echo
echo "| target | $(printf '%s | ' "${fast[@]}")"
echo "|---|$(printf -- '---: |%.0s' "${fast[@]}")"
row() {  # name threshold A B
  local line="| $1 |" k
  for k in "${fast[@]}"; do line="$line $(verdict "$(ratio "$k.$3" "$k.$4")" "$2") |"; done
  echo "$line"
}
row "dupcut --zstd=1 ≥ 1 × zstd -1 --long=30 -T0" 1 dz1 z1
row "dupcut --zstd=1 ≥ 1.3 × dupcut -z \\| zstd -1" 1.3 dz1 pipe
row "dupcut -d x.dc.zst ≥ 1.5 × zstd -d --long=30" 1.5 dd zd
for k in "${slow[@]}"; do
  echo "| dupcut --zstd=19 ≥ 1.5 × zstd -19 --long=30 -T0, $k | $(verdict "$(ratio "$k.dz19" "$k.z19")" 1.5) |"
done
echo
echo "What bounds each (median wall / user / system s):"
for k in "${fast[@]}"; do
  for x in dz1 z1 pipe dd zd; do printf '%s.%s %s / %s / %s; ' "$k" "$x" "$(med "$k.$x" 1)" "$(med "$k.$x" 2)" "$(med "$k.$x" 3)"; done
  echo
done
for k in "${slow[@]}"; do
  for x in dz19 z19; do printf '%s.%s %s / %s / %s; ' "$k" "$x" "$(med "$k.$x" 1)" "$(med "$k.$x" 2)" "$(med "$k.$x" 3)"; done
  echo
done
