// Diffusion tensors of Brownian dynamics: the diagonal relative diffusion of
// each subunit and molecule 1, the Oseen and modified Oseen couplings
// between subunits, the Cholesky factor and the correlated random
// displacements drawn with it, and the closed forms of one and two
// subunits.
#pragma once

#include <array>
#include <span>

#include "bd/random.hpp"
#include "molecule/store.hpp"

namespace kova {

inline constexpr int maxdof = 3 * maxsub;  // coordinates of all subunits

// What the tensor needs to know of each subunit and unit, copied from the
// unit store at run start (0-based subunit index i = global subunit - 1).
struct HydroModel {
    int n = 0;                             // subunits
    float hifac = 0;                       // kT/(8*pi*svis), A**3/ps
    float rad1 = 0;                        // radius of molecule 1, A
    std::array<float, maxsub> a{};         // hydrodynamic radii
    std::array<int, maxsub> unit{};        // owning unit (1-based)
    std::array<int, maxdfu + 1> himod{};   // per unit: 0 none, 1 Oseen, 2 modified Oseen
    std::array<float, maxdfu + 1> hibc{};  // per unit boundary factor
    // Inter-unit pairs in definition order: units, model and boundary factor.
    int npair = 0;
    std::array<int, maxiup> pu1{}, pu2{}, pmod{};
    std::array<float, maxiup> pbc{};
};

// Fills the model from the unit store.
HydroModel hydro_model(const MoleculeStore& m, float hifac, float rad1);

// The dense tensor (row-major, maxdof by maxdof; only the leading 3n by 3n
// block is used) and its lower Cholesky factor.
struct Tensor {
    std::array<float, maxdof * maxdof> d{};
    std::array<float, maxdof * maxdof> l{};
    float& at(int r, int c) { return d[r * maxdof + c]; }
    float at(int r, int c) const { return d[r * maxdof + c]; }
};

// Clears the model's block of the tensor and sets its diagonal:
// (1/a_i + 1/rad1)*hifac/hibc.
void iniqmt(const HydroModel& h, Tensor& t);

// Coefficients A (of the unit matrix) and B (of r r^T) of the block of two
// subunits at separation r (|r| = dist) under model (1 Oseen, 2 modified
// Oseen) with boundary factor bc; returns true when the spheres overlap with
// unequal radii under the modified Oseen model.
bool pair_coefficients(int model, float hifac, float rad1, float bc, float ai, float aj, float dist, float& A,
                       float& B);

// The full tensor for the subunits marked active (all when active is empty),
// positions pos[3*i+c]. Returns the number of overlapping pairs of unequal
// radii under the modified Oseen model (the caller reports them).
int calcq(const HydroModel& h, std::span<const float> pos, std::span<const unsigned char> active, Tensor& t);

// Cholesky factor of the leading 3n block: t.l = L with L L^T = D. Returns
// false (L undefined) when the tensor is not positive definite; the row
// where that showed is then stored in failed_row when given.
bool cholesky(Tensor& t, int n3, int* failed_row = nullptr);

// Correlated random displacements: out[i] = sum over k <= i of L_ik g_k with
// g_k Gaussian deviates times sqdt drawn from the stream.
void calcss(const Tensor& t, int n3, RandomState& rs, const GaussTable& g, float sqdt, std::span<float> out);

// One subunit: three independent displacements sqrt(D_11)*g*sqdt.
void clcqsm(const Tensor& t, RandomState& rs, const GaussTable& g, float sqdt, std::span<float> out);

// Two subunits: the 6x6 tensor stored in t, and the random displacements
// from its block factorisation. Returns true when the two overlap with
// unequal radii under the modified Oseen model.
bool clcqsd(const HydroModel& h, std::span<const float> pos, Tensor& t, RandomState& rs, const GaussTable& g,
            float sqdt, std::span<float> out);

}  // namespace kova
