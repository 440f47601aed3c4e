// The elec command and the routines that build and solve the
// finite-difference Poisson-Boltzmann system on the current grid.
#pragma once

#include "command/kova.hpp"

namespace kova {

// The command.
void eledrv(Kova& k);
// Defaults of every elec command.
void edef(Kova& k);
// The listing of the settings.
void eleban(Kova& k);
// Set-up (and, for calc/init, solve) on the current grid.
void elec(Kova& k);
// Initial maps: permittivity epsout everywhere but on the boundary faces.
void inigrd(Kova& k);
// Save and restore the grid geometry around a computation on another grid.
void pushms(Kova& k);
void popms(Kova& k);

// Boundary conditions and focusing.
void chkbox(Kova& k);
void bound(Kova& k);
// Adds, for each boundary point at distance r from (xc, yc, zc), the
// Debye-Hueckel potential q exp(kappa (a - r)) / (4 pi (1 + kappa a) r) to
// rhs at its interior neighbour.
void bcfl1(float xc, float yc, float zc, float q, float a, float kappa, int nx, int ny, int nz, float h, float xo,
           float yo, float zo, float* rhs);
// The same for many spheres (bcfl 2): the sum over the spheres in their
// order, point by point as bcfl1 called for each in turn would add it, with
// the lines of boundary points spread over the threads.
struct DhSphere {
    float x, y, z, q, a;
};
void bcfl_spheres(const std::vector<DhSphere>& sph, float kappa, int nx, int ny, int nz, float h, float xo, float yo,
                  float zo, float* rhs, int threads);
// Trilinear interpolation of a map of the given grid at (x, y, z); 0 outside
// the interpolation range.
float interp(const float* map, int nx, int ny, int nz, float h, float xo, float yo, float zo, float x, float y,
             float z);

// Dielectric, ion-exclusion and charge mapping.
void exclud(Kova& k);
void excr(Kova& k);
void excri(Kova& k, int atom);
void excrj(Kova& k, int atom);
void excrk(Kova& k, int atom);
// Probe-accessible surface dots of the selected atoms; returns the dot count.
int srsrf(Kova& k, int nsph, float rsolv);
// n points on the unit sphere (n in: requested; returns the number made).
int sphere(float* px, float* py, float* pz, int n);
void exsrf(Kova& k);
void exsrfi(Kova& k, int dot);
void exsrfj(Kova& k, int dot);
void exsrfk(Kova& k, int dot);
void excbd(Kova& k, int atom, float rion);
void excrc(Kova& k);
void charge(Kova& k);
// Whether the parameters a computation uses are set: the charge and radius
// of every atom flagged in sel and, with radii_all, the radius of every atom
// (the ion-exclusion spheres). Atoms still holding the unset marker (set
// never run, or no entry for them) or a value that is not a number are
// refused: "SERIOUS: <who> N atoms have no charge or radius ..." naming the
// first three; returns false after it (the run stops at the default level).
bool params_set(Kova& k, const Arr1<int, maxatm>& sel, bool radii_all, std::string_view who);
// Molecular volumes from the maps (printed when debug is on).
struct Volumes {
    double vi, vj, vk, vav, vion;
};
Volumes volumes(const Kova& k);

// Solvers: preconditioned conjugate gradients for A phi (+ t N(phi)) = b.
// State of the conjugate-gradient iteration kept from one call of pcg to
// the next: the step length, the direction update, the last r.z product
// and whether the next pass is the initialisation pass.
struct PcgState {
    double alpha = 1.0;
    double beta = 0.0;
    double rz = 0.0;
    bool init = true;
};
// Solves for phi with the preconditioner chosen by solv (0 diagonal
// scaling, 1 incomplete Cholesky); the full equation when nonl is -1.
void potent(Kova& k);
// One re-entry of the iteration. flag in: 0 start, 1 A p is ready in work,
// 2 the preconditioned residual z is ready in work; flag out: 1 compute
// A p (gqact), 2 apply the preconditioner to rhs into work, 3 finished.
void pcg(Kova& k, int& flag, PcgState& st);
// work = A pvec.
void gqact(GridStore& g);
// Diagonal scaling: prec = 1/diagm; work = prec rhs.
void indiag(GridStore& g);
void pcdiag(GridStore& g);
// Incomplete Cholesky without fill-in: its diagonal d into prec; work =
// M^-1 rhs with M = (D - E) D^-1 (D - E^T).
void iniccg(GridStore& g);
void pciccg(GridStore& g);

// Energies, forces and the analytic potential. Selection flags are 1-based,
// non-zero for a selected atom; energies are in internal units (amu A^2/ps^2),
// forces in internal units per Angstrom.

// Lattice Green's function of the seven-point operator at offsets (0,0,0),
// (1,0,0), (1,1,0), (1,1,1).
constexpr float lattice_g0 = 0.25273f, lattice_g1 = 0.086063f, lattice_g2 = 0.05519f, lattice_g3 = 0.043577f;
// Internal energy units to kcal/mol.
constexpr float to_kcal = 0.0023900573f;
// Effective distance (in spacings) of the lattice Coulomb interaction at
// offset (i, j, k): the table for offsets up to 10 on the longest axis,
// the Euclidean length beyond.
float deff(int i, int j, int k);
// Trilinear interpolation of phi in cell (i, j, k) at fractions (fx, fy,
// fz). A point one beyond the last plane of an axis is continued linearly
// from the last two planes; points farther off count 0.
float phi_get(const GridStore& g, int i, int j, int k, float fx, float fy, float fz);
// Potential at grid point (i, j, k) as phi_get reads it.
float phi_point(const GridStore& g, int i, int j, int k);
// 1/2 sum q phi(atom) over the selected atoms.
double nrgrho(Kova& k, const Arr1<int, maxatm>& sel);
// Grid self energy of the selected charges.
double self2(Kova& k, const Arr1<int, maxatm>& sel);
// Finite-difference Coulomb energy between the selected charges.
double fdcoul(Kova& k, const Arr1<int, maxatm>& sel);
// Charge-in-field forces on the selected atoms (others left unchanged).
void qefrc(Kova& k, const Arr1<int, maxatm>& sel, Arr1<float, maxatm>& fx, Arr1<float, maxatm>& fy,
           Arr1<float, maxatm>& fz);
// Finite-difference Coulomb forces between the selected atoms (all forces
// first set to 0).
void gfrc(Kova& k, const Arr1<int, maxatm>& sel, Arr1<float, maxatm>& fx, Arr1<float, maxatm>& fy,
          Arr1<float, maxatm>& fz);

// Dielectric boundary forces on the atoms owning the boundary segments (all
// forces first set to 0).
void dbfrc(Kova& k, Arr1<float, maxatm>& fx, Arr1<float, maxatm>& fy, Arr1<float, maxatm>& fz);
// Osmotic forces of the mobile ions on the ion-exclusion spheres of the
// selected atoms, from n points per sphere.
void ibfrc(Kova& k, int nsph, const Arr1<int, maxatm>& sel, Arr1<float, maxatm>& fx, Arr1<float, maxatm>& fy,
           Arr1<float, maxatm>& fz);
// Energy of the full nonlinear solution: the charges in the potential, less
// the field energy and the osmotic term of the mobile ions (inside the
// energy box of the print command when one is set).
double nrggrd(Kova& k);
// Reference potentials at an atom: the finite-difference Coulomb potential
// of all other atoms at its spread position, and its own lattice self
// potential.
double green1(Kova& k, int atom);
double green2(Kova& k, int atom);
// The electrostatics options of the print command for the selected atoms
// (option word as chosen there; nsph points per sphere for the ionic force).
void prtele(Kova& k, const std::string& option, int nsph, const Arr1<int, maxatm>& sel);

// The analytic potential of the atoms selected for elec: one spherical
// cavity (the selected atoms with a non-zero radius, all at one centre with
// one radius) or a uniform medium.
struct Cavity {
    float x = 0, y = 0, z = 0, a = 0;
};
// Messages already given during one analytic potential, so that each is
// printed once rather than at every grid point.
struct AnaState {
    bool kappa_warned = false;
    bool maxits_warned = false;
    std::vector<int> noted;  // atoms reported at the cavity boundary
};
// Finds the cavity of the selected atoms: 0 none, 1 one, 2 more than one.
int find_cavity(const Kova& k, const Arr1<int, maxatm>& sel, Cavity& cav);
void potana(Kova& k);
float anacav(Kova& k, float x, float y, float z, const Cavity& cav, AnaState& st);
float anauni(Kova& k, float x, float y, float z);
// Energy of the selected charges in the analytic potential, without the
// infinite Coulomb self terms: the Born reaction energy of each charge and
// the interactions between them.
double nrgana(Kova& k, const Arr1<int, maxatm>& sel);

}  // namespace kova
