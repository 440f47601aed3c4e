#!/usr/bin/env bash
# Checks that kova ends with the exit statuses the README documents: for each
# documented code a deck that must end with it, the status returned to the
# shell, and the "exit status" line of the termination report.
#
#   exit_status.sh KOVA README
set -u
kova=$(cd "$(dirname "$1")" && pwd)/$(basename "$1")
readme=$(cd "$(dirname "$2")" && pwd)/$(basename "$2")
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT
cd "$work"

# The codes listed in the README's table of exit statuses.
documented=$(sed -n '/^## Exit status/,/^## /p' "$readme" | grep -oE '^\| [0-9]+ \|' | grep -oE '[0-9]+' | tr '\n' ' ')

declare -A deck
deck[0]=$'assi x = 1 end\nstop\n'
deck[1]=$'frob\nstop\n'                                  # SERIOUS at the start-up abort level
deck[2]=$'if 0 then\nmc\n'                               # FATAL: kvif(000) unexpected end of file.
deck[3]=$'dime a x end\nstop\n'                          # a wrong value in batch mode
deck[4]=''                                               # no input reaches an internal failure

passed=0 failed=0
for code in $documented; do
  [ "$code" = 4 ] && continue
  if [ -z "${deck[$code]+x}" ]; then
    echo "code $code is documented but has no deck here"; failed=$((failed + 1)); continue
  fi
  printf '%s' "${deck[$code]}" | "$kova" > out.txt 2> err.txt
  status=$?
  shown=$(grep -E '^  exit status             :' out.txt | awk '{print $NF}')
  ok=1
  [ "$status" = "$code" ] || { echo "code $code: kova returned $status"; ok=0; }
  grep -q '^KOVA termination$' out.txt || { echo "code $code: no termination report"; ok=0; }
  if [ "$code" = 0 ]; then
    [ -z "$shown" ] || { echo "code 0: the report shows an exit status"; ok=0; }
  else
    [ "$shown" = "$code" ] || { echo "code $code: the report shows '$shown'"; ok=0; }
  fi
  if [ $ok = 1 ]; then passed=$((passed + 1)); else failed=$((failed + 1)); fi
done
for code in 0 1 2 3 4; do
  case " $documented " in *" $code "*) ;; *) echo "code $code is not documented in the README"; failed=$((failed + 1)) ;; esac
done
echo "exit status: $passed passed, $failed failed"
[ $failed = 0 ]
