// The atom classes of molecular mechanics: real (explicit) atoms, the
// others being represented by the grid interaction term, and live (mobile)
// atoms.
#pragma once

#include "command/kova.hpp"

namespace kova {

// Command drivers.
void realatom(Kova& k);  // real [sele ...|prox ...] [resbase dist d] [not] end
void live(Kova& k);      // live [sele ...|prox ...|usereal] [not] end

}  // namespace kova
