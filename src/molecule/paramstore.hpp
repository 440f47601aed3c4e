// The atomic parameter database held for the whole run.
#pragma once

#include <string>

#include "molecule/store.hpp"

namespace kova {

// The atomic database (qramr, qrami, qramc). Entries and equivalences are
// 1-based; after sorting, position k of the name arrays belongs to entry
// perm[k] in file order, whose numbers sit in the column arrays at perm[k].
struct ParamStore {
    Arr1<float, maxqtb> chrg{}, radi{}, epsi{}, sigm{}, alph{}, mass{}, eden{}, lja{}, ljc{};
    std::string setname = "opls";
    Arr1<Name4, maxqtb> resnam{}, atnam{};
    Arr1<Name4, maxeqv> eqsres{}, eqsatm{}, eqtres{}, eqtatm{};
    Arr1<int, maxqtb> perm{};
    Arr1<int, maxeqv> eqperm{};
    int nentry = 0;
    int nequiv = 0;
    int unit = 12;
    std::string fileread;  // the file the database was last read from
};

}  // namespace kova
