#!/usr/bin/env bash
# Runs the association example in the current folder (a scratch copy of
# examples/), collects its three rate constants into association.dat, and
# plots them against the ionic strength as association.png when gnuplot is
# installed.
set -eu
kova=${1:?usage: association.sh path/to/kova}
"$kova" < association.inp > association.out
# The k lines of the three rate boxes, in the deck's order: 20 mM, 300 mM,
# force off. Columns: ionic strength (mM), k and its error (1/(M s)).
awk '/\* k             =/ { n++; k[n] = $4; e[n] = $6 }
     END {
       if (n != 3) { print "association.sh: expected 3 rate constants, found " n > "/dev/stderr"; exit 1 }
       printf "# ionic strength (mM)  k (1/(M s))  error\n"
       printf "20 %s %s\n300 %s %s\n\n\n", k[1], e[1], k[2], e[2]
       printf "# force off\n20 %s %s\n300 %s %s\n", k[3], e[3], k[3], e[3]
     }' association.out > association.dat
cat association.dat
if command -v gnuplot > /dev/null; then
  gnuplot association.gp
  echo "association.png written"
else
  echo "note: gnuplot is not installed; association.png not drawn (apt-get install gnuplot-nox)"
fi
