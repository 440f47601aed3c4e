#!/bin/bash
# sitescan as a shell filter: its one number feeds the next command, and its
# failures reach the pipeline's status.
#   sitescan_pipeline.sh SITESCAN
set -uo pipefail
sitescan=$(realpath "$1")
fail() { echo "FAIL: $*" >&2; exit 1; }

listing() {
  printf 'reaction sites of run 1\n'
  printf '## of sites:%5d\n' 4
  printf '# site      x        y      dphi     q\n# ----\n'
  printf '%5d %8.3f %8.3f %8.3f %8.3f\n' 1 1 2 0.25 0  2 1 2 -0.2 0  3 1 2 0.05 0  4 1 2 0 0
}

site=$(listing | "$sitescan" 0.25) || fail "status $?"
[ "$site" -eq 2 ] || fail "threshold 0.25 picked '$site', expected 2"
site=$(listing | "$sitescan" 0.1 | tr -d ' ') || fail "status $?"
[ "$site" = 3 ] || fail "threshold 0.1 picked '$site', expected 3"
out=$(listing | "$sitescan" 0) || fail "status $? when no site qualifies"
[ -z "$out" ] || fail "threshold 0 printed '$out'"

# Each site picked in turn, as a driver script would loop over thresholds.
picked=""
for t in 1 0.21 0.1 0.01; do picked="$picked $(listing | "$sitescan" $t)"; done
[ "$(echo $picked)" = "1 2 3 4" ] || fail "loop picked '$picked'"

# A failure reaches the pipeline's status, with nothing on standard output.
truncated=$(listing | head -n 5)
out=$(printf '%s\n' "$truncated" | "$sitescan" 0.001 2> /dev/null) && fail "truncated block accepted"
[ -z "$out" ] || fail "truncated block printed '$out'"
out=$("$sitescan" < /dev/null 2> /dev/null) && fail "missing threshold accepted"
echo "all cases passed"
