// Diffusing units of Brownian dynamics: the subunit-definition and
// force-field editors, the construction of subunits from the atoms and the
// defaults of a new unit.
#pragma once

#include <string>
#include <vector>

#include "command/kova.hpp"

namespace kova {

// The subunit-definition editor (edit suni ... end). Returns false when the
// definition was refused and nothing was changed.
bool sedit(Kova& k);

// Builds the subunits ifsub..ilsub of unit n from their atom ranges (charge,
// centre by the unit's centre type, residue name) and lists them.
void spdb(Kova& k, int n);

// Lists the subunits of unit n.
void prtsub(Kova& k, int n);
// The same lines as records.
std::vector<std::string> subunit_records(const MoleculeStore& m, int n);

// The force-field editor of one unit (edit funi ... end): bonds, angles,
// excluded-volume and side-chain/solvent terms, constraints, charges and
// hydrodynamics. Returns false when a value was refused and nothing changed.
bool uedit(Kova& k);

// Lists the terms and per-subunit parameters of unit n.
void prtunit(Kova& k, int n);

// The unit-pair editor (edit fiun num n, then per pair two unit numbers
// and its terms up to end; end): the pairs given replace the earlier ones.
// Returns false when a value was refused and nothing changed.
bool iuedit(Kova& k);

// Lists the interactions of the unit pairs.
void prtiun(Kova& k);

// Defaults of a newly built unit n.
void udef(Kova& k, int n);

// The chain editor (edit genc ... end): generates the subunit coordinates of
// one unit from bond lengths, bond angles and dihedrals, or reads those of
// every unit from a restart file. Returns false when a value was refused and
// nothing changed.
bool gencrd(Kova& k);

// The position of the fourth subunit of a dihedral from the three before it
// (ri, rj, rk): bond length d from rk, bond angle t at rk, dihedral p.
void genat4(const double ri[3], const double rj[3], const double rk[3], double d, double t, double p, double out[3]);

// Coefficients of the nearest-neighbour dihedral energy of each dihedral of
// unit n: a fourth-degree polynomial in cos(phi) fitted to the
// excluded-volume and side-chain/solvent energy of the dihedral's end
// subunits at equilibrium bonds and angles.
void predih(Kova& k, int n);

}  // namespace kova
