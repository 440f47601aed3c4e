// The print command: listings of chosen atoms, residues and molecules, and
// the electrostatics report.
#pragma once

#include "command/kova.hpp"

namespace kova {

// The command.
void prt(Kova& k);

}  // namespace kova
