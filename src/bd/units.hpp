// Diffusing units of Brownian dynamics: the subunit-definition and
// force-field editors, the construction of subunits from the atoms and the
// defaults of a new unit.
#pragma once

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

}  // namespace kova
