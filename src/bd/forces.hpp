// Systematic forces on the subunits of Brownian dynamics: screened Coulomb
// forces between subunit charges, the force of molecule 1's potential grid
// (or of its Debye-Hueckel far field), and the intra- and inter-unit bond,
// angle, dihedral, excluded-volume and side-chain/solvent terms.
//
// Positions and forces are flat 0-based arrays, pos[3*i + c] for global
// subunit i + 1; parameters are read from the unit store. Nothing here
// allocates, so the routines can run in the step loop of each trajectory.
#pragma once

#include <span>

#include "elec/grid.hpp"
#include "molecule/store.hpp"

namespace kova {

// What went wrong in a force evaluation: coincident subunits of a pair, a
// bond, an angle arm or a dihedral arm shorter than 0.0001 A.
struct ForceFault {
    enum Kind { none, pair, interunit, bond, angle, dihedral } kind = none;
    int i = 0, j = 0;  // global subunit numbers
    float value = 0;   // the squared distance or length found
};

// Energies of the terms (internal units), summed over the calls that add to them.
struct ForceEnergies {
    double bond = 0, angle = 0, nnnb = 0, exv = 0, sol = 0, exviu = 0, soliu = 0;
};

// Screened Coulomb forces between charged subunits (|q| > 0.0001) that are
// not fixed and lie in different units or at least three apart in one:
// F = q_i q_j exp(-kappa r)/(4 pi epsout r^3) (r_i - r_j).
void felec(const MoleculeStore& m, float kappa, float epsout, std::span<const float> pos, std::span<float> frc);

// The force of molecule 1 on a charge q at p: the trilinear interpolation of
// the potential's central differences inside the grid (when the grid holds
// a potential, use_grid), else by bcfl the single-sphere (1) or per-atom (2)
// Debye-Hueckel field, else none.
void grid_force(const GridStore& g, const MoleculeStore& m, float kappa, float epsout, float q, const float p[3],
                float f[3], bool use_grid = true);

// The intra-unit terms of unit n (bonds, angles, nearest-neighbour
// dihedrals, excluded volume, side-chain/solvent). Returns the first fault.
ForceFault clcfrc(const MoleculeStore& m, int n, std::span<const float> pos, std::span<float> frc, ForceEnergies& e);

// The excluded-volume and side-chain/solvent terms between the subunits of
// the two units of every inter-unit pair.
ForceFault iunfrc(const MoleculeStore& m, std::span<const float> pos, std::span<float> frc, ForceEnergies& e);

// Excluded-volume and side-chain/solvent energy and radial derivative dE/dr
// at distance r (used by the forces and by the dihedral coefficients).
void exv_energy(float eval, float rexv, float r, double& e, double& dedr);
void sol_energy(float sval, float rsol, float r, double& e, double& dedr);

}  // namespace kova
