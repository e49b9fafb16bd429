#!/bin/sh
# Round trip of a built-in sample: several versions of one ~2 MiB text file,
# each a few edits from the last, as in a tarball of successive releases.
# Usage: sh tests/demo.sh path/to/dupcut
set -u

bin=${1:-build/dupcut}
[ -x "$bin" ] || { echo "demo: no program at '$bin'" >&2; exit 1; }

tmp=$(mktemp -d "${TMPDIR:-/tmp}/dupcut-demo.XXXXXX") || exit 1
trap 'rm -rf "$tmp"' EXIT
trap 'exit 1' HUP INT TERM

# Nanoseconds where date has %N, else whole seconds.
now() {
  t=$(date +%s%N 2>/dev/null)
  case $t in *[!0-9]* | '') t=$(($(date +%s) * 1000000000)) ;; esac
  echo "$t"
}
ms() { echo $((($2 - $1) / 1000000)); }

# The generator carries its own 32-bit LCG (exact in awk's doubles), so every
# awk produces the same bytes.
awk -v versions=6 -v lines=36000 '
function rnd(n) { seed = (seed * 69069 + 1) % 4294967296; return int(seed / 65536) % n }
function line(   s, k, n) {
  n = 4 + rnd(9); s = sprintf("%06d", rnd(1000000))
  for (k = 0; k < n; k++) s = s " " word[rnd(nw)]
  return s
}
BEGIN {
  seed = 1
  nw = split("alpha beta gamma delta chunk table window stream record match escape " \
             "header divisor digest boundary rolling hash literal continue position " \
             "distance buffer input output encode decode release version patch build", word)
  for (i = 0; i < lines; i++) text[i] = line()
  for (v = 0; v < versions; v++) {
    if (v > 0) for (e = 0; e < 40; e++) text[rnd(lines)] = line()
    for (i = 0; i < lines; i++) print text[i]
  }
}' > "$tmp/sample" || { echo "demo: cannot generate the sample" >&2; exit 1; }

t0=$(now)
"$bin" e "$tmp/sample" "$tmp/sample.dc" > "$tmp/enc.log" || { cat "$tmp/enc.log"; echo "demo: encode failed" >&2; exit 1; }
t1=$(now)
"$bin" d "$tmp/sample.dc" "$tmp/back" > "$tmp/dec.log" || { cat "$tmp/dec.log"; echo "demo: decode failed" >&2; exit 1; }
t2=$(now)

if ! cmp -s "$tmp/sample" "$tmp/back"; then
  echo "demo: FAILED: the decoded file differs from the sample" >&2
  exit 1
fi

in_size=$(wc -c < "$tmp/sample")
enc_size=$(wc -c < "$tmp/sample.dc")
echo "encoder: $(tail -n 1 "$tmp/enc.log")"
awk -v a="$in_size" -v b="$enc_size" 'BEGIN {
  printf "input   %10d bytes\nencoded %10d bytes (%.1f%% of the input, %.2f:1)\n", a, b, 100 * b / a, a / b }'
echo "encode  $(ms "$t0" "$t1") ms, decode $(ms "$t1" "$t2") ms"

# What the removal buys a general compressor afterwards.
if command -v gzip > /dev/null 2>&1; then
  g_plain=$(gzip -6 -c "$tmp/sample" | wc -c)
  g_dc=$(gzip -6 -c "$tmp/sample.dc" | wc -c)
  echo "gzip -6 alone: $g_plain bytes; dupcut then gzip -6: $g_dc bytes"
fi
echo "round trip OK"
