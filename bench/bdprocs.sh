#!/usr/bin/env bash
# Trajectories per second of the main association example (barstar on
# barnase's potential, 20 mM) with one random stream per run, on 1 and 2
# threads and on 1 and 2 MPI processes (when kova was built with MPI and
# mpirun is present). The time of the set-up (reading, the potential) is
# measured alone and taken off.
#
#   bench/bdprocs.sh [KOVA]      (default: build/release/kova)
set -eu
here=$(cd "$(dirname "$0")" && pwd)
kova=$(realpath "${1:-$here/../build/release/kova}")
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT
cp "$here/../examples/barnase.qcrd" "$here/../examples/barstar.qcrd" "$work/"
nrun=8 ntraj=125
setup='read mol 1 qcard file barnase.qcrd end
read mol 2 qcard file barstar.qcrd end
edit suni iflx 1 end
edit funi iflx 1 hrid 16.0 end
elec mol1 cent grid 2.0 dime 65 65 65 pdie 2.0 sdie 78.54 ions 20.0
  rion 2.0 bcfl 1 calc end'
printf '%s\nstop\n' "$setup" > "$work/setup.inp"
printf '%s\nbd rad1 18.0 srad 12.0 bsurf 50.0 qsurf 100.0 psurf 50.0 delt 1.0\n  vtim 3 60.0 1.0 80.0 2.0 100.0 4.0 indrnd\n  nrun %d ntraj %d defrxn 1 1 1577 1 22.0 calc end\nstop\n' \
  "$setup" $nrun $ntraj > "$work/bd.inp"
export OMPI_ALLOW_RUN_AS_ROOT=1 OMPI_ALLOW_RUN_AS_ROOT_CONFIRM=1

calc() { awk "BEGIN { print $1 }"; }
secs() {  # wall seconds of a command, run in the scratch folder
  local t0 t1
  t0=$(date +%s.%N)
  (cd "$work" && rm -f kova_den.srf* && "$@" > last.out 2>&1)
  t1=$(date +%s.%N)
  calc "$t1 - $t0"
}
best() {  # the shortest of three
  local b="" t
  for _ in 1 2 3; do
    t=$(secs "$@")
    if [ -z "$b" ] || [ "$(calc "($t < $b) ? 1 : 0")" = 1 ]; then b=$t; fi
  done
  echo "$b"
}

base=$(best env OMP_NUM_THREADS=1 sh -c "'$kova' < setup.inp")
ntot=$((nrun * ntraj))
printf '%-24s %10s %14s %12s\n' "case" "bd (s)" "trajectories/s" "efficiency"
one=""
row() {  # row LABEL WORKERS SETUP_SECONDS command...
  local label=$1 workers=$2 setup=$3
  shift 3
  local t rate eff
  t=$(calc "$(best "$@") - $setup")
  rate=$(calc "$ntot / $t")
  if [ -z "$one" ]; then one=$rate; fi
  eff=$(calc "100 * $rate / ($one * $workers)")
  printf '%-24s %10.2f %14.1f %11.0f%%\n' "$label" "$t" "$rate" "$eff"
}
row "1 thread" 1 "$base" env OMP_NUM_THREADS=1 sh -c "'$kova' < bd.inp"
row "2 threads" 2 "$base" env OMP_NUM_THREADS=2 sh -c "'$kova' < bd.inp"
if command -v mpirun >/dev/null && grep -q "libmpi" <(ldd "$kova" 2>/dev/null; echo); then
  # The set-up under mpirun includes starting the processes.
  for np in 1 2; do
    s=$(best env OMP_NUM_THREADS=1 sh -c "mpirun --oversubscribe -np $np '$kova' < setup.inp")
    row "$np process(es) (mpirun)" $np "$s" env OMP_NUM_THREADS=1 sh -c "mpirun --oversubscribe -np $np '$kova' < bd.inp"
  done
else
  echo "(kova built without MPI or no mpirun: process rows left out)"
fi
echo "set-up alone (reading, the potential; with mpirun also the start of the processes) subtracted;"
echo "$ntot trajectories in $nrun runs; efficiency = rate / (workers x the 1-thread rate)"
