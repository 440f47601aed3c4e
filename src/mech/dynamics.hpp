// What minimisation and dynamics keep between commands: the minimiser's
// settings and progress, the velocities, the run parameters and switches of
// dynamics, the kinetic bookkeeping and statistics, the stochastic
// integrator's coefficients and carried random terms, the soft-start ramp,
// and the trajectory output settings. Flat 1-based arrays of the molecule
// store's capacity, so that a step allocates nothing.
#pragma once

#include <array>
#include <string>
#include <vector>

#include "molecule/store.hpp"

namespace kova {

struct Kova;

// Time unit of the integrators: 1/tconv ps makes A, kcal/mol and amu
// consistent (tconv = sqrt(418.4)).
constexpr double tconv = 20.454828;
// The Boltzmann constant of dynamics, kcal/(mol K), single precision.
constexpr float boltz = 0.00198f;

// Most live atoms the Brownian integrator (ermak) moves: its diffusion
// tensor is factorised whole at every step.
inline constexpr int maxbrown = 8;

// Ramachandran bins: 10 degrees from -180, bin 1 first.
inline constexpr int nramab = 36;

// One Ramachandran registration: dihedrals d1 (phi) and d2 (psi), the counts
// of their bin pairs (phi bin outer, 0-based (i - 1) * 36 + j - 1), and the
// angles (radians) of the last evaluation in which each was computed.
struct RamaPair {
    int d1 = 0, d2 = 0;
    std::array<long, nramab * nramab> count{};
    double phi = 0.0, psi = 0.0;
};

// Minimisation (empari, emparr, emparl).
struct EmStore {
    int nste = 50, nprt = 5;
    double emcur = 0.0, emprv = 0.0;
    double emstp = 0.005, emfac = 0.0;
    float etol = 0.001f, ftol = 0.01f;
    double rmsf = 0.0;
    bool lsd = false, lcg = false, lnr = false, lbfgs = false;
    bool lfinal = false;
    bool lstart = true;
};

// Dynamics (mdpari, mdparr, mdparl, mdtopr8, mdtops and the trajectory
// settings).
struct MdStore {
    // Velocities, A per internal time unit.
    Arr1<double, maxatm> vx{}, vy{}, vz{};

    // Run parameters, reset by every md command.
    float mddt = float(0.001 * tconv);
    float taut = float(0.4 * tconv);
    float gamma = 6.5f;
    int nste = 100, nprnt = 10;
    std::array<float, 3> boxlo{-999999.0f, -999999.0f, -999999.0f};
    std::array<float, 3> boxhi{999999.0f, 999999.0f, 999999.0f};
    bool lstrt = true;
    bool lleap = true, lverl = false, lande = false, lstoc = false, lermak = false, lgld = false;
    bool lmaxw = false, lheat = false, lequi = false;
    bool ldone = false, lcom = false;
    std::string title = "N V E Dynamics";

    // Kinetic bookkeeping.
    double ekhalf = 0.0, ekin = 0.0, ektarg = 0.0, scal = 1.0, tprint = 0.0;
    double ssum = 0.0;  // running sum of ekhalf for the equilibration control
    // Run sums and square sums of total, potential, kinetic energy and scal.
    std::array<double, 4> rsum{}, rsq{};
    // Drift fit: window and run counts and sums of E, k E, E squared.
    long nfitw = 0, nfitr = 0;
    double wsE = 0, wskE = 0, wsE2 = 0, rsE = 0, rskE = 0, rsE2 = 0;

    // Centre-of-mass data of the last computation: position, velocity,
    // angular momentum, angular velocity.
    std::array<double, 3> comr{}, comv{}, coml{}, comw{};

    // Stochastic integrator: per-atom friction (internal units), the nine
    // coefficient arrays, the carried random terms, and the Gaussian table
    // of 12 numbers per atom (atom i at 12 (i - 1)).
    Arr1<double, maxatm> gam{}, cc1{}, cc2{}, cc3{}, cc4{}, cc5{}, cc6{}, cc7{}, cc8{}, cc9{};
    Arr1<double, maxatm> sx{}, sy{}, sz{};
    std::vector<float> rgau = std::vector<float>(12 * size_t(maxatm));
    // Refresh settings of the langevin command, the cyclic counter, and the
    // count of molecule 1's atoms in the previous run.
    int lgmode = 0, lgatoms = 0, lgsteps = 1, lgcount = 0, m1prev = 0;
    bool seeded = false;  // the seed keyword has acted

    // Soft-start ramp: start step, length, per-step increments.
    int rampst = 0, ramplen = 0;
    float dsdih = 0, drshift = 0, demscl = 0, dsang = 0, dslig = 0;

    // Ramachandran registrations (kept from one md command to the next;
    // their tables are cleared at the start of each run) and the sums of the
    // instantaneous temperature at the bins of the last pair.
    std::vector<RamaPair> rama;
    std::array<double, nramab * nramab> ramat{};

    // Trajectory output.
    bool ltrj = false;
    int trjunit = 99, trjfmt = 1, ntrj = 10;
    Arr1<int, maxatm> itrj{};
};

// Command drivers.
void emdrv(Kova& k);     // em [sd|nr|bfgs|cg] [nste n] [nprt n] [etol v] [ftol v] ... end
void mddrv(Kova& k);     // md [dt ps] [nste n] [temp K] [leap|stoc|heat|equi|maxw] ... end
void langevin(Kova& k);  // langevin [atomsperstep n|stepsperatom n|sync n] end
void soften(Kova& k);    // soften [dist v] [scale v] ... [time n] [ramp n] end
void maktrj(Kova& k);    // maktrj [unit n] [format n] [file name] [sele ...] [uselive] [ntrj n] end
void trajframe(Kova& k); // one trajectory frame now
// Writes one trajectory frame of the flagged atoms at xd, yd, zd.
void wtrj(Kova& k);

}  // namespace kova
