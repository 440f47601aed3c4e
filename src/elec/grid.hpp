// The electrostatics grid store and the environment: the grid geometry, the
// ten single-precision maps of the finite-difference system, the settings of
// the elec command, and the surface-dot stores of the probe surface.
//
// Grid point (i, j, k), 1 <= i <= nx ..., lies at (xo + i h, yo + j h,
// zo + k h); maps are flat and 1-based, x fastest:
//   l = i + nx (j - 1) + nx ny (k - 1).
// The staggered permittivity maps hold epsi(i,j,k) at (i + 1/2, j, k),
// epsj at (i, j + 1/2, k), epsk at (i, j, k + 1/2); their last plane lies on
// the boundary face and holds 0.
#pragma once

#include <array>
#include <cstdint>
#include <string>
#include <vector>

#include "molecule/store.hpp"

namespace kova {

constexpr int maxgrid = maxgrd * maxgrd * maxgrd;  // points of the largest grid (274625)
constexpr int maxdot = 100000;                      // probe-surface dots
constexpr int maxsph = 5000;                        // points of a unit sphere
constexpr int maxnbr = 75;                          // neighbours per atom on the probe surface
constexpr int maxcub = 500;                         // atoms per search cube

// Internal units: energies in amu A^2/ps^2, permittivities in e^2 ps^2/(amu A^3).
constexpr float eps0 = 5.7277083e-7f;     // permittivity of a dielectric constant of 1
constexpr float gasconst = 0.83144647f;   // gas constant
constexpr float mm_to_density = 6.022e-7f;   // mM to ions per cubic Angstrom
constexpr float density_to_mm = 1660577.875f;
constexpr float vm_to_field = 9.64832e-7f;   // V/m to internal field units
constexpr float field_to_vm = 1036449.875f;

struct GridStore {
    GridStore();

    // messr
    float conv = 1.0e-6f;
    float rnorm = 0, bnorm = 0;
    float h = 1.25f;
    float xo = 0, yo = 0, zo = 0;
    float hsav = 0, xosav = 0, yosav = 0, zosav = 0;
    float hold = -9999.0f, xoold = -9999.0f, yoold = -9999.0f, zoold = -9999.0f;
    float hrep = 0, xorep = 0, yorep = 0, zorep = 0;
    std::vector<float> epsi, epsj, epsk, diagm, rhs, pvec, work, prec, phi, iacs;  // maxgrid+1 each
    // 1/prec of the incomplete Cholesky preconditioner, so that its sweeps
    // multiply where they would divide.
    std::vector<float> precinv;
    // The full equation: its constant vector b, kept while rhs turns into
    // the residual, and for Newton's method the step and the residual of
    // its linear solve (all three sized when first needed).
    std::vector<float> nlrhs, nlstep, nlres;
    float efld = 0;
    float dhrad = 0;
    float xcen = 0, ycen = 0, zcen = 0;
    float reff = 0;
    float qnet = 0;
    float rion = 0;
    float rsolv = 0;
    std::array<float, 6> energies{};
    float nltole = 0.1f;
    // What phi holds, for the reports that read it: a potential (solved,
    // analytic or read from a grid file) at all, and whether an analytic
    // potential has been computed at some elec command of the run.
    bool phiset = false;
    bool anasolved = false;

    // messi
    int nsel = 0;
    int nx = maxgrd, ny = maxgrd, nz = maxgrd;
    int nxy = maxgrd * maxgrd, nxyz = maxgrid;
    int nxold = -9999, nyold = -9999, nzold = -9999;
    int nxrep = 0, nyrep = 0, nzrep = 0;
    int nxsav = 0, nysav = 0, nzsav = 0;
    int maxits = 100;
    int iters = 0;
    int bcfl = 0;
    int solv = 1;
    // Threads for the grid work (thre): 0 to follow OMP_NUM_THREADS.
    int threads = 0;
    int igeom = 0;
    int iorig = 3;
    int ispac = -1;
    int idime = -1;
    Arr1<int, maxatm> isel{};
    int nsph = 200;
    int nonl = 0;
    int nlmaxi = 5;
    // State of the last solve: the full equation went on by Newton's
    // method; the solve failed and phi holds zeros, not a potential.
    bool newton = false;
    bool phibad = false;

    // messl, messl_temp
    bool smooth = true;
    bool anal = false;
    bool newmap = false;
    bool volu = false;
    bool smvdw = false;
    bool smprb = false;
    bool olds = false;
    std::array<bool, 2> energy_switches{};
    bool reps = false;
    bool samsrf = false;

    // Owner maps of the dielectric boundary (forcei2): per axis the atom or
    // dot whose surface crosses a staggered segment from below and from
    // above (0: none). Index: 0 x-lower, 1 x-upper, 2 y-lower, 3 y-upper,
    // 4 z-lower, 5 z-upper. 32-bit: after the probe correction they hold
    // dot numbers, which run up to maxdot (100000), beyond 16 bits.
    std::array<std::vector<std::int32_t>, 6> owner;

    // Probe-surface dots (forcer, forcei) and per-atom neighbour lists.
    int ndot = 0;
    std::vector<float> dotx, doty, dotz;  // 1..ndot
    std::vector<int> dotown;              // owning atom of each dot
    Arr1<int, maxatm> nnbr{};
    // nbr[a][0..nnbr(a)-1]: atoms that bury surface points of atom a.
    std::vector<std::array<std::int32_t, maxnbr>> nbr;  // 1..maxatm

    // Recomputes nxy and nxyz from the dimensions; both are 0 for
    // dimensions whose product an int cannot hold (no map can either).
    void update_counts();
    int index(int i, int j, int k) const { return i + nx * (j - 1) + nxy * (k - 1); }
};

// Truncation toward zero of a grid coordinate, clamped so that a position
// far off the grid (an unselected atom anywhere, a box of any size, a tiny
// spacing) cannot overflow an int; NaN goes to the low end. Every index made
// from it is then checked against the grid by its caller.
inline int itrunc(float v) {
    if (!(v > -1.0e9f)) return -1000000000;
    if (!(v < 1.0e9f)) return 1000000000;
    return static_cast<int>(v);
}
inline int itrunc(double v) {
    if (!(v > -1.0e9)) return -1000000000;
    if (!(v < 1.0e9)) return 1000000000;
    return static_cast<int>(v);
}

// Whether an nx x ny x nz grid has at least one point per axis and at most
// `capacity` points. The product is never formed where it could overflow:
// for positive integers a b <= c exactly when a <= c / b (integer division).
constexpr bool grid_fits(long long nx, long long ny, long long nz, long long capacity) {
    if (nx < 1 || ny < 1 || nz < 1 || capacity < 1) return false;
    if (nx > capacity / ny) return false;  // nx ny > capacity
    return nx * ny <= capacity / nz;       // nx ny nz <= capacity
}

// Whether the dimensions describe a grid the maps can hold.
inline bool fits_grid(const GridStore& g) {
    return grid_fits(g.nx, g.ny, g.nz, maxgrid) && g.nxy == g.nx * g.ny && g.nxyz == g.nxy * g.nz;
}

// What the electrostatics options of the print command keep from one print
// command to the next: the summed energy, the accumulated per-atom forces
// (internal units per Angstrom) and the saved potentials at the atoms.
struct ElecReport {
    double ensum = 0;
    Arr1<double, maxatm> fx{}, fy{}, fz{};
    Arr1<float, maxatm> phisite{};
    Arr1<int, maxatm> phiflag{};
};

// The environment (envconr and companions), shared with Brownian dynamics
// and the mechanics terms.
struct Environment {
    float epsint = 0;
    float epsout = 0;
    float kappa = 0;
    float pdie = 2.0f;
    float sdie = 78.0f;
    float cion = 0;
    float field7 = 0;  // owned by Brownian dynamics
    float temp = 300.0f;
    float field9 = 0, field10 = 0;
    float srfd = 0;      // surface dielectric constant
    float srfdeps = 0;   // its permittivity
    bool srfdgiven = false;  // the surface mode was switched on at some elec command
    std::string action = "calc";  // calc, setu or init
};

// Grid coordinates of a position: g = (x - xo)/h per axis, the cell indices
// (truncation toward zero) and the fractions g - i.
struct GridCoord {
    float gx, gy, gz;
    int i, j, k;
    float fx, fy, fz;
};
GridCoord xyzijk(float x, float y, float z, float h, float xo, float yo, float zo);
// Position of grid point (i, j, k).
std::array<float, 3> ijkxyz(const GridStore& g, int i, int j, int k);

}  // namespace kova
