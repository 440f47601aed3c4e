#!/bin/bash
# Runs hbmatch on two real structures split in two and checks its pair counts
# and files against a count made here, independently, in awk.
#   hbmatch_real.sh HBMATCH DATA_DIR
set -euo pipefail
hbmatch=$(realpath "$1")
data=$2
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT
fail() { echo "FAIL: $*" >&2; exit 1; }

# Classes by atom name (columns 14-16), alternate location (17) and residue
# name (18-20); prints "ordinal kind x y z" for each donor (D) and acceptor
# (A) among the ATOM records of a file.
classify='
/^ATOM/ {
  n++
  name = substr($0, 14, 3); alt = substr($0, 17, 1); res = substr($0, 18, 3)
  if (alt != " ") next
  stem = substr(res, 1, 2)
  don = name == "N  " || (name == "SG " && stem == "CY") ||
        ((name == "NE2" || name == "ND1") && stem == "HI") ||
        (res == "LYS" && name == "NZ ") || (res == "ASN" && name == "ND2") ||
        (res == "GLN" && name == "NE2") || (res == "SER" && name == "OG ") ||
        (res == "ARG" && (name == "NH1" || name == "NH2" || name == "NZ ")) ||
        (res == "TYR" && name == "OH ") || (res == "TRP" && name == "NE1")
  acc = name == "O  " || (name == "SG " && stem == "CY") || (name == "ND1" && stem == "HI") ||
        (res == "ASP" && (name == "OD1" || name == "OD2")) ||
        (res == "GLU" && (name == "OE1" || name == "OE2")) ||
        (res == "MET" && name == "SD ") || (res == "ASN" && name == "OD1") ||
        (res == "GLN" && name == "OE1") || (res == "SER" && name == "OG ") ||
        (res == "THR" && name == "OG1") || (res == "TYR" && name == "OH ")
  xyz = substr($0, 31, 8) " " substr($0, 39, 8) " " substr($0, 47, 8)
  if (don) print n, "D", xyz
  if (acc) print n, "A", xyz
}'

# Pairs of kind k1 in list 1 and k2 in list 2 within the cutoff; prints
# "tested found" and fails when a distance lies too near the cutoff to tell.
count_pairs() {
  awk -v k1="$3" -v k2="$4" -v cut="$5" '
    FILENAME == ARGV[1] { if ($2 == k1) { n1++; x1[n1] = $3; y1[n1] = $4; z1[n1] = $5 } next }
    $2 == k2 { n2++; x2[n2] = $3; y2[n2] = $4; z2[n2] = $5 }
    END {
      for (i = 1; i <= n1; i++) for (j = 1; j <= n2; j++) {
        d = sqrt((x1[i]-x2[j])^2 + (y1[i]-y2[j])^2 + (z1[i]-z2[j])^2)
        if (d <= cut) found++
        if (d - cut < 1e-4 && cut - d < 1e-4) { print "tie"; exit 1 }
      }
      print n1 * n2, found + 0
    }' "$1" "$2"
}

# Runs one case: folder with 1.pdb, 2.pdb; cutoff.
check_case() {
  local dir=$1 cut=$2
  echo "$cut" > "$dir/da.distance"
  (cd "$dir" && "$hbmatch" > listing) || fail "hbmatch status $? in $dir"
  awk "$classify" "$dir/1.pdb" > "$dir/1.classes"
  awk "$classify" "$dir/2.pdb" > "$dir/2.classes"

  read -r tested_ad found_ad < <(count_pairs "$dir/1.classes" "$dir/2.classes" A D "$cut")
  read -r tested_da found_da < <(count_pairs "$dir/1.classes" "$dir/2.classes" D A "$cut")
  [ "$found_ad" -gt 0 ] && [ "$found_da" -gt 0 ] || fail "$dir: no pairs to compare"
  grep -qx " *$found_ad  out of possible *$tested_ad  acc-don pairs found" "$dir/listing" ||
    fail "$dir: expected $found_ad of $tested_ad acc-don pairs: $(grep acc-don "$dir/listing")"
  grep -qx " *$found_da  out of possible *$tested_da  don-acc pairs found" "$dir/listing" ||
    fail "$dir: expected $found_da of $tested_da don-acc pairs: $(grep don-acc "$dir/listing")"

  local total=$((found_ad + found_da))
  [ "$(wc -l < "$dir/1.rxna")" -eq "$total" ] || fail "$dir: 1.rxna line count"
  [ "$(wc -l < "$dir/2.rxna")" -eq "$total" ] || fail "$dir: 2.rxna line count"
  [ "$(grep -vc '^#' "$dir/fort.99")" -eq "$total" ] || fail "$dir: fort.99 pair count"

  # Line k of each pair file is the ATOM record (columns 1-30) whose ordinal
  # the k-th listing line names, with the listing's coordinates and 0.00;
  # the listed distance is the one between the two records' coordinates.
  awk '
    function atoms(file, store,   l, n) {
      while ((getline l < file) > 0) if (l ~ /^ATOM/) store[++n] = l
    }
    BEGIN { atoms(ARGV[1], a1); atoms(ARGV[2], a2)
            while ((getline l < ARGV[3]) > 0) r1[++k1] = l
            while ((getline l < ARGV[4]) > 0) r2[++k2] = l
            ARGV[1] = ARGV[2] = ARGV[3] = ARGV[4] = "" }
    /^#/ { next }
    {
      k++
      p = a1[substr($0, 1, 5) + 0]; q = a2[substr($0, 47, 5) + 0]
      if (r1[k] != substr(p, 1, 30) substr($0, 6, 24) "  0.00") { print "1.rxna line " k; bad = 1 }
      if (r2[k] != substr(q, 1, 30) substr($0, 52, 24) "  0.00") { print "2.rxna line " k; bad = 1 }
      if (substr(p, 31, 24) != substr($0, 6, 24) || substr(q, 31, 24) != substr($0, 52, 24)) {
        print "coordinates of pair " k; bad = 1 }
      dx = substr(p, 31, 8) - substr(q, 31, 8); dy = substr(p, 39, 8) - substr(q, 39, 8)
      dz = substr(p, 47, 8) - substr(q, 47, 8); d = sqrt(dx * dx + dy * dy + dz * dz)
      if (sprintf("%7.3f", -d) != substr($0, 38, 7)) { print "distance of pair " k; bad = 1 }
    }
    END { exit bad }' "$dir/1.pdb" "$dir/2.pdb" "$dir/1.rxna" "$dir/2.rxna" "$dir/fort.99" ||
    fail "$dir: pair files and listing disagree"
  echo "$dir: $found_ad acc-don of $tested_ad, $found_da don-acc of $tested_da"
}

# An amyloid fibril (NMR, one model): chains A and B stack in register.
mkdir "$work/fibril"
awk '/^(ATOM|TER)/ && substr($0, 22, 1) == "A"' "$data/2BEG.pdb" > "$work/fibril/1.pdb"
awk '/^(ATOM|TER)/ && substr($0, 22, 1) == "B"' "$data/2BEG.pdb" > "$work/fibril/2.pdb"
check_case "$work/fibril" 3.5
# The serine 26 hydroxyls, once as acceptor-donor and once as donor-acceptor.
og1=$(awk '/^ATOM/ { n++ } /^ATOM.* OG  SER/ { print n }' "$work/fibril/1.pdb")
og2=$(awk '/^ATOM/ { n++ } /^ATOM.* OG  SER/ { print n }' "$work/fibril/2.pdb")
[ "$(awk -v a="$og1" -v b="$og2" '/^#/ { s++ } !/^#/ && substr($0,1,5)+0 == a &&
      substr($0,47,5)+0 == b { print s }' "$work/fibril/fort.99" | tr '\n' ' ')" = "1 2 " ] ||
  fail "serine OG pair not in both sweeps"

# A crystal structure cut between residues 185 and 186, header, HETATM
# (selenomethionine, water) and TER records kept in place.
mkdir "$work/capsid"
awk '!/^(ATOM|HETATM)/ || substr($0, 23, 4) + 0 <= 185' "$data/1A8O.pdb" > "$work/capsid/1.pdb"
awk '/^(ATOM|HETATM)/ && substr($0, 23, 4) + 0 > 185' "$data/1A8O.pdb" > "$work/capsid/2.pdb"
check_case "$work/capsid" 3.5

echo "all cases passed"
