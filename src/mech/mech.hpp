// Molecular mechanics: the topology reader, the non-bonded list with its
// grid interaction term, and generalized-Born solvation.
#pragma once

#include <string>

#include "command/kova.hpp"

namespace kova {

// Command drivers.
void rdtop(Kova& k);   // rdtop file NAME [new|old] [mol N] end
void nblist(Kova& k);  // nblist [cut atombase|resbase d] [cdie|rdie v] ... end
void gbndrv(Kova& k);  // gbn [init|calc] [pdie|sdie|temp v] [sele ...] ... end

// Builds the pair list from the working coordinates xd, yd, zd: lresb 0
// atom-based (every pair closer than cutnb), 1 residue-based (whole residue
// pairs whose reference points are closer). Writes the count line.
void maknbl(Kova& k, float cutnb, int lresb);
// Residues of the loaded atoms for the residue-based list: a new residue at
// the first atom of every molecule and wherever the residue number changes;
// the reference point of each is its centre of geometry.
void reslim(Kova& k);
// Prepares the grid interaction term over the atoms that are not real; box
// drawing written to boxfil unless it begins with "none". False when no
// grid was built (the term is then off).
bool makgrid(Kova& k, const std::string& boxfil);
// Grid interaction energy of the live real atoms at xd, yd, zd into the four
// grid slots, and unless nofrc its forces into frc.
void egrid(Kova& k);

// Generalized Born, phase by the mode word: init computes the volumes and
// the single-atom terms, calc (or blank) the Born radii and the energy into
// its slot. False when refused (after the message).
bool egbn(Kova& k);

}  // namespace kova
