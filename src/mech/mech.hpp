// Molecular mechanics: the topology reader, the non-bonded list with its
// grid interaction term, generalized-Born solvation, and the energy and
// force evaluation of the force field.
#pragma once

#include <string>
#include <string_view>

#include "command/kova.hpp"

namespace kova {

// Command drivers.
void rdtop(Kova& k);   // rdtop file NAME [new|old] [mol N] end
void nblist(Kova& k);  // nblist [cut atombase|resbase d] [cdie|rdie v] ... end
void gbndrv(Kova& k);  // gbn [init|calc] [pdie|sdie|temp v] [sele ...] ... end
void energy(Kova& k);  // energy [anal|numer] [del d] [bnd|nbnd ...] [rdie v] ... end
void cons(Kova& k);    // cons [dihe n k deg] [impr i j k l k deg] [clear] ... end
void chkcns(Kova& k);  // check_cons: restrained angles into the variables impr, dihe

// One energy and force evaluation at xd, yd, zd: clears the energy slots
// (and frc unless nofrc), adds every enabled term, totals them and keeps the
// step bookkeeping (lowest energy, convergence and not-a-number tests).
// False when refused (coordinates that are not finite): the energies are
// then 0 and iconv is 2.
bool forces(Kova& k);
// An energy-term switch word (bnd ang dih imp vdw eel dbf qe, or the same
// with n in front) of the energy, em and md commands: sets it and says so.
bool term_word(EvalState& ev, std::string_view w);
// The terms, each adding its energy to its slot and (unless nofrc) its
// forces to frc, analytic or by central differences as lanal says.
void ebal(Kova& k);
void ebond(Kova& k);
void eangle(Kova& k);
void edihed(Kova& k);  // with the dihedral restraints
void eimpro(Kova& k);  // with the improper restraints
void epair(Kova& k);
void esrf(Kova& k);
// Poisson-Boltzmann solvation: a new grid solution when lpbnew is set (the
// energy and forces of the reaction field of the selected charges), else
// the energy extrapolated to first order from the last one. False when
// refused (after the message).
bool epb(Kova& k);
// Proper dihedral angle (rad) of atoms i, j, k, l from the molecule store's
// coordinates (crdflg 1) or from xd, yd, zd (crdflg 2). False, with the
// message, for an atom that is not assigned or a wrong crdflg.
bool dhdclc(Kova& k, int i, int j, int kk, int l, int crdflg, double& phi);
// Improper dihedral angle (rad) of four positions.
double cimpro(const double* ri, const double* rj, const double* rk, const double* rl);

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
