#!/usr/bin/env bash
# Multigrid (solv 2) against incomplete Cholesky (solv 1) on barnase at
# 65^3, 97^3, 129^3 and 161^3 points over the same 64 A box (1, 2/3, 1/2
# and 0.4 A): interior 2, solvent 78.54, probe surface, Debye-Hueckel
# boundary; needs the large-grid build (cmake --preset bigrid).
#
# Iterations to conv 1e-6 (maxi 1000) with 150 mM salt, without salt, and
# for the full nonlinear equation. Then times: the set-up alone (elec ...
# setu) and set-up plus solve (calc), each the median of three runs, with 1
# and 2 threads (OMP_NUM_THREADS); wall-clock and CPU (user + system)
# seconds from /usr/bin/time, the solve as calc less setu. Per grid point
# and per iteration: the solve's wall time divided by points x iterations.
# The machine may be shared: compare wall against CPU time to see how much
# of it the runs had.
#
#   bench/bench_mg.sh [KOVA]      (default build/bigrid/kova)
#   QUICK=1 bench/bench_mg.sh     one run per time instead of three
set -eu
here=$(cd "$(dirname "$0")" && pwd)
kova=${1:-$here/../build/bigrid/kova}
[ -x "$kova" ] || { echo "bench_mg: no large-grid build at $kova (cmake --preset bigrid)" >&2; exit 1; }
repeats=3
[ "${QUICK:-0}" = 1 ] && repeats=1
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT
cp "$here/../examples/barnase.qcrd" "$work/"
cd "$work"
sizes="65:1.0 97:0.666667 129:0.5 161:0.4"

deck() {  # deck DIME GRID "EXTRA KEYWORDS" SOLV ACTION
  printf 'read mol 1 qcard file barnase.qcrd end\n'
  printf 'elec mol1 cent grid %s dime %s %s %s pdie 2.0 sdie 78.54 nmap 1.4\n' "$2" "$1" "$1" "$1"
  printf '%s bcfl 2 solv %s maxi 1000 %s end\nstop\n' "$3" "$4" "$5"
}

iterations() {  # the iteration count of a solve's listing
  awk -F: '/Iterations required/ {gsub(/ /, "", $2); print $2}' "$1"
}

# One timed run: "wall cpu" seconds.
timed() {  # timed THREADS DECKFILE
  if ! OMP_NUM_THREADS=$1 /usr/bin/time -f "%e %U %S" -o time.txt "$kova" < "$2" > run.out; then
    echo "bench_mg: run failed" >&2
    tail -20 run.out >&2
    exit 1
  fi
  awk '{printf "%.3f %.3f\n", $1, $2 + $3}' time.txt
}

# Median over the repeats of wall and of CPU.
median_of() {  # median_of THREADS DECKFILE
  for r in $(seq "$repeats"); do timed "$1" "$2"; done |
    sort -n -k1,1 | awk -v n="$repeats" '{w[NR]=$1; c[NR]=$2} END {m=int((n+1)/2); printf "%.3f %.3f\n", w[m], c[m]}'
}

# The load of the machine (1, 5 and 15 minutes) before and after: on shared
# cores a load above the number of cores leaves wall times unreliable.
echo "load before: $(cut -d' ' -f1-3 /proc/loadavg) on $(nproc) cores"
echo "Iterations to conv 1e-6 (barnase, 64 A box, probe surface, interior 2)"
printf '%-8s %8s | %10s %10s %10s | %10s\n' grid h "mg 150mM" "mg 0mM" "mg full" "ic 150mM"
for s in $sizes; do
  n=${s%%:*}; h=${s##*:}
  row=""
  for extra in "ions 150.0 rion 2.0" "ions 0.0" "ions 150.0 rion 2.0 full"; do
    deck "$n" "$h" "$extra" 2 "calc" > it.inp
    OMP_NUM_THREADS=2 "$kova" < it.inp > it.out
    row="$row $(printf '%10s' "$(iterations it.out)")"
  done
  deck "$n" "$h" "ions 150.0 rion 2.0" 1 "calc" > it.inp
  OMP_NUM_THREADS=2 "$kova" < it.inp > it.out
  printf '%-8s %8s |%s | %10s\n' "${n}^3" "$h" "$row" "$(iterations it.out)"
done

echo
echo "Times in seconds, 150 mM (median of $repeats; wall / CPU)"
printf '%-7s %-3s %-3s | %15s %15s %15s | %9s %9s\n' grid sol thr "set-up" "set-up+solve" "solve" "ns/pt/it" "speed-up"
for s in $sizes; do
  n=${s%%:*}; h=${s##*:}
  points=$((n * n * n))
  deck "$n" "$h" "ions 150.0 rion 2.0" 2 "setu" > setu.inp
  for t in 1 2; do median_of "$t" setu.inp > "setu.$t"; done
  for solv in 1 2; do
    deck "$n" "$h" "ions 150.0 rion 2.0" "$solv" "calc" > calc.inp
    OMP_NUM_THREADS=1 "$kova" < calc.inp > it.out
    its=$(iterations it.out)
    for t in 1 2; do
      median_of "$t" calc.inp > "calc.$solv.$t"
      read -r sw sc < "setu.$t"
      read -r cw cc < "calc.$solv.$t"
      read -r c1w c1c < "calc.$solv.1"
      awk -v n="${n}^3" -v so="$solv" -v t="$t" -v sw="$sw" -v sc="$sc" -v cw="$cw" -v cc="$cc" \
          -v p="$points" -v it="$its" -v c1w="$c1w" 'BEGIN {
            vw = cw - sw; vc = cc - sc; if (vw < 0) vw = 0; if (vc < 0) vc = 0
            printf "%-7s %-3s %-3s | %7.2f/%-7.2f %7.2f/%-7.2f %7.2f/%-7.2f | %9.1f %9.2f\n",
                   n, so, t, sw, sc, cw, cc, vw, vc, 1e9 * vw / (p * it), c1w / cw }'
    done
    cp "calc.$solv.1" "best.$n.$solv"
  done
  read -r icw icc < "best.$n.1"
  read -r mgw mgc < "best.$n.2"
  read -r sw sc < "setu.1"
  awk -v n="${n}^3" -v icw="$icw" -v mgw="$mgw" -v sw="$sw" 'BEGIN {
        printf "        %s, 1 thread: multigrid against incomplete Cholesky %.2fx (set-up+solve), %.2fx (solve)\n",
               n, icw / mgw, (mgw - sw > 0 ? (icw - sw) / (mgw - sw) : 0) }'
done
echo "load after: $(cut -d' ' -f1-3 /proc/loadavg)"
