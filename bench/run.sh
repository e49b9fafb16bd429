#!/usr/bin/env bash
# bench/run.sh [FILES...]: the whole-program benchmark.
#
# Generates the synthetic inputs (cached in $BUILD/bench-data), then for each
# input runs md5sum, cat, zstd and dupcut (encode and decode, each chunk
# divisor) in rounds: every round measures every program once, so ratios
# between programs are taken within a round, under the same machine load.
# Writes $BUILD/bench/results.md, raw.tsv and throughput.png.
#
# Environment:
#   BUILD        build directory, relative to the source tree (build)
#   BENCH_MIB    size of each generated input in MiB (256)
#   BENCH_RUNS   rounds per input, at least 3 (3)
#   BENCH_DIVS   chunk divisors; "default" passes none (default 1000 20)
#   BENCH_KINDS  generated kinds (versions backup random disk); "" for none
#   BENCH_MICRO  1 runs the micro-benchmarks first, 0 skips them (1)
#   BENCH_MICRO_REPS  repetitions of each micro-benchmark (3)
set -euo pipefail

root=$(cd "$(dirname "$0")/.." && pwd)
BUILD=${BUILD:-build}
case $BUILD in /*) ;; *) BUILD=$root/$BUILD ;; esac
MIB=${BENCH_MIB:-256}
RUNS=${BENCH_RUNS:-3}
DIVS=${BENCH_DIVS:-default 1000 20}
KINDS=${BENCH_KINDS-versions backup random disk}
MICRO=${BENCH_MICRO:-1}
MICRO_REPS=${BENCH_MICRO_REPS:-3}
[ "$RUNS" -ge 3 ] 2>/dev/null || { echo "run.sh: BENCH_RUNS must be 3 or more" >&2; exit 2; }

say() { printf '%s\n' "$*" >&2; }

# ---- tools ----
missing=()
[ -x /usr/bin/time ] || missing+=(time)
command -v gnuplot >/dev/null || missing+=(gnuplot-nox)
command -v zstd >/dev/null || missing+=(zstd)
command -v cmake >/dev/null || missing+=(cmake)
if [ ${#missing[@]} -gt 0 ]; then
  say "installing ${missing[*]}"
  if [ "$(id -u)" -ne 0 ]; then
    say "run.sh: need root to install ${missing[*]} (apt-get install ${missing[*]})"
    exit 1
  fi
  apt-get update -qq
  DEBIAN_FRONTEND=noninteractive apt-get install -y -qq "${missing[@]}" >/dev/null
fi

# ---- build ----
if [ ! -f "$BUILD/build.ninja" ] && [ ! -f "$BUILD/Makefile" ]; then
  gen=()
  command -v ninja >/dev/null && gen=(-G Ninja)
  cmake -S "$root" -B "$BUILD" "${gen[@]}" -DCMAKE_BUILD_TYPE=Release >/dev/null
fi
btype=$(sed -n 's/^CMAKE_BUILD_TYPE:[A-Z]*=//p' "$BUILD/CMakeCache.txt")
[ "$btype" = Release ] || say "warning: $BUILD is a '$btype' build, not Release"
targets=(dupcut dupcut_gen)
have_micro=0
if grep -q '^benchmark_DIR:PATH=' "$BUILD/CMakeCache.txt" && ! grep -q '^benchmark_DIR:PATH=.*NOTFOUND' "$BUILD/CMakeCache.txt"; then
  targets+=(dupcut_micro)
  have_micro=1
fi
cmake --build "$BUILD" --target "${targets[@]}" >/dev/null

dupcut=$BUILD/dupcut
outdir=$BUILD/bench
data=$BUILD/bench-data
tmp=$outdir/tmp
mkdir -p "$outdir" "$data" "$tmp"
rm -f "$outdir/results.md" "$outdir/plot.dat" "$outdir/throughput.png"
trap 'rm -rf "$tmp"' EXIT

# ---- micro-benchmarks ----
if [ "$MICRO" = 1 ] && [ $have_micro = 1 ]; then
  say "micro-benchmarks ($MICRO_REPS repetitions each)"
  "$BUILD/bench/dupcut_micro" --benchmark_repetitions="$MICRO_REPS" --benchmark_report_aggregates_only=true \
    2>&1 | tee "$outdir/micro.txt" >&2
elif [ "$MICRO" = 1 ]; then
  say "Google Benchmark not found at configure time: no micro-benchmarks (apt-get install libbenchmark-dev)"
  rm -f "$outdir/micro.txt"
else
  rm -f "$outdir/micro.txt"
fi

# ---- inputs ----
inputs=() names=()
bytes=$((MIB * 1048576))
for k in $KINDS; do
  f=$data/$k-${MIB}M.bin
  if [ ! -f "$f" ] || [ "$(stat -c %s "$f")" -ne $bytes ]; then
    say "generating $k, $MIB MiB"
    "$BUILD/bench/dupcut_gen" "$k" "$MIB" > "$f.part"
    mv "$f.part" "$f"
  fi
  inputs+=("$f") names+=("$k")
done
for f in "$@"; do
  [ -f "$f" ] && [ -r "$f" ] || { say "run.sh: not a readable file: $f"; exit 2; }
  inputs+=("$(cd "$(dirname "$f")" && pwd)/$(basename "$f")") names+=("$(basename "$f")")
done
[ ${#inputs[@]} -gt 0 ] || { say "run.sh: no inputs"; exit 2; }

# ---- measuring ----
# Microseconds; bash's own clock where it has one, so no fork is timed.
now_us() {
  now=${EPOCHREALTIME:-}
  now=${now/[.,]/}
  [ -n "$now" ] || now=$(($(date +%s%N) / 1000))
}

raw=$outdir/raw.tsv
printf 'input\tdiv\ttool\trun\twall_s\tcpu_s\trss_kib\tin_bytes\tout_bytes\n' > "$raw"

# measure NAME DIV RUN IN_BYTES OUT_FILE CMD...: one timed run, one raw line.
# Standard output goes to /dev/null (dupcut's console lines, md5sum's sum).
# The peak RSS comes from /usr/bin/time; CPU time from bash's own `time`,
# which reports milliseconds where /usr/bin/time rounds to 10 ms.
TIMEFORMAT='%3U %3S'
measure() {
  local name=$1 div=$2 run=$3 inb=$4 outf=$5
  shift 5
  local t0 t1 u s m outb=0 rc=0
  now_us
  t0=$now
  { time /usr/bin/time -f '%M' -o "$tmp/rss" "$@" > /dev/null 2> "$tmp/err"; } 2> "$tmp/cpu" || rc=$?
  now_us
  t1=$now
  if [ $rc -ne 0 ]; then
    say "run.sh: failed: $*"
    cat "$tmp/err" >&2
    exit 1
  fi
  read -r u s < "$tmp/cpu"
  m=$(tail -1 "$tmp/rss")
  [ "$outf" = - ] || outb=$(stat -c %s "$outf")
  printf '%s\t%s\t%s\t%s\t%s\t%s\t%s\t%s\t%s\n' "$cur" "$div" "$name" "$run" \
    "$(awk -v a="$t0" -v b="$t1" 'BEGIN { printf "%.6f", (b - a) / 1e6 }')" \
    "$(awk -v u="$u" -v s="$s" 'BEGIN { printf "%.3f", u + s }')" "$m" "$inb" "$outb" >> "$raw"
}

same() { cmp -s "$1" "$2" || { say "run.sh: $3 did not restore $1 exactly"; exit 1; }; }

start=$(date +%s)
for i in "${!inputs[@]}"; do
  in=${inputs[$i]} cur=${names[$i]}
  inb=$(stat -c %s "$in")
  say "measuring $cur ($((inb / 1048576)) MiB), $RUNS rounds"
  cat "$in" > /dev/null  # into the page cache before the first round
  for run in $(seq 1 "$RUNS"); do
    measure md5sum - "$run" "$inb" - md5sum "$in"
    measure cat - "$run" "$inb" - cat "$in"
    measure zstd-c - "$run" "$inb" "$tmp/z" zstd -1 --long=30 -T1 -q -f "$in" -o "$tmp/z"
    measure zstd-d - "$run" "$inb" "$tmp/zd" zstd -d --long=30 -q -f "$tmp/z" -o "$tmp/zd"
    [ "$run" -gt 1 ] || same "$in" "$tmp/zd" zstd
    rm -f "$tmp/z" "$tmp/zd"
    for div in $DIVS; do
      arg=()
      [ "$div" = default ] || arg=("$div")
      for path in normal scalar; do
        pre=()
        [ $path = normal ] || pre=(env DUPCUT_PATH=scalar)
        measure "$path-e" "$div" "$run" "$inb" "$tmp/e" "${pre[@]}" "$dupcut" e "$in" "$tmp/e" "${arg[@]}"
        measure "$path-d" "$div" "$run" "$inb" "$tmp/d" "${pre[@]}" "$dupcut" d "$tmp/e" "$tmp/d"
        [ "$run" -gt 1 ] || same "$in" "$tmp/d" "dupcut ($path, div $div)"
        rm -f "$tmp/e" "$tmp/d"
      done
    done
  done
done
elapsed=$(($(date +%s) - start))

# ---- report ----
cmd="BENCH_MIB=$MIB BENCH_RUNS=$RUNS bench/run.sh${*:+ $*}"
[ "$BUILD" = "$root/build" ] || cmd="BUILD=${BUILD#"$root"/} $cmd"
[ "$DIVS" = "default 1000 20" ] || cmd="BENCH_DIVS='$DIVS' $cmd"
[ "$KINDS" = "versions backup random disk" ] || cmd="BENCH_KINDS='$KINDS' $cmd"
cpu=$(sed -n 's/^model name[[:space:]]*: //p' /proc/cpuinfo | head -1)
rev=$(git -C "$root" rev-parse --short HEAD 2>/dev/null || echo unknown)
dirty=$(git -C "$root" status --porcelain 2>/dev/null | grep -q . && echo "+changes" || true)
load=$(cut -d' ' -f1-3 /proc/loadavg)
results=$outdir/results.md
plotdat=$outdir/plot.dat

{
  echo "# dupcut benchmark"
  echo
  echo "Made by \`$cmd\` on $(date -u '+%Y-%m-%d %H:%M UTC'), commit $rev$dirty, $(nproc) x $cpu,"
  echo "$(zstd --version | sed 's/^\*\*\* //; s/ \*\*\*$//; s/, by .*//'), md5sum and cat of $(cat --version | sed -n '1s/^cat (\(.*\)) /\1 /p')."
  echo "Load average at the end: $load; whole-program rounds took ${elapsed} s."
  echo
  echo "- MB/s: input bytes (10^6) per second of wall time, median of $RUNS rounds, min..max beside it;"
  echo "  decoders are counted by the bytes they restore. CPU MB/s: the same over user+sys time"
  echo "  (median; 1 ms resolution), less sensitive to other load on the machine."
  echo "- out/in: output size over input size. RSS: peak resident set (/usr/bin/time %M), median."
  echo "- Ratios are throughput ratios taken within each round, then median (min..max) over rounds."
  echo "- scalar path: same binary, DUPCUT_PATH=scalar: the byte-at-a-time reference route, one"
  echo "  get_byte / put_byte per byte; the default is the span route (same bytes out)."
  echo "- div: cfg_chunkdiv; default is 100 (mean chunk about 164 bytes)."
  echo
} > "$results"

if [ -f "$outdir/micro.txt" ]; then
  {
    echo "## Micro-benchmarks"
    echo
    echo "\`$BUILD/bench/dupcut_micro --benchmark_repetitions=$MICRO_REPS --benchmark_report_aggregates_only=true\`"
    echo "(rates over CPU time; loops over 32 MiB inputs from memory, default table and window sizes)."
    echo
    echo '```'
    grep -E '^(Benchmark|BM_.*_median|-{10})' "$outdir/micro.txt" || true
    echo '```'
    echo
  } >> "$results"
fi

# Medians and ratios. mawk has no sort of its own: arrays are tiny, so an
# insertion sort does.
awk -F'\t' -v runs="$RUNS" -v divs="$DIVS" -v plot="$plotdat" '
function sortn(a, n,   i, j, t) {
  for (i = 2; i <= n; i++) { t = a[i]; for (j = i - 1; j >= 1 && a[j] > t; j--) a[j + 1] = a[j]; a[j + 1] = t }
}
function med(a, n) { sortn(a, n); return n % 2 ? a[(n + 1) / 2] : (a[n / 2] + a[n / 2 + 1]) / 2 }
function fmt(x) { return x >= 100 ? sprintf("%.0f", x) : x >= 10 ? sprintf("%.1f", x) : sprintf("%.2f", x) }
# stat(key, field): median, min, max of field over the rounds of key
function stat(key, what,   i, n, v) {
  n = 0
  for (i = 1; i <= runs; i++) if ((key, i) in wall) { n++; v[n] = val(key, i, what) }
  if (n == 0) return ""
  m = med(v, n); lo = v[1]; hi = v[n]
  return m
}
function val(key, i, what) {
  if (what == "mbs") return inb[key] / wall[key, i] / 1e6
  if (what == "cpu") return cpu[key, i] > 0 ? inb[key] / cpu[key, i] / 1e6 : 0
  if (what == "rss") return rss[key, i] / 1024
  if (what == "ratio") return outb[key, i] / inb[key]
}
function row(input, label, div, key, enc,   s, c, r, o) {
  if (stat(key, "mbs") == "") return
  s = fmt(m) " | " fmt(lo) ".." fmt(hi)
  stat(key, "cpu"); c = m > 0 ? fmt(m) : "–"
  o = "–"
  if (enc) { stat(key, "ratio"); o = sprintf("%.4f", m) }
  stat(key, "rss"); r = fmt(m)
  printf "| %s | %s | %s | %s | %s | %s | %s |\n", input, label, div, s, c, o, r
}
# ratio of throughputs a/b (times b over a) per round
function pr(a, b,   i, n, v) {
  n = 0
  for (i = 1; i <= runs; i++) if (((a, i) in wall) && ((b, i) in wall)) { n++; v[n] = wall[b, i] / wall[a, i] }
  if (n == 0) return "–"
  m = med(v, n)
  return sprintf("%.3f (%.3f..%.3f)", m, v[1], v[n])
}
NR == 1 { next }
{
  key = $1 SUBSEP $2 SUBSEP $3
  if (!(key in inb)) { inb[key] = $8 }
  if (!($1 in seen)) { seen[$1] = 1; order[++ninputs] = $1; size[$1] = $8 }
  wall[key, $4] = $5; cpu[key, $4] = $6; rss[key, $4] = $7; outb[key, $4] = $9
}
END {
  nd = split(divs, dv, " ")
  print "## Whole program"
  print ""
  print "| input | program | div | MB/s | min..max | CPU MB/s | out/in | RSS MiB |"
  print "| --- | --- | --- | ---: | ---: | ---: | ---: | ---: |"
  for (k = 1; k <= ninputs; k++) {
    x = order[k]
    lab = x " (" fmt(size[x] / 1048576) " MiB)"
    row(lab, "md5sum", "", x SUBSEP "-" SUBSEP "md5sum", 0)
    row(lab, "cat >/dev/null", "", x SUBSEP "-" SUBSEP "cat", 0)
    row(lab, "zstd -1 --long=30 -T1", "", x SUBSEP "-" SUBSEP "zstd-c", 1)
    row(lab, "zstd -d --long=30", "", x SUBSEP "-" SUBSEP "zstd-d", 0)
    for (d = 1; d <= nd; d++) {
      dl = dv[d] == "default" ? "100 (default)" : dv[d]
      row(lab, "dupcut e", dl, x SUBSEP dv[d] SUBSEP "normal-e", 1)
      row(lab, "dupcut d", dl, x SUBSEP dv[d] SUBSEP "normal-d", 0)
      row(lab, "scalar e", dl, x SUBSEP dv[d] SUBSEP "scalar-e", 1)
      row(lab, "scalar d", dl, x SUBSEP dv[d] SUBSEP "scalar-d", 0)
    }
  }
  print ""
  print "## Ratios within a round"
  print ""
  print "| input | div | dupcut e / md5sum | dupcut d / md5sum | dupcut d / zstd -d | dupcut e / scalar e | dupcut d / scalar d |"
  print "| --- | --- | ---: | ---: | ---: | ---: | ---: |"
  for (k = 1; k <= ninputs; k++) {
    x = order[k]
    md5 = x SUBSEP "-" SUBSEP "md5sum"; zd = x SUBSEP "-" SUBSEP "zstd-d"
    for (d = 1; d <= nd; d++) {
      e = x SUBSEP dv[d] SUBSEP "normal-e"; dd = x SUBSEP dv[d] SUBSEP "normal-d"
      printf "| %s | %s | %s | %s | %s | %s | %s |\n", x, dv[d] == "default" ? "100 (default)" : dv[d],
        pr(e, md5), pr(dd, md5), pr(dd, zd), pr(e, x SUBSEP dv[d] SUBSEP "scalar-e"), pr(dd, x SUBSEP dv[d] SUBSEP "scalar-d")
    }
  }
  # Plot data: default divisor (the first in the list) against the peers.
  for (k = 1; k <= ninputs; k++) {
    x = order[k]
    line = x
    split("normal-e normal-d", ours, " ")
    for (j = 1; j <= 2; j++) { stat(x SUBSEP dv[1] SUBSEP ours[j], "mbs"); line = line "\t" m "\t" lo "\t" hi }
    split("md5sum cat zstd-c zstd-d", peers, " ")
    for (j = 1; j <= 4; j++) { stat(x SUBSEP "-" SUBSEP peers[j], "mbs"); line = line "\t" m "\t" lo "\t" hi }
    print line > plot
  }
}' "$raw" >> "$results"

# ---- plot ----
div1=${DIVS%% *}
[ "$div1" != default ] || div1="100 (default)"
gnuplot <<EOF
set terminal pngcairo size 1280,720 font "DejaVu Sans,11" noenhanced
set output "$outdir/throughput.png"
set title "Throughput per input kind, ${MIB} MiB inputs, median of ${RUNS} rounds (bars: min..max), dupcut div ${div1}"
set style data histograms
set style histogram errorbars gap 2 lw 1
set style fill solid 0.85 border -1
set logscale y
set yrange [1:*]
set ylabel "MB/s (log scale)"
set grid ytics mytics
set key outside right top vertical
set datafile separator "\t"
set xtics nomirror
set xrange [-0.6:${#inputs[@]} - 0.4]
set label 1 "medians in MB/s above the bars\nscalar path: same binary,\nDUPCUT_PATH=scalar (not plotted)" at screen 0.805, screen 0.62 font ",9"
w(j) = (j - 2.5) / 8.0
plot "$plotdat" using 2:3:4:xtic(1) title "dupcut e" lc rgb "#1f5fa8", \
     "" using 5:6:7 title "dupcut d" lc rgb "#6fa8dc", \
     "" using 8:9:10 title "md5sum" lc rgb "#999999", \
     "" using 11:12:13 title "cat >/dev/null" lc rgb "#dddddd", \
     "" using 14:15:16 title "zstd -1 --long=30 -T1" lc rgb "#c0504d", \
     "" using 17:18:19 title "zstd -d --long=30" lc rgb "#f2a09e", \
     for [j=0:5] "" using (\$0 + w(j)):(column(4 + 3 * j)):(sprintf("%.0f", column(2 + 3 * j))) \
        with labels offset 0,0.6 font ",8" notitle
EOF

say "wrote $results, $raw and $outdir/throughput.png"
cat "$results"
