// The atom selection language: sele reads an expression of terms and
// operators up to end from the command input and marks the chosen atoms.
#pragma once

#include <span>

#include "command/kova.hpp"

namespace kova {

// Fills flags[1..maxatm] with 1 for the selected atoms and 0 elsewhere
// (flags must hold maxatm+1 entries; flags[0] is left alone). Only loaded
// atoms, 1 to natom, can be selected: `not` and `thru` never reach the
// empty slots beyond them. Returns the number of atoms selected.
int sele(Kova& k, std::span<int> flags);

}  // namespace kova
