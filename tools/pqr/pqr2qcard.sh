#!/usr/bin/env bash
# Converts a charge-and-radius structure (ATOM records: serial, atom name,
# residue name, chain, residue number, x, y, z, charge, radius, separated by
# blanks) into a charge card that `read ... qcard` accepts: one line
#   atom resnum resnam atnam x y z charge radius
# per atom, the numbers copied as they stand. Usage: pqr2qcard.sh IN > OUT
set -eu
awk -v src="$(basename "$1")" '
BEGIN { print "! charge card converted from " src }
$1 == "ATOM" || $1 == "HETATM" {
    if (NF < 11) { printf "pqr2qcard: line %d has %d fields\n", NR, NF > "/dev/stderr"; bad = 1; exit 1 }
    printf "atom %5d %-4s %-4s %9s %9s %9s %8s %7s\n", $6, $4, $3, $7, $8, $9, $10, $11
}
END { if (!bad) print "end" }' "$1"
