#!/bin/bash
# A person at a terminal: the progress line appears, is redrawn and is gone
# at the end, the summary is there; with standard error in a file, neither.
set -euo pipefail
bin=$(realpath "$1")
gen=$2
tmp=$(mktemp -d)
sess=dupcut-term-$$
trap 'tmux kill-session -t "$sess" 2>/dev/null || true; rm -rf "$tmp"' EXIT

# MiB through the byte route: enough for it to run past the second after
# which the line shows speed and time left, and redraw that.
mib=${3:-300}
{ "$gen" || true; } | head -c $((mib << 20)) > "$tmp/big"
tmux new-session -d -s "$sess" -x 160 -y 24 "bash --norc --noprofile"
tmux send-keys -t "$sess" "cd $tmp && PS1='$ ' && clear" Enter
sleep 0.5
# The byte-at-a-time route keeps the run long enough for several redraws.
tmux send-keys -t "$sess" "DUPCUT_PATH=byte $bin e big big.dc; echo EXIT=\$?" Enter

screen() { tmux capture-pane -p -t "$sess"; }
seen=()
for _ in $(seq 1 1200); do
  s=$(screen)
  line=$(grep -o 'dupcut: read [^%]*%), [0-9.]* MiB/s, [0-9]*% done' <<<"$s" || true)
  [ -n "$line" ] && seen+=("$line")
  grep -q '^EXIT=' <<<"$s" && break
  sleep 0.05
done
s=$(screen)
echo "$s"
grep -q '^EXIT=0' <<<"$s" || { echo "FAIL: run did not finish with 0"; exit 1; }
[ ${#seen[@]} -ge 1 ] || { echo "FAIL: no progress line seen"; exit 1; }
distinct=$(printf '%s\n' "${seen[@]}" | sort -u | wc -l)
echo "progress lines seen: ${#seen[@]}, distinct: $distinct"
[ "$distinct" -ge 2 ] || { echo "FAIL: progress line never redrawn"; exit 1; }
if grep -q '% done' <<<"$s"; then echo "FAIL: progress line left on screen"; exit 1; fi
grep -Eq "^dupcut: $mib\\.0 MiB -> "'.* \([0-9.]+%\), .* in repeated chunks, [0-9.]+ s, [0-9.]+ MiB/s$' <<<"$s" ||
  { echo "FAIL: no summary line"; exit 1; }
grep -q "^sum=$((mib << 20)) " <<<"$s" || { echo "FAIL: statistics line missing"; exit 1; }

# Standard error redirected: no status line, no summary, nothing at all.
tmux send-keys -t "$sess" "clear; $bin e big big2.dc 2>err.txt; echo EXIT2=\$?" Enter
for _ in $(seq 1 1200); do grep -q '^EXIT2=' <<<"$(screen)" && break; sleep 0.05; done
grep -q '^EXIT2=0' <<<"$(screen)" || { echo "FAIL: second run"; exit 1; }
[ ! -s "$tmp/err.txt" ] || { echo "FAIL: standard error not empty:"; cat "$tmp/err.txt"; exit 1; }
# 30 columns: the line fits a row, so redraws leave no wrapped rows behind.
tmux resize-window -t "$sess" -x 30 -y 24
tmux send-keys -t "$sess" "clear; DUPCUT_PATH=byte $bin e big big3.dc; echo EXIT3=\$?" Enter
narrow=0
for _ in $(seq 1 1200); do
  s=$(tmux capture-pane -p -J -t "$sess")
  p=$(grep -E '% done|MiB/s' <<<"$s" | grep -v -- '->' || true)
  [ -n "$p" ] && narrow=$((narrow + 1))
  if awk 'length($0) > 29 { bad = 1 } END { exit !bad }' <<<"$p"; then
    echo "FAIL: progress line wider than 29 columns:"; echo "$p"; exit 1
  fi
  grep -q '^EXIT3=' <<<"$s" && break
  sleep 0.05
done
grep -q '^EXIT3=0' <<<"$s" || { echo "FAIL: 30-column run"; exit 1; }
[ "$narrow" -ge 1 ] || { echo "FAIL: no progress line seen at 30 columns"; exit 1; }
if grep -Eq '% done|read [0-9]' <<<"$s"; then echo "FAIL: progress rows left at 30 columns:"; echo "$s"; exit 1; fi
echo "terminal behaviour ok"
