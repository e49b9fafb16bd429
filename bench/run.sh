#!/usr/bin/env bash
# bench/run.sh [FILES...]: the whole-program benchmark and its targets.
#
# Generates the synthetic inputs (cached in $BUILD/bench-data), then for each
# input runs md5sum, cat, zstd, dupcut (encode and decode, each chunk divisor,
# both routes) and the two pipelines with zstd in rounds: every round
# measures every program once, so ratios between programs are taken within a
# round, under the same machine load, and their median over the rounds is
# what counts.
#
# Prints the targets with PASS or MISS and writes to $BUILD/bench/:
#   results.md       every figure with wall, user and system time, peak RSS,
#                    the memory state before each run, and the targets
#   readme_table.md  the block for README's Performance section
#   raw.tsv          one line per run
#   throughput.png   the plot (needs gnuplot)
#
# Environment:
#   BUILD          build directory, relative to the source tree (build)
#   BENCH_MIB      size of each generated input in MiB (256)
#   BENCH_RUNS     rounds per input, at least 3 (3)
#   BENCH_DIVS     chunk divisors; "default" passes none (default 1000 20)
#   BENCH_KINDS    generated kinds (versions backup random disk); "" for none
#   BENCH_MICRO    1 runs the micro-benchmarks first, 0 skips them (1)
#   BENCH_MICRO_REPS  repetitions of each micro-benchmark (3)
#   DUPCUT_DISABLE_CPU_FEATURES  as for dupcut (e.g. avx512bw,gfni for the
#                  AVX2 tier): every dupcut run and the kernel table use it
#   BENCH_THREADS  passed to dupcut as DUPCUT_THREADS (unset: not passed, so
#                  dupcut runs one thread per core, at most 2, and the memory
#                  targets count that many)
#   BENCH_SMALL    1 ends with bench/small.sh (1 MB and 16 MB inputs: peak
#                  RSS and time beside zstd and gzip) into small.txt; 0 skips
#   BENCH_ZSTD     1 ends with bench/zstd.sh (dupcut --zstd against zstd and
#                  the pipeline, its targets; about 8 minutes here) into
#                  zstd.txt; 0 skips
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
THREADS=${BENCH_THREADS:-}
[ "$RUNS" -ge 3 ] 2>/dev/null || { echo "run.sh: BENCH_RUNS must be 3 or more" >&2; exit 2; }
[ "$MIB" -ge 1 ] 2>/dev/null || { echo "run.sh: BENCH_MIB must be a whole number of MiB" >&2; exit 2; }
case $THREADS in '' | [1-9] | [1-9][0-9]) ;; *) echo "run.sh: BENCH_THREADS must be a number of threads" >&2; exit 2 ;; esac

say() { printf '%s\n' "$*" >&2; }

# ---- tools ----
# /usr/bin/time and cmake are needed; zstd and gnuplot only for their rows
# and the plot, which are left out with a note when they cannot be had.
want=()
[ -x /usr/bin/time ] || want+=(time)
command -v cmake >/dev/null || want+=(cmake)
command -v zstd >/dev/null || want+=(zstd)
command -v gnuplot >/dev/null || want+=(gnuplot-nox)
if [ ${#want[@]} -gt 0 ]; then
  if [ "$(id -u)" -eq 0 ] && command -v apt-get >/dev/null; then
    say "installing ${want[*]}"
    { apt-get update -qq && DEBIAN_FRONTEND=noninteractive apt-get install -y -qq "${want[@]}"; } >/dev/null 2>&1 ||
      say "run.sh: apt-get install ${want[*]} failed"
  else
    say "run.sh: not root or no apt-get: cannot install ${want[*]}"
  fi
fi
[ -x /usr/bin/time ] && command -v cmake >/dev/null || { say "run.sh: /usr/bin/time and cmake are needed"; exit 1; }
have_zstd=1 skip_zstd=""
if ! command -v zstd >/dev/null; then
  have_zstd=0
  skip_zstd="zstd is not installed (apt-get install zstd): the zstd rows, the pipelines and their targets are left out"
  say "run.sh: $skip_zstd"
fi

# ---- build ----
if [ ! -f "$BUILD/build.ninja" ] && [ ! -f "$BUILD/Makefile" ]; then
  gen=()
  command -v ninja >/dev/null && gen=(-G Ninja)
  cmake -S "$root" -B "$BUILD" "${gen[@]}" -DCMAKE_BUILD_TYPE=Release >/dev/null
fi
btype=$(sed -n 's/^CMAKE_BUILD_TYPE:[A-Z]*=//p' "$BUILD/CMakeCache.txt")
[ "$btype" = Release ] || say "warning: $BUILD is a '$btype' build, not Release"
targets=(dupcut dupcut_gen dupcut_kernels)
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
mkdir -p "$outdir" "$data"
rm -rf "$tmp"
mkdir -p "$tmp"
rm -f "$outdir/results.md" "$outdir/readme_table.md" "$outdir/targets.txt" "$outdir/plot.dat" "$outdir/throughput.png"
trap 'rm -rf "$tmp"' EXIT

version=$(sed -n 's/^project(dupcut VERSION \([0-9.]*\).*/\1/p' "$root/CMakeLists.txt")
ncores=$(nproc)
threads_used=$ncores
threads_note="DUPCUT_THREADS not set: $threads_used thread(s), one per core"
if [ -n "$THREADS" ]; then
  threads_used=$THREADS
  threads_note="DUPCUT_THREADS=$THREADS"
  export DUPCUT_THREADS=$THREADS
else
  unset DUPCUT_THREADS
fi

# ---- kernels, then micro-benchmarks ----
say "chunking kernels, GB/s on one core"
"$BUILD/bench/dupcut_kernels" | tee "$outdir/kernels.txt" >&2
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
need=0
for k in $KINDS; do
  f=$data/$k-${MIB}M.bin
  [ -f "$f" ] && [ "$(stat -c %s "$f")" -eq $bytes ] || need=$((need + MIB))
done
# Room for the inputs still to generate and, at the same time, one input's
# encoded stream, its copy, zstd's stream and the pipeline's (at most 4 times
# the input).
avail=$(($(df -Pk "$data" | awk 'NR == 2 { print $4 }') / 1024))
if [ $((need + 4 * MIB)) -gt "$avail" ]; then
  say "run.sh: $avail MiB free under $data, about $((need + 4 * MIB)) MiB needed"
  exit 1
fi
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

# The memory state before a run: free memory and the page cache, in KiB,
# read without a fork.
meminfo() {
  local k v u
  memfree=0 cached=0
  while read -r k v u; do
    case $k in MemFree:) memfree=$v ;; Cached:) cached=$v ;; esac
  done < /proc/meminfo
  read -r load _ < /proc/loadavg
}

raw=$outdir/raw.tsv
printf 'input\tdiv\ttool\trun\twall_s\tuser_s\tsys_s\trss_kib\tin_bytes\tout_bytes\tmemfree_kib\tcached_kib\tload1\n' > "$raw"

# measure NAME DIV RUN IN_BYTES OUT_FILE CMD...: one timed run, one raw line.
# The command's standard output must be redirected by the caller (md5sum's
# sum and decoders go to /dev/null, encoders to OUT_FILE), so each row here
# is run through `sh -c`. The peak RSS comes from /usr/bin/time (for a
# pipeline, the largest of its processes); user and system time from bash's
# own `time`, which reports milliseconds and counts every process of a
# pipeline.
TIMEFORMAT='%3U %3S'
measure() {
  local name=$1 div=$2 run=$3 inb=$4 outf=$5
  shift 5
  local t0 t1 u s m outb=0 rc=0
  meminfo
  now_us
  t0=$now
  { time /usr/bin/time -f '%M' -o "$tmp/rss" sh -c "$1" > /dev/null 2> "$tmp/err"; } 2> "$tmp/cpu" || rc=$?
  now_us
  t1=$now
  if [ $rc -ne 0 ]; then
    say "run.sh: failed: $1"
    cat "$tmp/err" >&2
    exit 1
  fi
  read -r u s < "$tmp/cpu"
  m=$(tail -1 "$tmp/rss")
  [ "$outf" = - ] || outb=$(stat -c %s "$outf")
  printf '%s\t%s\t%s\t%s\t%s\t%s\t%s\t%s\t%s\t%s\t%s\t%s\t%s\n' "$cur" "$div" "$name" "$run" \
    "$(awk -v a="$t0" -v b="$t1" 'BEGIN { printf "%.6f", (b - a) / 1e6 }')" \
    "$u" "$s" "$m" "$inb" "$outb" "$memfree" "$cached" "$load" >> "$raw"
}

# check WHAT CMD: CMD must write the input exactly to its standard output
# (not timed; first round only).
check() {
  sh -c "$2" | cmp -s - "$in" || { say "run.sh: $1 did not restore $in exactly"; exit 1; }
}

# dupcut_pair PATH DIV: encode and decode the current input with the route
# PATH (normal or scalar) and the divisor DIV.
dupcut_pair() {
  local pre="" arg=""
  [ "$1" = normal ] || pre="DUPCUT_PATH=byte "
  [ "$2" = default ] || arg=" --chunk=$2"
  measure "$1-e" "$2" "$run" "$inb" "$tmp/e" "$pre$dc -zc$arg $qin > $ein"
  # The stream's size, for the sizes beside the pipeline's.
  [ "$1-$2" != normal-default ] || printf '%s\t%s\n' "$cur" "$(stat -c %s "$tmp/e")" > "$tmp/esize-$i"
  measure "$1-d" "$2" "$run" "$inb" - "$pre$dc -dc $ein"
  [ "$run" -gt 1 ] || check "dupcut ($1, div $2)" "$pre$dc -dc $ein"
  rm -f "$tmp/e"
}

q() { printf '%q' "$1"; }
dc=$(q "$dupcut")
zin=$(q "$tmp/z") ein=$(q "$tmp/e") pin=$(q "$tmp/p")

start=$(date +%s)
for i in "${!inputs[@]}"; do
  in=${inputs[$i]} cur=${names[$i]}
  qin=$(q "$in")
  inb=$(stat -c %s "$in")
  say "measuring $cur ($((inb / 1048576)) MiB), $RUNS rounds"
  cat "$in" > /dev/null  # into the page cache before the first round
  for run in $(seq 1 "$RUNS"); do
    # What the targets compare runs first and back to back, so that each
    # ratio is taken under as nearly the same load as the machine allows.
    measure md5sum - "$run" "$inb" - "md5sum $qin"
    dupcut_pair normal default
    if [ $have_zstd = 1 ]; then
      # Standard input to standard output, as in the pipelines.
      measure zstd-c - "$run" "$inb" "$tmp/z" "zstd -1 --long=30 -T0 -q < $qin > $zin"
      measure zstd-d - "$run" "$inb" - "zstd -d --long=30 -q -c $zin"
      [ "$run" -gt 1 ] || check zstd "zstd -d --long=30 -q -c $zin"
      measure pipe-e default "$run" "$inb" "$tmp/p" "$dc -z < $qin | zstd -1 -q > $pin"
      measure pipe-d default "$run" "$inb" - "zstd -d -q -c $pin | $dc -d"
      [ "$run" -gt 1 ] || check "zstd -d | dupcut -d" "zstd -d -q -c $pin | $dc -d"
      rm -f "$tmp/z" "$tmp/p"
    fi
    measure cat - "$run" "$inb" - "cat $qin"
    for div in $DIVS; do
      for path in normal scalar; do
        [ $path-$div = normal-default ] || dupcut_pair $path "$div"
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
[ -z "$THREADS" ] || cmd="BENCH_THREADS=$THREADS $cmd"
cpu=$(sed -n 's/^model name[[:space:]]*: //p' /proc/cpuinfo | head -1)
isa="without AVX-512"
if grep -qw avx512f /proc/cpuinfo; then
  isa="with AVX-512"
  grep -qw gfni /proc/cpuinfo && isa="$isa and GFNI"
fi
[ -z "${DUPCUT_DISABLE_CPU_FEATURES:-}" ] || isa="$isa, run with DUPCUT_DISABLE_CPU_FEATURES=$DUPCUT_DISABLE_CPU_FEATURES"
rev=$(git -C "$root" rev-parse --short HEAD 2>/dev/null || echo unknown)
dirty=$(git -C "$root" status --porcelain 2>/dev/null | grep -q . && echo "+changes" || true)
load=$(cut -d' ' -f1-3 /proc/loadavg)
zver="zstd not installed"
[ $have_zstd = 0 ] || zver=$(zstd --version | sed 's/^\*\*\* //; s/ \*\*\*$//; s/, by .*//')
results=$outdir/results.md
plotdat=$outdir/plot.dat
today=$(date -u '+%Y-%m-%d')

{
  echo "# dupcut benchmark"
  echo
  echo "Made by \`$cmd\` on $(date -u '+%Y-%m-%d %H:%M UTC'), dupcut $version, commit $rev$dirty,"
  echo "$(nproc) x $cpu $isa, $zver, md5sum and cat of $(cat --version | sed -n '1s/^cat (\(.*\)) /\1 /p'), $threads_note."
  echo "Load average at the end: $load; whole-program rounds took ${elapsed} s."
  [ -z "$skip_zstd" ] || { echo; echo "Left out: $skip_zstd."; }
  echo
  echo "- MB/s: input bytes (10^6) per second of wall time, median of $RUNS rounds, min..max beside it;"
  echo "  decoders are counted by the bytes they restore. CPU MB/s: the same over user+sys time."
  echo "- wall, user, sys: seconds, medians. bound: what the median run waited on: \`user\` (its own"
  echo "  computing), \`sys\` (the kernel: fresh pages, pipes, file copies; sys is 40 % or more of the"
  echo "  CPU time), \`wait\` (CPU time under 80 % of wall: other load on the machine, or a pipeline's"
  echo "  slower side)."
  echo "- Each program reads its input from the page cache. Decoders and md5sum write to /dev/null,"
  echo "  encoders to a file through standard output; zstd -1 --long=30 -T0 and the pipelines read"
  echo "  standard input. The first round checks every decoder's output against the input."
  echo "- out/in: output size over input size. RSS: peak resident set (/usr/bin/time %M; for a"
  echo "  pipeline its largest process), median."
  echo "- Memory state: MemFree and Cached from /proc/meminfo just before each run (GiB), min..max over"
  echo "  the rounds; every run's values are in raw.tsv and under Runs below."
  echo "- Ratios are throughput ratios taken within each round, then median (min..max) over rounds."
  echo "- scalar: same binary, DUPCUT_PATH=byte, the byte-at-a-time reference route; the default is"
  echo "  the span route (same bytes out). div: --chunk; default is 100 (mean chunk about 164 bytes)."
  echo
} > "$results"

{
  echo "## Chunking kernels"
  echo
  echo "\`$BUILD/bench/dupcut_kernels\`: each kernel of the registry this CPU runs (as limited by"
  echo "DUPCUT_DISABLE_CPU_FEATURES), GB/s of input per second of the thread's CPU time, best of five passes over 16 MiB."
  echo
  cat "$outdir/kernels.txt"
  echo
} >> "$results"

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

cat "$tmp"/esize-* 2>/dev/null > "$tmp/esizes" || true

# Medians, ratios and targets. mawk has no sort of its own: arrays are tiny,
# so an insertion sort does.
awk -F'\t' -v runs="$RUNS" -v divs="$DIVS" -v plot="$plotdat" -v threads="$threads_used" \
  -v targets="$outdir/targets.txt" -v readme="$outdir/readme_table.md" -v esizes="$tmp/esizes" \
  -v have_zstd="$have_zstd" -v cmd="$cmd" -v version="$version" -v rev="$rev$dirty" -v today="$today" \
  -v machine="$(nproc)-core $cpu $isa" -v tnote="$threads_note" -v kinds="$KINDS" -v nfiles=$# '
function sortn(a, n,   i, j, t) {
  for (i = 2; i <= n; i++) { t = a[i]; for (j = i - 1; j >= 1 && a[j] > t; j--) a[j + 1] = a[j]; a[j + 1] = t }
}
function med(a, n) { sortn(a, n); return n % 2 ? a[(n + 1) / 2] : (a[n / 2] + a[n / 2 + 1]) / 2 }
function fmt(x) { return x >= 100 ? sprintf("%.0f", x) : x >= 10 ? sprintf("%.1f", x) : sprintf("%.2f", x) }
function mb(x) { return x >= 1e8 ? sprintf("%.0f MB", x / 1e6) : sprintf("%.1f MB", x / 1e6) }
function gib(k) { return sprintf("%.1f", k / 1048576) }
# The targets, a row each with its verdict per input, to file out.
function targets_table(out,   t, k, line) {
  print hdr > out
  print sep > out
  for (t = 1; t <= nt; t++) {
    line = "| " tname[t] " |"
    for (k = 1; k <= ninputs; k++) line = line " " tcell[t, order[k]] " |"
    print line > out
  }
}
# stat(key, what): median of what over the rounds of key, into m, lo, hi
function stat(key, what,   i, n, v) {
  n = 0
  for (i = 1; i <= runs; i++) if ((key, i) in wall) { n++; v[n] = val(key, i, what) }
  if (n == 0) { m = lo = hi = ""; return "" }
  m = med(v, n); lo = v[1]; hi = v[n]
  return m
}
function val(key, i, what) {
  if (what == "mbs") return inb[key] / wall[key, i] / 1e6
  if (what == "cpu") return usr[key, i] + sys[key, i] > 0 ? inb[key] / (usr[key, i] + sys[key, i]) / 1e6 : 0
  if (what == "rss") return rss[key, i] / 1024
  if (what == "ratio") return outb[key, i] / inb[key]
  if (what == "out") return outb[key, i]
  if (what == "wall") return wall[key, i]
  if (what == "user") return usr[key, i]
  if (what == "sys") return sys[key, i]
  if (what == "free") return free[key, i]
  if (what == "cached") return cached[key, i]
}
function bound(w, u, s,   c) {
  c = u + s
  if (c < 0.8 * w) return "wait"
  return s >= 0.4 * c ? "sys" : "user"
}
# times(key): "wall user sys bound" of the medians
function times(key,   w, u, s) {
  if (stat(key, "wall") == "") return ""
  w = m; stat(key, "user"); u = m; stat(key, "sys"); s = m
  tw = w; tu = u; ts = s; tb = bound(w, u, s)
  return tb
}
function row(input, label, div, key, enc,   s, c, r, o, f, ca) {
  if (stat(key, "mbs") == "") return
  s = fmt(m) " | " fmt(lo) ".." fmt(hi)
  stat(key, "cpu"); c = m > 0 ? fmt(m) : "–"
  o = "–"
  if (enc) { stat(key, "ratio"); o = sprintf("%.4f", m) }
  stat(key, "rss"); r = fmt(m)
  stat(key, "free"); f = gib(lo) ".." gib(hi)
  stat(key, "cached"); ca = gib(lo) ".." gib(hi)
  times(key)
  printf "| %s | %s | %s | %s | %.3f | %.3f | %.3f | %s | %s | %s | %s | %s | %s |\n", input, label, div, s,
    tw, tu, ts, tb, c, o, r, f, ca
}
# pr(a, b): throughput of a over that of b (time of b over time of a) per
# round, median into m; "median (min..max)"
function pr(a, b,   i, n, v) {
  n = 0
  for (i = 1; i <= runs; i++) if (((a, i) in wall) && ((b, i) in wall)) { n++; v[n] = wall[b, i] / wall[a, i] }
  if (n == 0) { m = ""; return "–" }
  m = med(v, n)
  return sprintf("%.3f (%.3f..%.3f)", m, v[1], v[n])
}
# prc(a, b): the same over user+sys time, which other load on the machine
# changes less; "CPU-time ratio median"
function prc(a, b,   i, n, v, ca, cb) {
  n = 0
  for (i = 1; i <= runs; i++) if (((a, i) in wall) && ((b, i) in wall)) {
    ca = usr[a, i] + sys[a, i]; cb = usr[b, i] + sys[b, i]
    if (ca > 0) { n++; v[n] = cb / ca }
  }
  return n == 0 ? "" : sprintf("; CPU-time ratio %.2f", med(v, n))
}
# One target for one input: the median m (or "") against need; "more" says
# whether m must reach need or stay below it. Remembers a cell for the
# summary and writes a detailed line.
function target(t, x, m, need, more, detail,   ok, cell) {
  if (m == "") { cell = "–" }
  else {
    ok = more ? m >= need : m < need
    cell = (more ? sprintf("%.2f", m) : sprintf("%.1f", m)) " " (ok ? "PASS" : "MISS")
    npass += ok; nmiss += !ok
  }
  tcell[t, x] = cell
  printf "| %s | %s | %s | %s |\n", tname[t], x, cell, detail
}
NR == FNR && FILENAME == esizes { esize[$1] = $2; next }
FNR == 1 { next }
{
  key = $1 SUBSEP $2 SUBSEP $3
  if (!(key in inb)) { inb[key] = $9 }
  if (!($1 in seen)) { seen[$1] = 1; order[++ninputs] = $1; size[$1] = $9 }
  wall[key, $4] = $5; usr[key, $4] = $6; sys[key, $4] = $7; rss[key, $4] = $8; outb[key, $4] = $10
  free[key, $4] = $11; cached[key, $4] = $12
  if (nlog == 0 || $13 < loadlo) loadlo = $13
  if (nlog == 0 || $13 > loadhi) loadhi = $13
  runlog[++nlog] = sprintf("| %s | %s | %s | %s | %.3f | %.3f | %.3f | %.1f | %s | %s | %s |", $1, $2, $3, $4, $5, $6, $7,
    $8 / 1024, gib($11), gib($12), $13)
}
END {
  nd = split(divs, dv, " ")
  print "## Whole program"
  print ""
  print "| input | program | div | MB/s | min..max | wall | user | sys | bound | CPU MB/s | out/in | RSS MiB | MemFree GiB | Cached GiB |"
  print "| --- | --- | --- | ---: | ---: | ---: | ---: | ---: | --- | ---: | ---: | ---: | ---: | ---: |"
  for (k = 1; k <= ninputs; k++) {
    x = order[k]
    lab = x " (" fmt(size[x] / 1048576) " MiB)"
    row(lab, "md5sum", "", x SUBSEP "-" SUBSEP "md5sum", 0)
    row(lab, "cat >/dev/null", "", x SUBSEP "-" SUBSEP "cat", 0)
    row(lab, "zstd -1 --long=30 -T0", "", x SUBSEP "-" SUBSEP "zstd-c", 1)
    row(lab, "zstd -d --long=30", "", x SUBSEP "-" SUBSEP "zstd-d", 0)
    row(lab, "dupcut -z \\| zstd -1", "100 (default)", x SUBSEP "default" SUBSEP "pipe-e", 1)
    row(lab, "zstd -d \\| dupcut -d", "100 (default)", x SUBSEP "default" SUBSEP "pipe-d", 0)
    for (d = 1; d <= nd; d++) {
      dl = dv[d] == "default" ? "100 (default)" : dv[d]
      row(lab, "dupcut -z", dl, x SUBSEP dv[d] SUBSEP "normal-e", 1)
      row(lab, "dupcut -d", dl, x SUBSEP dv[d] SUBSEP "normal-d", 0)
      row(lab, "scalar -z", dl, x SUBSEP dv[d] SUBSEP "scalar-e", 1)
      row(lab, "scalar -d", dl, x SUBSEP dv[d] SUBSEP "scalar-d", 0)
    }
  }
  print ""
  print "## Ratios within a round"
  print ""
  print "| input | div | dupcut -z / md5sum | dupcut -d / md5sum | dupcut -d / zstd -d | dupcut -z / scalar -z | dupcut -d / scalar -d |"
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

  # ---- targets: default parameters, medians of the within-round ratios ----
  nt = 7
  # Encoding: 2 x md5sum on two threads or more, 1 x on one.
  eneed = threads >= 2 ? 2 : 1
  tname[1] = sprintf("encode ≥ %d × md5sum", eneed)
  tname[2] = "decode ≥ 3 × md5sum"
  tname[3] = "decode ≥ 1.5 × zstd -d --long=30"
  tname[4] = "dupcut -z \\| zstd -1 ≥ 1 × zstd -1 --long=30 -T0"
  tname[5] = "zstd -d \\| dupcut -d ≥ 2 × zstd -d --long=30"
  tname[6] = sprintf("encode peak RSS − table < %d MiB", 16 * threads)
  tname[7] = sprintf("decode peak RSS − touched window < %d MiB", 16 * threads)
  print ""
  print "## Targets"
  print ""
  print "Default parameters (divisor 100, 256 MiB table, 1024 MiB window), " tnote "; ratios are medians"
  print "of the within-round ratios (min..max over the rounds in the detail); memory targets are the"
  print "median peak RSS less the table (encode: sized to the input as the option form does, at most"
  print "256 MiB) or the part of the window the data reaches, the smaller of the input and 1024 MiB"
  print "(decode), with 16 MiB allowed per thread."
  print ""
  print "| target | input | median | detail |"
  print "| --- | --- | --- | --- |"
  npass = nmiss = 0
  for (k = 1; k <= ninputs; k++) {
    x = order[k]
    md5 = x SUBSEP "-" SUBSEP "md5sum"; zc = x SUBSEP "-" SUBSEP "zstd-c"; zd = x SUBSEP "-" SUBSEP "zstd-d"
    e = x SUBSEP "default" SUBSEP "normal-e"; dd = x SUBSEP "default" SUBSEP "normal-d"
    pe = x SUBSEP "default" SUBSEP "pipe-e"; pd = x SUBSEP "default" SUBSEP "pipe-d"
    s = pr(e, md5) prc(e, md5); r0 = m; times(e)
    target(1, x, r0, eneed, 1, s sprintf("; dupcut wall %.3f s, user %.3f, sys %.3f (%s)", tw, tu, ts, tb))
    s = pr(dd, md5) prc(dd, md5); r0 = m; times(dd)
    target(2, x, r0, 3, 1, s sprintf("; dupcut wall %.3f s, user %.3f, sys %.3f (%s)", tw, tu, ts, tb))
    s = pr(dd, zd) prc(dd, zd); r0 = m; times(zd)
    target(3, x, r0, 1.5, 1, s (r0 == "" ? "" : sprintf("; zstd -d wall %.3f s, user %.3f, sys %.3f (%s)", tw, tu, ts, tb)))
    s = pr(pe, zc); r0 = m; d1 = ""
    if (r0 != "") {
      stat(pe, "out"); po = m; stat(zc, "out"); zo = m
      times(pe); d1 = sprintf("; pipeline wall %.3f s, user %.3f, sys %.3f (%s)", tw, tu, ts, tb)
      times(zc); d1 = d1 sprintf(", zstd wall %.3f s, user %.3f, sys %.3f (%s)", tw, tu, ts, tb)
      d1 = d1 "; sizes " mb(po) " against " mb(zo)
      psize[x] = po; zsize[x] = zo
    }
    target(4, x, r0, 1, 1, s d1)
    s = pr(pd, zd); r0 = m; d1 = ""
    if (r0 != "") { times(pd); d1 = sprintf("; pipeline wall %.3f s, user %.3f, sys %.3f (%s)", tw, tu, ts, tb) }
    target(5, x, r0, 2, 1, s d1)
    stat(e, "rss")
    # The table the option form sizes to an input of this size (4 slots of 20
    # bytes per 163-byte chunk, whole MiB, at most 256).
    tbl = int(((int(size[x] / 163) + 1) * 80 + 1048575) / 1048576); if (tbl > 256) tbl = 256
    if (m != "") { r = m; target(6, x, r - tbl, 16 * threads, 0, sprintf("peak %.1f MiB (%.1f..%.1f), table %d MiB", r, lo, hi, tbl)) }
    else target(6, x, "", 0, 0, "–")
    stat(dd, "rss")
    win = size[x] / 1048576 < 1024 ? size[x] / 1048576 : 1024
    if (m != "") { r = m; target(7, x, r - win, 16 * threads, 0, sprintf("peak %.1f MiB (%.1f..%.1f), window %.0f MiB", r, lo, hi, win)) }
    else target(7, x, "", 0, 0, "–")
  }
  if (have_zstd != 1) print "\nzstd is not installed: the targets against zstd and the pipelines are left out."

  # The summary: one line per target, one column per input.
  hdr = "| target |"; sep = "| --- |"
  for (k = 1; k <= ninputs; k++) { hdr = hdr " " order[k] " |"; sep = sep " ---: |" }
  # The inputs in words: their size when they share one, and where from.
  sz = ""
  for (k = 1; k <= ninputs; k++) {
    if (sz == "") sz = size[order[k]]
    else if (sz != size[order[k]]) sz = "mixed"
  }
  insize = sz == "mixed" ? "inputs of several sizes" : fmt(sz / 1048576) " MiB inputs"
  from = kinds == "" ? "given files" : "`bench/gen.cc`" (nfiles > 0 ? " and given files" : "")
  print "Targets on " insize ", medians of " runs " rounds, default parameters, " tnote ":" > targets
  print "" > targets
  targets_table(targets)
  print "" > targets
  printf "%d PASS, %d MISS. Ratios: the larger the better; RSS rows: MiB above the table or window.\n", npass, nmiss > targets
  printf "Load average (1 min) before the runs: %s..%s.\n", loadlo, loadhi > targets
  if (have_zstd != 1) print "–: zstd is not installed, so nothing against it was measured." > targets
  if (have_zstd == 1) {
    print "" > targets
    print "| sizes | " substr(hdr, 12) > targets
    print sep > targets
    line = "| zstd -1 --long=30 -T0 |"
    for (k = 1; k <= ninputs; k++) line = line " " (order[k] in zsize ? mb(zsize[order[k]]) : "–") " |"
    print line > targets
    line = "| dupcut -z \\| zstd -1 |"
    for (k = 1; k <= ninputs; k++) line = line " " (order[k] in psize ? mb(psize[order[k]]) : "–") " |"
    print line > targets
    line = "| dupcut -z alone |"
    for (k = 1; k <= ninputs; k++) line = line " " (esize[order[k]] > 0 ? mb(esize[order[k]]) : "–") " |"
    print line > targets
  }

  # ---- the README block ----
  print "Measured with `" cmd "` (dupcut " version ", commit " rev ", " today ") on a " machine \
    ", " tnote ". MB/s of wall time over the unencoded bytes, medians of " runs " rounds; ratios are taken" \
    " within each round, then the median. The " insize " come from " from " and are read from the page cache;" \
    " decoders write to /dev/null. Load average (1 min) before the runs: " loadlo ".." loadhi "." \
    " Regenerate with `make bench`, which writes this block to `build/bench/readme_table.md`." > readme
  print "" > readme
  print "| input | dupcut -z | dupcut -d | md5sum | zstd -1 --long=30 -T0 | zstd -d --long=30 | dupcut -z \\| zstd -1 | zstd -d \\| dupcut -d | out/in dupcut | size zstd / dupcut+zstd |" > readme
  print "|---|---:|---:|---:|---:|---:|---:|---:|---:|---:|" > readme
  for (k = 1; k <= ninputs; k++) {
    x = order[k]
    line = "| " x " |"
    split("default,normal-e default,normal-d -,md5sum -,zstd-c -,zstd-d default,pipe-e default,pipe-d", cols, " ")
    for (j = 1; j <= 7; j++) {
      split(cols[j], dk, ",")
      line = line " " (stat(x SUBSEP dk[1] SUBSEP dk[2], "mbs") == "" ? "–" : fmt(m)) " |"
    }
    stat(x SUBSEP "default" SUBSEP "normal-e", "ratio")
    line = line " " (m == "" ? "–" : sprintf("%.3f", m)) " |"
    line = line " " (x in psize ? mb(zsize[x]) " / " mb(psize[x]) : "–") " |"
    print line > readme
  }
  print "" > readme
  print "Targets (" tnote "; RSS rows: MiB above the table or the window the data reaches):" > readme
  print "" > readme
  targets_table(readme)
  print "" > readme
  print "What bounds each figure: median wall / user / system seconds, and whether the run waited on its own" \
    " computing (user), on the kernel (sys: fresh pages, pipes, copies) or on something else (wait: other load," \
    " or the other side of a pipe)." > readme
  print "" > readme
  print "| input | dupcut -z | dupcut -d | dupcut -z \\| zstd -1 | zstd -d \\| dupcut -d |" > readme
  print "|---|---|---|---|---|" > readme
  for (k = 1; k <= ninputs; k++) {
    x = order[k]
    line = "| " x " |"
    split("normal-e normal-d pipe-e pipe-d", cols, " ")
    for (j = 1; j <= 4; j++) {
      b = times(x SUBSEP "default" SUBSEP cols[j])
      line = line " " (b == "" ? "–" : sprintf("%.2f / %.2f / %.2f %s", tw, tu, ts, b)) " |"
    }
    print line > readme
  }

  # The divisors, smallest first, on the first input.
  if (nd > 1) {
    x = order[1]; n = 0
    for (d = 1; d <= nd; d++) { n++; dn[n] = dv[d] == "default" ? 100 : dv[d] + 0; dk2[dn[n]] = dv[d] }
    sortn(dn, n)
    print "" > readme
    print "The chunk divisor on `" x "` (`--chunk`; default table and window):" > readme
    print "" > readme
    print "| CHUNKDIV | out/in | dupcut -z MB/s | dupcut -d MB/s |" > readme
    print "|---:|---:|---:|---:|" > readme
    for (j = 1; j <= n; j++) {
      key = x SUBSEP dk2[dn[j]] SUBSEP "normal-"
      line = "| " dn[j] " |"
      line = line " " (stat(key "e", "ratio") == "" ? "–" : sprintf("%.3f", m)) " |"
      line = line " " (stat(key "e", "mbs") == "" ? "–" : fmt(m)) " |"
      line = line " " (stat(key "d", "mbs") == "" ? "–" : fmt(m)) " |"
      print line > readme
    }
  }

  # Plot data: the first divisor against the peers.
  for (k = 1; k <= ninputs; k++) {
    x = order[k]
    line = x
    split("normal-e normal-d", ours, " ")
    for (j = 1; j <= 2; j++) { stat(x SUBSEP dv[1] SUBSEP ours[j], "mbs"); line = line "\t" (m == "" ? 0 : m) "\t" (lo == "" ? 0 : lo) "\t" (hi == "" ? 0 : hi) }
    split("-,md5sum -,cat -,zstd-c -,zstd-d default,pipe-e default,pipe-d", peers, " ")
    for (j = 1; j <= 6; j++) {
      split(peers[j], dk, ",")
      stat(x SUBSEP dk[1] SUBSEP dk[2], "mbs"); line = line "\t" (m == "" ? 0 : m) "\t" (lo == "" ? 0 : lo) "\t" (hi == "" ? 0 : hi)
    }
    print line > plot
  }

  print ""
  print "## Runs"
  print ""
  print "Every run in the order made, with the memory state just before it."
  print ""
  print "| input | div | program | round | wall s | user s | sys s | RSS MiB | MemFree GiB | Cached GiB | load |"
  print "| --- | --- | --- | ---: | ---: | ---: | ---: | ---: | ---: | ---: | ---: |"
  for (i = 1; i <= nlog; i++) print runlog[i]
}' "$tmp/esizes" "$raw" >> "$results"

# The targets go before the detail in the file, and alone to standard output.
{
  head -n "$(grep -n -m1 '^## ' "$results" | cut -d: -f1)" "$results" | sed '$d'
  echo "## Summary"
  echo
  cat "$outdir/targets.txt"
  echo
  sed -n "$(grep -n -m1 '^## ' "$results" | cut -d: -f1),\$p" "$results"
} > "$tmp/results.md"
mv "$tmp/results.md" "$results"

# ---- plot ----
div1=${DIVS%% *}
[ "$div1" != default ] || div1="100 (default)"
if ! command -v gnuplot >/dev/null; then
  say "run.sh: gnuplot is not installed (apt-get install gnuplot-nox): no plot"
elif ! gnuplot <<EOF; then
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
set label 1 "medians in MB/s above the bars\nscalar path: same binary,\nDUPCUT_PATH=byte (not plotted)" at screen 0.80, screen 0.55 font ",9"
w(j) = (j - 3.5) / 10.0
plot "$plotdat" using 2:3:4:xtic(1) title "dupcut -z" lc rgb "#1f5fa8", \
     "" using 5:6:7 title "dupcut -d" lc rgb "#6fa8dc", \
     "" using 8:9:10 title "md5sum" lc rgb "#999999", \
     "" using 11:12:13 title "cat >/dev/null" lc rgb "#dddddd", \
     "" using 14:15:16 title "zstd -1 --long=30 -T0" lc rgb "#c0504d", \
     "" using 17:18:19 title "zstd -d --long=30" lc rgb "#f2a09e", \
     "" using 20:21:22 title "dupcut -z | zstd -1" lc rgb "#38761d", \
     "" using 23:24:25 title "zstd -d | dupcut -d" lc rgb "#93c47d", \
     for [j=0:7] "" using (\$0 + w(j)):(column(4 + 3 * j)):(sprintf("%.0f", column(2 + 3 * j))) \
        with labels offset 0,0.6 font ",8" notitle
EOF
  say "run.sh: gnuplot failed: no plot"
  rm -f "$outdir/throughput.png"
fi
plotted=""
[ ! -f "$outdir/throughput.png" ] || plotted=1

say "wrote $results, $outdir/readme_table.md, $raw${plotted:+ and $outdir/throughput.png}"
say "generated inputs kept in $data for the next run ($(du -sm "$data" | cut -f1) MiB)"
say ""
cat "$outdir/targets.txt"
if [ "${BENCH_SMALL:-1}" = 1 ]; then
  say ""
  BUILD=$BUILD bash "$root/bench/small.sh" | tee "$outdir/small.txt"
fi
if [ "${BENCH_ZSTD:-1}" = 1 ] && [ $have_zstd = 1 ]; then
  say ""
  BUILD=$BUILD ZSTD_MIB=$MIB bash "$root/bench/zstd.sh" | tee "$outdir/zstd.txt"
fi
