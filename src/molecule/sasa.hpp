// Per-atom accessible surface by sampling each atom's probe-expanded sphere
// on a grid of cos(theta) and phi values.
#pragma once

#include "command/kova.hpp"

namespace kova {

// Most neighbours one atom may have in the surface calculation.
constexpr int max_sas_neighbours = 200;

// Fills vdwsa and accsa of every chosen atom (flags[a] != 0, a = 1..natom)
// with its exposed contact and accessible area (A^2), probe radius srad,
// ncos values of cos(theta) and nphi of phi per sphere; only chosen atoms
// cover each other. Returns 0, or the first atom that has more than
// max_sas_neighbours neighbours (its areas and those after it are then 0).
int sasclc(MoleculeStore& m, const Arr1<int, maxatm>& flags, float srad, int ncos, int nphi);

}  // namespace kova
