#!/usr/bin/env bash
# Runs one deck through kova in a fresh folder and compares what it printed
# with the expected listing.
#
#   run_deck.sh KOVA DECK.inp            compare with DECK.out
#   run_deck.sh KOVA DECK.inp --regen    rewrite DECK.out (review with git diff)
#
# Files in DECK.files/ are copied into the folder first (stream files, data).
# The compared text is standard output with the date, time and CPU seconds
# masked, then the exit status, standard error, and the names of the files
# the run created.
set -u
export LC_ALL=C  # stable sorting and matching whatever the caller's locale
kova=$1
deck=$2
mode=${3:-}
dir=$(cd "$(dirname "$deck")" && pwd)
name=$(basename "$deck" .inp)
expected="$dir/$name.out"

work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT
if [ -d "$dir/$name.files" ]; then cp -rL "$dir/$name.files/." "$work/"; fi
before=$(cd "$work" && ls -A | LC_ALL=C sort)

(cd "$work" && timeout 60 "$kova" < "$deck" > "$work/.stdout" 2> "$work/.stderr"; echo $? > "$work/.status")

actual="$work/.actual"
{
  sed -E -e 's/^(  date\/time               : ).*/\1<date> <time>/' \
         -e 's/^(  total CPU seconds       : ).*/\1<cpu>/' \
         -e 's/^(  CPU seconds increment   : ).*/\1<cpu>/' \
         -e 's#^(   Database file read  *:).*/share/kova/qtable.dat$#\1<installed>/share/kova/qtable.dat#' \
         "$work/.stdout"
  echo "--- exit status: $(cat "$work/.status")"
  if [ -s "$work/.stderr" ]; then
    echo "--- standard error:"
    cat "$work/.stderr"
  fi
  after=$(cd "$work" && ls -A | grep -v "^\." | LC_ALL=C sort)
  created=$(comm -13 <(printf '%s\n' "$before") <(printf '%s\n' "$after") | grep -v '^$')
  if [ -n "$created" ]; then
    echo "--- files created:"
    printf '%s\n' "$created"
  fi
} > "$actual"

if [ "$mode" = "--regen" ]; then
  cp "$actual" "$expected"
  echo "wrote $expected"
  exit 0
fi
if [ ! -f "$expected" ]; then
  echo "no expected output $expected; run with --regen and review it"
  cat "$actual"
  exit 1
fi
diff -u "$expected" "$actual"
