#!/bin/sh
# A real libFuzzer campaign: builds the clang fuzz build (ASan, UBSan,
# libFuzzer) and runs each target for SECONDS, growing a corpus kept in the
# build directory. Prints executions, coverage and crashes per target and
# exits non-zero when any target crashed, leaked, timed out or ran out of
# memory; reproducers are left in the build directory's fuzz-artifacts.
#
#   fuzz/run_campaign.sh SECONDS [TARGET...]     (targets: decode roundtrip api)
#
# Environment: FUZZ_BUILD (build directory, default build-fuzz-clang),
# CLANGXX (default clang++), JOBS (default 2), FUZZ_MAX_LEN (default 16384),
# FUZZ_TIMEOUT (seconds per input, default 10).
set -eu

usage="usage: $0 SECONDS [TARGET...]"
[ $# -ge 1 ] || { echo "$usage" >&2; exit 2; }
secs=$1
shift
case $secs in '' | *[!0-9]*) echo "$usage" >&2; exit 2 ;; esac

root=$(cd "$(dirname "$0")/.." && pwd)
build=${FUZZ_BUILD:-$root/build-fuzz-clang}
targets=${*:-decode roundtrip api}
for t in $targets; do
  [ -f "$root/fuzz/fuzz_$t.cc" ] || { echo "no fuzz target '$t'" >&2; exit 2; }
done

gen=
command -v ninja >/dev/null 2>&1 && gen="-G Ninja"
# shellcheck disable=SC2086
cmake -S "$root" -B "$build" $gen -DCMAKE_BUILD_TYPE=RelWithDebInfo -DCMAKE_CXX_COMPILER="${CLANGXX:-clang++}" \
  -DDUPCUT_SANITIZE=ON -DDUPCUT_FUZZ=ON >/dev/null
bins=
for t in $targets; do bins="$bins fuzz_$t fuzz_${t}_replay"; done
# shellcheck disable=SC2086
cmake --build "$build" -j "${JOBS:-2}" --target $bins >/dev/null

failed=0
for t in $targets; do
  corpus=$build/fuzz-corpus/$t
  seeds=$build/fuzz-seeds/$t
  art=$build/fuzz-artifacts/$t
  log=$build/fuzz-logs/$t.log
  rm -rf "$art" "$seeds"
  mkdir -p "$corpus" "$art" "$(dirname "$log")"
  "$build/fuzz/fuzz_${t}_replay" --write-seeds "$seeds"
  dirs="$corpus $seeds"
  for d in "$root/fuzz/corpus/$t" "$root/fuzz/regress/$t"; do
    [ -d "$d" ] && dirs="$dirs $d"
  done

  # shellcheck disable=SC2086
  "$build/fuzz/fuzz_$t" -max_total_time="$secs" -print_final_stats=1 -artifact_prefix="$art/" \
    -max_len="${FUZZ_MAX_LEN:-16384}" -timeout="${FUZZ_TIMEOUT:-10}" -rss_limit_mb=2048 \
    $dirs >"$log" 2>&1 || true

  execs=$(sed -n 's/^stat::number_of_executed_units: *//p' "$log" | tail -n 1)
  [ -n "$execs" ] || execs=$(grep -o '^#[0-9]*' "$log" | tail -n 1 | tr -d '#')
  cov=$(grep -o 'cov: [0-9]*' "$log" | tail -n 1 | cut -d' ' -f2)
  ft=$(grep -o 'ft: [0-9]*' "$log" | tail -n 1 | cut -d' ' -f2)
  crashes=$(find "$art" -name 'crash-*' | wc -l)
  others=$(find "$art" \( -name 'leak-*' -o -name 'timeout-*' -o -name 'oom-*' \) | wc -l)
  units=$(find "$corpus" -type f | wc -l)
  printf '%-10s executions=%s cov=%s ft=%s corpus=%s crashes=%s leaks/timeouts/ooms=%s\n' \
    "$t" "${execs:-?}" "${cov:-?}" "${ft:-?}" "$units" "$crashes" "$others"
  if [ "$crashes" -gt 0 ] || [ "$others" -gt 0 ]; then
    failed=1
    find "$art" -type f | sed 's/^/  reproducer: /'
    echo "  log: $log"
  fi
done
exit $failed
