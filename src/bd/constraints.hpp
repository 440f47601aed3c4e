// Distance constraints between subunits of Brownian dynamics: the mobility
// shares of the two subunits of each constraint, and the correction that
// restores the constraint lengths after a move.
#pragma once

#include <array>
#include <span>

#include "molecule/store.hpp"

namespace kova {

struct ConstraintSet {
    int n = 0;
    std::array<int, maxcon> p{}, q{};        // 0-based subunit indices
    std::array<float, maxcon> d0{}, sh1{}, sh2{};
    std::array<int, maxcon> mode{};          // 1 first order, 2 line of centres, 0 none
    float toler = 0;                         // tolerance in use, A
};

// The constraints of the unit store with their shares (cconst) and the
// correction each uses: run-wide line of centres or first order, else the
// correction type of the unit of the first subunit. A tolerance below what
// single precision can hold (1e-5 of the length) is raised to it.
ConstraintSet cconst(const MoleculeStore& m, bool focor, bool loccor);

struct ConstraintResult {
    int corrections = 0;     // constraints corrected, over all sweeps
    bool converged = true;   // every constraint within the tolerance
};

// Corrects the trial positions (cnstrn) in sweeps over the constraints until
// every length is within the tolerance, at most max_sweeps sweeps;
// cur holds the accepted positions (the first-order correction's direction).
ConstraintResult cnstrn(const ConstraintSet& c, std::span<const float> cur, std::span<float> trial, int max_sweeps = 1000);

}  // namespace kova
