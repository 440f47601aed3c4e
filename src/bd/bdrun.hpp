// The Brownian-dynamics run set-up: the parameters of the bd command (run
// and trajectory counts, limits, surfaces, time-step regions, start-position
// angles, switches of the physics and of the output), the command that reads
// them, the preparation of a run and the set-up listing.
//
// Lengths in Angstrom, times in ps, the viscosity in amu/(A ps) (input in
// centipoise), forces in amu A/ps**2 (input in kcal/mol/A). The temperature
// is the environment's (k.env.temp), the random seeds are the generator's
// (k.rnd); the file names are those of the file-unit store (k.files).
#pragma once

#include <array>
#include <string>

#include "kova_config.hpp"

namespace kova {

struct Kova;

inline constexpr int maxflx = 20;    // unit trajectory record files
inline constexpr int maxnbin = 300;  // radial bins of the diffusion estimate
inline constexpr float bdpi = 3.1415927f;

// Internal units of the run: kT = gask*temp (amu A**2/ps**2), a viscosity
// in cP times cp_to_internal is in amu/(A ps), and hifac = kT/(8 pi svis).
inline constexpr float gask = 0.83144647f;
inline constexpr float cp_to_internal = 60.219196f;
inline constexpr float internal_to_cp = 0.016606f;
inline constexpr float eight_pi = 25.132742f;

struct BdRun {
    BdRun();

    // Environment owned by Brownian dynamics: 1/kT, the solvent viscosity
    // and the diffusion factor kT/(8 pi svis) (A**3/ps), kept consistent
    // with the temperature and viscosity by every change of either.
    float beta = 0.0f;
    float svis = 0.89f * cp_to_internal;
    float hifac = 0.0f;
    // Radius of molecule 1 in the relative diffusion (A); 0 until given.
    // Kept from one bd command to the next.
    float rad1 = 0.0f;

    // Runs, trajectories per run, step limit per trajectory, constraint
    // cycles after a bump.
    int nrun = 10;
    int ntraj = 10;
    int maxstp = 10000000;
    int mcyccn = 0;

    // Time step (ps); b surface (start radius), q surface (escape radius),
    // p surface (reaction tests and freezing inside it), m surface (stored,
    // no effect); time limit per trajectory (ps).
    float delt = 0.001f;
    float bsurf = 80.0f, qsurf = 500.0f, psurf = 80.0f, msurf = 0.0f;
    float maxtim = 1.0e7f;
    // Variable time-step regions 1..maxreg: upper bound of each region (A)
    // and the multiplier of delt there; nreg of them given.
    int nreg = 0;
    std::array<float, maxreg + 1> regub{}, regmul{};
    // Polar angle and azimuth ranges of the start positions (rad).
    float thtl = 0.0f, thth = bdpi, phil = 0.0f, phih = 2.0f * bdpi;
    // Exclusion radius of the substrate added to every atom of molecule 1.
    float srad = 0.0f;

    std::string calctp = "setup";  // "calc" or "setup"
    bool ctim = true;     // constant time step (else the regions)
    bool frcon = true;    // electrostatic force
    bool rndon = true;    // random displacement
    bool bkbmp = false;   // move bumped subunits back to contact
    bool stpson = false;  // start positions read from a file
    bool zhou = false;    // survival-probability (gated reaction) mode
    bool frzon = false;   // freeze tethered units while outside the p surface
    bool frznew = false;  // tethered units start from new coordinates
    bool frozen = false;  // the units start frozen (b surface beyond p)
    bool rateon = true;   // rate constant at the end of the run
    bool focor = false, loccor = false;  // run-wide constraint correction
    // Every run draws from its own random stream (seeded from the seeds and
    // the run number), so that runs can go to threads in any order.
    bool indrnd = false;

    // Printing and statistics.
    bool stpst = false;  // coordinates every stpat steps
    int stpat = 1000;
    bool trjst = false;  // a line per trajectory
    bool rnst = true;    // a line per run
    bool impd = false;   // hydrodynamic distances every stpat steps
    bool drsite = false; // reaction-site distances every stpat steps
    bool nstrpos = false;  // keep the current positions at each start
    bool dfcr = false;   // relative diffusion estimated in radial bins
    int nbins = maxnbin;
    bool cnsr = false;   // constraint-iteration statistics
    bool imfrce = false; // force statistics
    float maxfrc = 2000.0f * 418.4f;

    // Trajectory records of units 1..maxflx: on/off and the interval in
    // steps; with rxnz one unit's record holds only the positions met in
    // the reaction zone (that file is the reaction-zone record).
    std::array<bool, maxflx + 1> rcrd{};
    std::array<int, maxflx + 1> intr{};
    bool rxnz = false;
    int rxnzun = 0;
    // Restart file rewritten after each trajectory; prts lists the subunits.
    bool rest = false, restprts = false;
    // Plot output every dispn steps under the prefix disppfx (accepted; the
    // plots themselves are not written); the prefix also names the
    // reaction-density file.
    int dispn = 0;
    std::string disppfx;

    // Set at the end of the command: a seed was given; the single-particle
    // and two-particle cases.
    bool seeded = false;
    bool sphere1 = false, sphere2 = false;
    // Names the files were opened under (a number is appended to a name
    // that exists already), for the listing and the run.
    std::array<std::string, maxflx + 1> flxopen{};
    std::string rxnopen, hxzopen, stropen;
};

// 1/kT and kT/(8 pi svis) for temperature temp (K) and viscosity svis
// (amu/(A ps)).
float bdbeta(float temp);
float bdhifac(float temp, float svis);

// Restores every run parameter, flag, surface, time-step setting and the
// reaction criteria to their defaults, the viscosity to 0.89 cP; keeps the
// temperature, the random seeds and rad1.
void bddef(Kova& k);

// Builds a unit for the atoms of molecules 2 onward not yet in any unit
// (only with more than one molecule loaded).
void scrd(Kova& k);

// The bd command: defaults, units for unassigned molecules, keywords up to
// end, then the preparation of the run (and the run itself with calc).
void bddrv(Kova& k);

// The set-up checks of the substrate exclusion grid: every atom of
// molecule 1 selected for electrostatics must have its exclusion sphere
// (radius + srad) inside the current grid (chbxbd); the ion-exclusion map
// of the grid is then refilled with the exclusion spheres of the selected
// atoms (value 6 inside), which the trajectories test for bumps (excbd).
void chbxbd(Kova& k);
void excbd(Kova& k);

// The set-up listing of the run (also printed by prnt of edit funi/fiun).
// Takes the run store explicitly; banner(Kova&) is the program's start-up
// banner.
void banner(Kova& k, const BdRun& run);

}  // namespace kova
