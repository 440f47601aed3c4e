#!/usr/bin/env bash
# Brownian-dynamics runs with independent streams give the same listing and
# files on 1 and 2 threads and on 1 and 2 MPI processes (the CPU times and
# the thread and process counts masked); and a process built with other
# limits stops every process with a message instead of hanging.
#
#   mpi_runs.sh KOVA HAVE_MPI DECK.inp [OTHER_KOVA]
#
# HAVE_MPI is ON when kova was built with MPI; OTHER_KOVA, when it exists, is
# a kova built with other limits (the larger-grid build). Exits 77 (skipped)
# without MPI.
set -u
export LC_ALL=C
kova=$1
have_mpi=$2
deck=$3
other=${4:-}
if [ "$have_mpi" != "ON" ]; then echo "kova was built without MPI: skipped"; exit 77; fi
if ! command -v mpirun >/dev/null; then echo "no mpirun: skipped"; exit 77; fi
# Test machines run as root; Open MPI refuses that unless told.
export OMPI_ALLOW_RUN_AS_ROOT=1 OMPI_ALLOW_RUN_AS_ROOT_CONFIRM=1
# Open MPI keeps allocations to the end of the process by design; under the
# sanitizer build the leak check would report them as ours.
mpi=(env "ASAN_OPTIONS=${ASAN_OPTIONS:-}:detect_leaks=0" mpirun --oversubscribe)

dir=$(cd "$(dirname "$deck")" && pwd)
name=$(basename "$deck" .inp)
deck="$dir/$name.inp"
kova=$(realpath "$kova")
if [ -n "$other" ] && [ -x "$other" ]; then other=$(realpath "$other"); fi
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT
fail=0

run() {  # run NAME command...: the deck in a fresh folder, listing masked
  local n=$1
  shift
  mkdir -p "$work/$n"
  if [ -d "$dir/$name.files" ]; then cp -rL "$dir/$name.files/." "$work/$n/"; fi
  (cd "$work/$n" && timeout 120 "$@" < "$deck" > .stdout 2> .stderr; echo $? > .status)
  sed -E -e 's/^(  date\/time               : ).*/\1<date> <time>/' \
         -e 's/^(  total CPU seconds       : ).*/\1<cpu>/' \
         -e 's/^(   Runs spread over (threads, one stream per run|processes) +:).*/\1 <count>/' \
         "$work/$n/.stdout" > "$work/$n/.masked"
}

run t1 env OMP_NUM_THREADS=1 "$kova"
run t2 env OMP_NUM_THREADS=2 "$kova"
run r1 env OMP_NUM_THREADS=1 "${mpi[@]}" -np 1 "$kova"
run r2 env OMP_NUM_THREADS=1 "${mpi[@]}" -np 2 "$kova"
run r2t2 env OMP_NUM_THREADS=2 "${mpi[@]}" -np 2 "$kova"

grep -q "Runs spread over processes  *: *2$" "$work/r2/.stdout" || { echo "2 ranks: the listing does not say 2 processes"; fail=1; }
for n in t2 r1 r2 r2t2; do
  [ "$(cat "$work/$n/.status")" = "$(cat "$work/t1/.status")" ] || { echo "$n: exit status $(cat "$work/$n/.status")"; fail=1; }
  if ! diff -u "$work/t1/.masked" "$work/$n/.masked" > "$work/$n.diff"; then
    echo "$n: the listing differs from one thread's:"; head -40 "$work/$n.diff"; fail=1
  fi
  if [ -s "$work/$n/.stderr" ]; then echo "$n: standard error:"; cat "$work/$n/.stderr"; fail=1; fi
  for f in $(cd "$work/t1" && ls); do
    cmp -s "$work/t1/$f" "$work/$n/$f" || { echo "$n: file $f differs"; fail=1; }
  done
done

# A process built with other limits: every process stops, with a message.
if [ -n "$other" ] && [ -x "$other" ]; then
  run mix env OMP_NUM_THREADS=1 "${mpi[@]}" -np 1 "$kova" : -np 1 "$other"
  status=$(cat "$work/mix/.status")
  if [ "$status" = 0 ] || [ "$status" = 124 ]; then echo "mixed limits: exit status $status"; fail=1; fi
  grep -q "FATAL: bd (005) a process of this run was built with other limits" "$work/mix/.stdout" ||
    { echo "mixed limits: no FATAL bd (005) in the listing"; tail -20 "$work/mix/.stdout"; fail=1; }
  grep -q "kova: process 1 cannot take its runs: built with maxgrd" "$work/mix/.stderr" ||
    { echo "mixed limits: process 1 did not say why"; cat "$work/mix/.stderr"; fail=1; }
else
  echo "no kova with other limits at '$other': the mixed-limits case not run"
fi
[ "$fail" = 0 ] && echo "same listing and files on 1 and 2 threads and 1 and 2 processes"
exit $fail
