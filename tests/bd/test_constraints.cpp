// Constraint correction: shares of equal and fixed subunits, one sweep
// restoring a single constraint along the line of centres with the mean
// position kept, a chain restored by both corrections, and a set no
// positions can satisfy reported as not converged.
#include <gtest/gtest.h>

#include <cmath>
#include <memory>
#include <vector>

#include "bd/constraints.hpp"

namespace kova {
namespace {

std::unique_ptr<MoleculeStore> chain(int n, float d0, int cncor) {
    auto m = std::make_unique<MoleculeStore>();
    m->nsbtot = n;
    m->units.nunit = 1;
    m->units.cncor[1] = cncor;
    m->units.toler = 1e-3f;
    for (int i = 1; i <= n; ++i) m->sbunit[i] = 1, m->sbtype[i] = 64, m->sbrad[i] = 2.0f;
    for (int k = 1; k < n; ++k) {
        m->units.cnsub1[k] = k, m->units.cnsub2[k] = k + 1, m->units.cndist[k] = d0;
    }
    m->units.ncnstr = n - 1;
    return m;
}

float dist(const std::vector<float>& p, int i, int j) {
    return std::sqrt(std::pow(p[3 * i] - p[3 * j], 2) + std::pow(p[3 * i + 1] - p[3 * j + 1], 2) +
                     std::pow(p[3 * i + 2] - p[3 * j + 2], 2));
}

TEST(Constraints, EqualSpheresShareTheCorrectionAndAFixedOneStays) {
    auto m = chain(2, 4.0f, 2);
    ConstraintSet c = cconst(*m, false, false);
    ASSERT_EQ(c.n, 1);
    EXPECT_NEAR(c.sh1[0], -0.5f, 1e-6f);  // equal radii at contact: half each
    EXPECT_NEAR(c.sh2[0], 0.5f, 1e-6f);
    std::vector<float> cur = {0, 0, 0, 4, 0, 0}, trial = {0.5f, 1.0f, 0, 5.5f, -0.5f, 1.0f};
    const ConstraintResult r = cnstrn(c, cur, trial);
    EXPECT_TRUE(r.converged);
    EXPECT_EQ(r.corrections, 1);
    EXPECT_NEAR(dist(trial, 0, 1), 4.0f, 1e-5f);
    EXPECT_NEAR(trial[0] + trial[3], 6.0f, 1e-5f);  // the midpoint stays
    EXPECT_NEAR(trial[1] + trial[4], 0.5f, 1e-5f);

    m->sbfix[1] = 1;
    c = cconst(*m, false, false);
    EXPECT_EQ(c.sh1[0], 0.0f);
    EXPECT_EQ(c.sh2[0], 1.0f);
    trial = {0.5f, 1.0f, 0, 5.5f, -0.5f, 1.0f};
    cnstrn(c, cur, trial);
    EXPECT_EQ(trial[0], 0.5f);  // the fixed subunit does not move
    EXPECT_NEAR(dist(trial, 0, 1), 4.0f, 1e-5f);

    // Units without a correction type have no constraints in use unless a
    // run-wide correction is on.
    EXPECT_EQ(cconst(*chain(2, 4.0f, 0), false, false).n, 0);
    EXPECT_EQ(cconst(*chain(2, 4.0f, 0), true, false).mode[0], 1);
}

TEST(Constraints, ChainsAreRestoredByBothCorrectionsAndImpossibleSetsReported) {
    for (const int mode : {1, 2}) {
        auto m = chain(8, 3.8f, mode);
        const ConstraintSet c = cconst(*m, false, false);
        std::vector<float> cur(24), trial(24);
        for (int i = 0; i < 8; ++i) {
            cur[3 * i] = 3.8f * i;
            // A Brownian step: every subunit moved by up to 0.3 A.
            for (int x = 0; x < 3; ++x) trial[3 * i + x] = cur[3 * i + x] + 0.3f * std::sin(1.7f * i + 2.3f * x);
        }
        const ConstraintResult r = cnstrn(c, cur, trial);
        EXPECT_TRUE(r.converged) << mode;
        for (int i = 0; i < 7; ++i) EXPECT_NEAR(dist(trial, i, i + 1), 3.8f, 1e-3f + 1e-5f) << mode << " " << i;
    }
    // Three subunits held 1, 1 and 5 apart: no positions satisfy them.
    auto m = chain(3, 1.0f, 2);
    m->units.cnsub1[3] = 1, m->units.cnsub2[3] = 3, m->units.cndist[3] = 5.0f, m->units.ncnstr = 3;
    const ConstraintSet c = cconst(*m, false, false);
    std::vector<float> cur = {0, 0, 0, 1, 0, 0, 2, 0, 0}, trial = cur;
    const ConstraintResult r = cnstrn(c, cur, trial, 200);
    EXPECT_FALSE(r.converged);
    for (float v : trial) EXPECT_TRUE(std::isfinite(v));
}

}  // namespace
}  // namespace kova
