// Rate constants: the uncharged closed forms, the arrival-rate integral
// against its closed form (no salt) and an independent quadrature (salt),
// the limits of the reaction fraction, the binned diffusion estimate that
// leaves out bins inside the b surface, and the report's boxes.
#include <gtest/gtest.h>

#include <cmath>

#include "../command/harness.hpp"
#include "bd/rates.hpp"
#include "command/output.hpp"

namespace kova {
namespace {

constexpr double pi = 3.14159265358979323846;

RateInputs inputs() {
    RateInputs in;
    in.nrun = 2, in.ntraj = 10, in.nrxn = {3, 5};
    in.bsurf = 60, in.qsurf = 200;
    in.hifac = 0.83144647f * 300 / (53.595085f * 25.132742f);
    in.rad1 = 18, in.rad2 = 15;
    in.epsout = 78 * 5.7277083e-7f;
    in.sphere1 = true;
    return in;
}

TEST(Rates, UnchargedMoleculesUseTheClosedFormsAndTheFractionLimits) {
    RateInputs in = inputs();
    const RateResult r = rate_constant(in);
    const double d = (1.0 / 15 + 1.0 / 18) * in.hifac / 0.75;
    EXPECT_NEAR(r.beta_mean, 0.4, 1e-12);
    EXPECT_NEAR(r.beta_rms, 0.1, 1e-12);
    EXPECT_NEAR(r.phat, 0.4, 1e-12);
    EXPECT_NEAR(r.confl, 1.645 * std::sqrt(0.24 / 20), 1e-12);
    EXPECT_NEAR(r.dbrel, d, 1e-6 * d);
    EXPECT_NEAR(r.kdb, 4 * pi * d * 60, 1e-6 * r.kdb);
    EXPECT_NEAR(r.omg, 0.3, 1e-7);
    EXPECT_NEAR(r.rate, 4 * pi * d * 60 * 0.4 / (1 - 0.6 * 0.3), 1e-6 * r.rate);
    EXPECT_NEAR(r.smoul, 4 * pi * d * 33, 1e-6 * r.smoul);
    in.nrxn = {0, 0};
    EXPECT_EQ(rate_constant(in).rate, 0.0);
    EXPECT_EQ(rate_constant(in).confl, 0.0);
    in.nrxn = {10, 10};
    EXPECT_NEAR(rate_constant(in).rate, r.kdb, 1e-9 * r.kdb);
}

TEST(Rates, ArrivalIntegralMatchesItsClosedFormAndAnIndependentQuadrature) {
    // No salt: the integral of exp(lb/r)/r**2 from b to infinity is
    // (exp(lb/b) - 1)/lb, attractive (lb < 0) or repulsive.
    for (const double lb : {-35.0, -7.0, 7.0, 35.0}) {
        bool ok = false;
        int stages = 0;
        const double v = qromo_midinf([lb](double r) { return std::exp(lb / r) / (r * r); }, 60, 1e20, ok, stages);
        EXPECT_TRUE(ok);
        EXPECT_NEAR(v, std::expm1(lb / 60) / lb, 2e-6 * std::fabs(v)) << lb;
    }
    // Salt: Simpson's rule over t = 1/r with many points.
    const double lb = -20, kappa = 0.1;
    auto g = [&](double t) { return t == 0 ? 1.0 : std::exp(lb * t * std::exp(-kappa / t)); };
    const int n = 200000;
    const double a = 0, b = 1.0 / 60, h = (b - a) / n;
    double s = g(a) + g(b);
    for (int i = 1; i < n; ++i) s += (i % 2 ? 4 : 2) * g(a + i * h);
    bool ok = false;
    int stages = 0;
    const double v = qromo_midinf([&](double r) { return std::exp(lb * std::exp(-kappa * r) / r) / (r * r); }, 60,
                                  1e20, ok, stages);
    EXPECT_TRUE(ok);
    EXPECT_NEAR(v, s * h / 3, 2e-6 * v);

    // Opposite charges raise the rate above the uncharged one.
    RateInputs in = inputs();
    const double neutral = rate_constant(in).rate;
    in.q1 = 4, in.q2 = -3, in.kappa = 0.05f;
    const RateResult r = rate_constant(in);
    EXPECT_LT(r.lb, 0);
    EXPECT_GT(r.rate, neutral);
    EXPECT_GT(r.omg, 0.0);
    EXPECT_LT(r.omg, 1.0);
    // Trajectories run without the force are corrected as uncharged ones.
    in.force_off = true;
    EXPECT_DOUBLE_EQ(rate_constant(in).rate, neutral);
}

TEST(Rates, BinnedDiffusionEstimateLeavesOutBinsInsideTheBSurfaceAndIsReported) {
    DiffusionBins b;
    b.nbins = 4;  // bins of 50 A up to q = 200; b = 60 leaves out bins 1 and 2
    const float c0[3] = {0, 0, 0};
    dfcr_add(b, c0, 10, 200, 0.5f, false);  // the first call clears the bins
    auto step = [&](float r, float dx, bool first = false) {
        const float c[3] = {b.prevc[0] + dx, b.prevc[1], b.prevc[2]};
        dfcr_add(b, c, r, 200, 0.5f, first);
    };
    step(10, 3);          // bin 1, inside b
    step(120, 1);         // bin 3: 1/3
    step(160, 2);         // bin 4: 4/3
    step(170, 2);         // bin 4: 4/3
    step(190, 9, true);   // first step of a trajectory: not counted
    EXPECT_EQ(b.bcnt[1], 1);
    EXPECT_EQ(b.bcnt[3], 1);
    EXPECT_EQ(b.bcnt[4], 2);
    RateInputs in = inputs();
    in.bins = &b;
    const RateResult r = rate_constant(in);
    EXPECT_NEAR(r.dbrel, (1.0 / 3 + 8.0 / 3) / 3, 1e-6);

    test::Session s;
    result(s.k, in);
    const std::string o = s.out.str();
    for (const char* t : {" * beta =    0.40000 rms =    0.10000 *", " * beta = 0.4000  90% confidence =+/- 0.1802 *",
                          "   4   150.000              2        1.333       0.000",
                          " The average relative diffusion coefficent was     1.000 +/-   0.577",
                          " this is based on          3 values ", " qmol(1) or qmol(2) is zero!",
                          " Relative diffusion coefficent outside b surface     1.000"})
        EXPECT_NE(o.find(t), std::string::npos) << t << "\n" << o;
}

}  // namespace
}  // namespace kova
