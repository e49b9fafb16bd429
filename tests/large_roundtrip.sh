#!/bin/bash
# More than 4.5 GiB through encode and decode pipes with the largest window,
# compared by digest; the input is never stored.
set -euo pipefail
bin=$1
gen=$2
tmp=$(mktemp -d)
trap 'rm -rf "$tmp"' EXIT

want=$("$gen" | md5sum | cut -d' ' -f1)
got=$("$gen" | "$bin" e - - 100 64 4095 2>"$tmp/enc.log" | tee >(wc -c >"$tmp/size") |
  "$bin" d - - 2>"$tmp/dec.log" | md5sum | cut -d' ' -f1)
wait
cat "$tmp/enc.log" "$tmp/dec.log"
size=$(cat "$tmp/size")
echo "input digest $want, output digest $got, stream $size bytes"
[ "$want" = "$got" ] || { echo "FAIL: round trip differs"; exit 1; }
# About 112 MiB of the input is fresh random data and 4 MiB a repeat from
# exactly one window back, which must stay literal; the repeats within reach
# (39 MiB, across the wrap and from one byte short of the window) must not.
limit=$((122 * 1048576))
[ "$size" -lt "$limit" ] || { echo "FAIL: stream of $size bytes, expected below $limit"; exit 1; }
echo "large round trip ok"
