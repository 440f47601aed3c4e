// Association rate constants from Brownian-dynamics reaction counts: the
// b-surface/q-surface correction with the centrosymmetric arrival rates at
// the two surfaces, the relative diffusion coefficient estimated in radial
// bins, and the report.
#pragma once

#include <array>
#include <functional>
#include <vector>

namespace kova {

struct Kova;

inline constexpr int maxrbin = 300;  // radial bins of the diffusion estimate

// The diffusion estimate: per radial bin the count, sum and sum of squares
// of |displacement of the unit centre|**2/(6 dt).
struct DiffusionBins {
    int nbins = 300;
    std::array<long, maxrbin + 1> bcnt{};
    std::array<double, maxrbin + 1> bsum{}, bsq{};
    std::array<float, 3> prevc{};
    bool cleared = false;  // the first call after dfcr clears the bins
};

// One call of the estimate (from the centre update of each step): skipped
// for the first step of a trajectory, where only the centre is kept.
void dfcr_add(DiffusionBins& b, const float centre[3], float rcen, float qsurf, float dt, bool first_step);

// The integral of f over [a, b] (b very large) by the open Romberg method on
// t = 1/r with the tripling midpoint rule. ok is false when 30 stages do not
// reach a relative error of 1e-6 or a value is not finite.
double qromo_midinf(const std::function<double(double)>& f, double a, double b, bool& ok, int& stages);

struct RateInputs {
    int nrun = 0, ntraj = 0;
    std::vector<int> nrxn;        // reactive trajectories of each run (0-based)
    float bsurf = 0, qsurf = 0;
    float hifac = 0, rad1 = 0, rad2 = 0;  // rad2: radius of subunit 1
    float q1 = 0, q2 = 0;         // net charges of molecules 1 and 2
    // The trajectories moved without the electrostatic force: the arrival
    // rates are those of uncharged molecules, whatever the charges.
    bool force_off = false;
    float epsout = 0, kappa = 0, temp = 300;
    bool sphere1 = false;
    const DiffusionBins* bins = nullptr;  // with dfcr
    float dfc = 0;  // a relative diffusion coefficient imposed by the caller (A**2/ps); 0: none
    // With cnsr: the corrections per constraint call, counted and summed.
    bool cnsr = false;
    long cn_calls = 0;
    double cn_sum = 0, cn_sq = 0;
};

struct RateResult {
    double beta_mean = 0, beta_rms = 0, phat = 0, confl = 0;
    double dbrel = 0, kdb = 0, omg = 0, rate = 0, smoul = 0, kred = 0, kerr = 0;
    double lb = 0;        // Bjerrum-type length of the two net charges (0 when one is zero)
    bool integral_ok = true;
    int stages = 0;
};

// The numbers of the report, without printing.
RateResult rate_constant(const RateInputs& in);

// The report (result): statistics, the diffusion estimate, the arrival
// rates and the rate constant. A failed integral stops the run.
RateResult result(Kova& k, const RateInputs& in);

}  // namespace kova
