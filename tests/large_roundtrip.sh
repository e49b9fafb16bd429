#!/bin/bash
# More than 4 GiB through encode and decode pipes, compared by digest; the
# input is never stored. The stream is decoded once more from a file, which
# the decoder reads into memory it keeps and copies from instead of its
# window.
#   large_roundtrip.sh DUPCUT LARGE_GEN KIND "ENCODE ARGS" MAX_STREAM_MIB
set -euo pipefail
bin=$1
gen=$2
kind=$3
read -r -a params <<<"$4"
max_mib=$5
tmp=$(mktemp -d)
trap 'rm -rf "$tmp"' EXIT

want=$("$gen" "$kind" | md5sum | cut -d' ' -f1)
got=$("$gen" "$kind" | "$bin" e - - "${params[@]}" 2>"$tmp/enc.log" | tee "$tmp/stream.dc" >(wc -c >"$tmp/size") |
  "$bin" d - - 2>"$tmp/dec.log" | md5sum | cut -d' ' -f1)
wait
cat "$tmp/enc.log" "$tmp/dec.log"
size=$(cat "$tmp/size")
echo "$kind: input digest $want, output digest $got, stream $size bytes"
[ "$want" = "$got" ] || { echo "FAIL: round trip differs"; exit 1; }
from_file=$("$bin" d "$tmp/stream.dc" - 2>"$tmp/dec2.log" | md5sum | cut -d' ' -f1)
cat "$tmp/dec2.log"
[ "$want" = "$from_file" ] || { echo "FAIL: decoding the stream from a file differs"; exit 1; }
# The repeats within reach must have matched.
[ "$size" -lt $((max_mib * 1048576)) ] || { echo "FAIL: stream of $size bytes, expected below $max_mib MiB"; exit 1; }
echo "large round trip ok"
