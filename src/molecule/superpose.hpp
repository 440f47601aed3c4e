// Least-squares superposition of two sets of points (the Kabsch rotation
// found from the eigenvectors of the 6 x 6 matrix [[0, U], [U^T, 0]]), and
// the rms and lsqfit commands that compare molecule 1 with a stored
// reference conformation over the atom permutations of its symmetries.
#pragma once

#include <vector>

#include "command/kova.hpp"

namespace kova {

// Outcome of one fit.
struct FitResult {
    bool ok = false;         // false: the U matrix determinant is zero, nothing rotated
    bool converged = true;   // the diagonalisation ended within its rotation limit
    double det = 0;          // determinant of U
    double rms = 0;          // RMS deviation after the fit (A)
    double v[4][4] = {};     // x = R y + t: rotation R in v[0..2][0..2], t in v[0..2][3]
};

// Moves the n points y (x, y, z of point 1 first) onto the fixed points x by
// the proper rotation and translation of least squared deviation. y holds
// the moved points afterwards (unchanged when the fit fails).
FitResult Fit(int n, const double* x, double* y);

// Combinations of the basic symmetries of a molecule: each basic symmetry
// is a set of disjoint cycles of one length (its order).
struct Symmetry {
    int order = 2;
    std::vector<std::vector<int>> cycles;  // atom numbers, 1-based
};

// The permutation of combination (j_1, ..., j_n) of the symmetries for
// atoms 1..natom: perm[i] is the reference atom compared with atom i
// (perm[0] unused). Applying symmetry s j times moves every atom of each
// of its cycles j positions along the cycle.
void symmetry_permutation(const std::vector<Symmetry>& syms, const std::vector<int>& j, int natom,
                          std::vector<int>& perm);

// Command drivers.
void rms(Kova& k);     // rms [file NAME] end
void lsqfit(Kova& k);  // lsqfit [norotate|rotate] [symmetry n ...] end

}  // namespace kova
