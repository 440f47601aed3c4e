// Diffusing units of Brownian dynamics: the subunit-definition editor, the
// construction of subunits from the atoms and the defaults of a new unit.
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

// Defaults of a newly built unit n.
void udef(Kova& k, int n);

}  // namespace kova
