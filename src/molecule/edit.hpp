// The edit command: sets, scales or shifts the charges and radii of chosen
// atoms, or re-assigns both from the atomic parameter database under another
// residue name; also the entry of the diffusing-unit editors.
#pragma once

#include "command/kova.hpp"

namespace kova {

// The command.
void edit(Kova& k);

}  // namespace kova
