// The Brownian-dynamics trajectory engine: nrun runs of ntraj trajectories,
// each started on the b surface and moved by the Ermak-McCammon algorithm
// until the units react, escape beyond the q surface or reach the time or
// step limit; the counts of reactive trajectories give the rate constant.
#pragma once

#include <vector>

#include "bd/random.hpp"
#include "bd/rates.hpp"

namespace kova {

struct Kova;
struct BdRun;
struct GridStore;

// Totals of a simulation, for the caller and the tests.
struct BdTotals {
    std::vector<int> nrxn;     // reactive trajectories of each run
    long steps = 0;            // steps over all trajectories
    long bumps = 0;            // rejected subunit moves
    long escaped = 0;          // trajectories beyond the q surface
    long limited = 0;          // trajectories ended by the time or step limit
    long unconverged = 0;      // steps whose constraints were not restored
    RateResult rate;           // with rateon
};

// Whether a subunit centre at p bumps: the grid point nearest to it lies
// strictly inside the grid and is marked in the exclusion map.
bool bump_excluded(const GridStore& g, const float p[3]);

// The back-bump rescue of a bumped trial position whose current position
// is itself excluded: steps of the move (trial - current) are repeated, up
// to srad/|step| + 1 of them, until a point that does not bump is found;
// then the same the other way from the trial position. True (trial moved
// to that point) when one is found; false leaves trial where it was.
bool bkbump(const GridStore& g, float srad, const float cur[3], float trial[3]);

// The random stream of run r when every run has its own (indrnd): state A
// seeded from (1 + (ijsd1 - 1 + 971 (r - 1)) mod 31327, klsd1).
RandomState run_stream(int ijsd1, int klsd1, int r);

// Runs the simulation configured by the bd command (run start, every run
// and trajectory, run end with the rate constant).
BdTotals bd(Kova& k, BdRun& run);

}  // namespace kova
