// The proximity choice: atoms of a second selection lying near a first one.
#pragma once

#include "command/kova.hpp"

namespace kova {

// Reads sel1 selection, sel2 selection and dist d up to end from the command
// input and fills flags[1..natom]: 1 for every atom of the first set and for
// every atom of the second set closer than d (strictly) to some atom of the
// first set, 0 for all others. An incomplete request leaves every flag 0.
void prox(Kova& k, Arr1<int, maxatm>& flags);

}  // namespace kova
