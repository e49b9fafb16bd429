#!/bin/bash
# Bash completion: the script parses, completes options, offers only .dc
# and .dc.zst streams (and folders) once a decoding mode is on the line, and all files
# otherwise.
set -euo pipefail
script=$1
bash -n "$script"
tmp=$(mktemp -d)
trap 'rm -rf "$tmp"' EXIT
cd "$tmp"
touch a.dc b.tar 'c d.dc' e.dc.zst
mkdir sub
# shellcheck source=/dev/null
source "$script"
set +e  # compopt fails outside a real completion, as it may

fail=0
check() {  # expected replies joined by '|', then the words of the line
  local want=$1
  shift
  COMP_WORDS=("$@")
  COMP_CWORD=$(($# - 1))
  _dupcut
  local got
  got=$(printf '%s\n' "${COMPREPLY[@]}" | LC_ALL=C sort | paste -sd'|')
  [ "$got" = "$want" ] || { echo "FAIL: '$*' -> '$got', want '$want'"; fail=1; }
}
check 'a.dc|c d.dc|e.dc.zst|sub' dupcut -d ''
check 'a.dc|c d.dc|e.dc.zst|sub' dupcut -q --test -- ''
check 'a.dc|b.tar|c d.dc|e.dc.zst|sub' dupcut -ofoo.d ''
check 'a.dc|b.tar|c d.dc|e.dc.zst|sub' dupcut -qf ''
check 'a.dc|b.tar|c d.dc|e.dc.zst|sub' dupcut d ''
check 'a.dc|c d.dc|e.dc.zst|sub' dupcut -z -qd ''
check 'a.dc|b.tar|c d.dc|e.dc.zst|sub' dupcut -d --encode ''
check 'a.dc|b.tar|c d.dc|e.dc.zst|sub' dupcut -d -o ''
check '--verbose|--verify|--version' dupcut -T 2 --ver
check '--window=' dupcut --wi
check '' dupcut -M ''
check '--zstd|--zstd=' dupcut --zs
exit $fail
