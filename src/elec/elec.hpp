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

}  // namespace kova
